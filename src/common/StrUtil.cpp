#include "common/StrUtil.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace px {

std::string Copy(std::string_view s, long long pos1, long long count) {
  if (count <= 0) return {};
  if (pos1 < 1) {
    count += pos1 - 1;
    pos1 = 1;
    if (count <= 0) return {};
  }
  auto start = static_cast<size_t>(pos1 - 1);
  if (start >= s.size()) return {};
  size_t n = std::min(static_cast<size_t>(count), s.size() - start);
  return std::string(s.substr(start, n));
}

std::string CopyFrom(std::string_view s, long long pos1) {
  return Copy(s, pos1, static_cast<long long>(s.size()) + 1);
}

char CharAt(std::string_view s, long long pos1) {
  if (pos1 < 1 || static_cast<size_t>(pos1) > s.size()) return '\0';
  return s[static_cast<size_t>(pos1 - 1)];
}

static bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return std::string(s.substr(i));
}

std::string TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && IsBlank(s[n - 1])) --n;
  return std::string(s.substr(0, n));
}

std::string Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool EndsWith(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}
bool Contains(std::string_view s, std::string_view n) { return s.find(n) != std::string_view::npos; }

size_t Pos(std::string_view needle, std::string_view s) {
  auto p = s.find(needle);
  return p == std::string_view::npos ? 0 : p + 1;
}

bool TryStrToInt(std::string_view in, long long& out) {
  std::string s = Trim(in);
  if (s.empty()) return false;
  bool neg = false;
  size_t i = 0;
  if (s[0] == '-' || s[0] == '+') {
    neg = s[0] == '-';
    i = 1;
  }
  int base = 10;
  if (s.size() > i + 1 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (i < s.size() && s[i] == '$') {
    base = 16;
    i += 1;
  }
  if (i >= s.size()) return false;
  unsigned long long v = 0;
  for (; i < s.size(); ++i) {
    int d;
    char c = s[i];
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    if (v > 0x7fffffffffffffffULL) return false;
  }
  out = neg ? -static_cast<long long>(v) : static_cast<long long>(v);
  return true;
}

long long StrToIntDef(std::string_view s, long long def) {
  long long v;
  return TryStrToInt(s, v) ? v : def;
}

long long StrToInt(std::string_view s) {
  long long v;
  if (!TryStrToInt(s, v)) throw std::invalid_argument("'" + std::string(s) + "' is not a valid integer value");
  return v;
}

std::string IntToStr(long long v) { return std::to_string(v); }
const char* BoolStr(bool b) { return b ? "true" : "false"; }

std::string PadRight(std::string_view s, size_t w, char f) {
  std::string r(s);
  if (r.size() < w) r.append(w - r.size(), f);
  return r;
}
std::string PadLeft(std::string_view s, size_t w, char f) {
  std::string r(s);
  if (r.size() < w) r.insert(0, w - r.size(), f);
  return r;
}

}  // namespace px
