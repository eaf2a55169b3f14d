#include "ctrlsim/ParseUtil.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

namespace px::sim {

std::optional<long> ParseInt(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0') return std::nullopt;
  return v;
}

std::optional<std::vector<int>> ParseUnitList(const std::string& text) {
  std::vector<int> out;
  if (text == "all") {
    for (int i = 1; i <= 16; ++i) out.push_back(i);
    return out;
  }
  for (const auto& item : Split(text, ',')) {
    const auto dash = item.find('-');
    auto lo = ParseInt(item.substr(0, dash));
    auto hi = dash == std::string::npos ? lo : ParseInt(item.substr(dash + 1));
    if (!lo || !hi || *lo < 1 || *hi > 16 || *lo > *hi) return std::nullopt;
    for (long u = *lo; u <= *hi; ++u)
      if (std::find(out.begin(), out.end(), u) == out.end()) out.push_back(static_cast<int>(u));
  }
  return out;
}

std::optional<long> ParseDurationMs(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) ++i;
  if (i == 0) return std::nullopt;
  char* end = nullptr;
  const std::string num = text.substr(0, i);
  const double v = std::strtod(num.c_str(), &end);
  if (*end != '\0' || v < 0) return std::nullopt;
  const std::string unit = text.substr(i);
  double scale;
  if (unit.empty() || unit == "s") scale = 1000;
  else if (unit == "ms") scale = 1;
  else if (unit == "m") scale = 60000;
  else return std::nullopt;
  return static_cast<long>(v * scale + 0.5);
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const auto pos = text.find(sep, start);
    out.push_back(text.substr(start, pos - start));
    if (pos == std::string::npos) return out;
    start = pos + 1;
  }
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'x') {
      const std::string hex = text.substr(i + 1, 2);
      char* end = nullptr;
      const long v = std::strtol(hex.c_str(), &end, 16);
      if (hex.size() == 2 && *end == '\0') {
        out += static_cast<char>(v);
        i += 2;
        continue;
      }
      out += "\\x";
    } else if (c == 'r') {
      out += '\r';
    } else if (c == 'n') {
      out += '\n';
    } else if (c == '0') {
      out += '\0';
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace px::sim
