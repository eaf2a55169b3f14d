#include "platform/CodePage.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "common/StrUtil.h"

namespace px {

namespace {

// 0x80..0x9F; the rest of the upper half is Latin-1.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool Ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void PutUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char ToByte(std::uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (size_t i = 0; i < kHigh.size(); ++i)
    if (kHigh[i] == cp) return static_cast<char>(0x80 + i);
  return '?';
}

}  // namespace

bool Win1252::IsName(std::string_view encoding) {
  std::string e = UpperCase(std::string(encoding));
  return e == "WIN1252" || e == "CP1252" || e == "WINDOWS-1252" || e == "WINDOWS1252";
}

std::string Win1252::ToUtf8(std::string_view text) {
  if (Ascii(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (char ch : text) {
    auto b = static_cast<unsigned char>(ch);
    PutUtf8(out, b < 0x80 ? b : b < 0xA0 ? kHigh[b - 0x80] : b);
  }
  return out;
}

std::string Win1252::FromUtf8(std::string_view text) {
  if (Ascii(text)) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + static_cast<size_t>(extra) >= text.size()) {
      out += '?';  // not UTF-8 after all: one byte at a time
      ++i;
      continue;
    }
    std::uint32_t cp = extra == 0 ? b : b & (0x3F >> extra);
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      auto c = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) {
      out += '?';
      ++i;
      continue;
    }
    out += ToByte(cp);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

}  // namespace px
