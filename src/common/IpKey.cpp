#include "common/IpKey.h"

#include <stdexcept>

#include "common/Format.h"
#include "common/StrUtil.h"

namespace px {

std::string IPToKey(std::string_view dotted) {
  std::string out;
  std::string s(dotted);
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    size_t dot = s.find('.', start);
    std::string piece = s.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    long long v = StrToInt(piece);  // throws on a part that is not a number
    out += Format("%3.3lld", v);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return out;
}

std::string KeyToIP(std::string_view key) {
  if (key.size() < 12) return {};
  std::string out;
  for (int g = 0; g < 4; ++g) {
    std::string digits = Copy(key, g * 3 + 1, 3);
    long long v = StrToIntDef(digits, 0);
    if (g) out += '.';
    out += std::to_string(v);
  }
  return out;
}

}  // namespace px
