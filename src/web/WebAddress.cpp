#include "web/WebAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "common/StrUtil.h"

namespace px {

namespace {

// The address as 16 bytes, IPv4 in its mapped form.
bool Parse(const std::string& text, in6_addr& out) {
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    std::memset(&out, 0, sizeof out);
    out.s6_addr[10] = out.s6_addr[11] = 0xff;
    std::memcpy(&out.s6_addr[12], &v4, 4);
    return true;
  }
  return inet_pton(AF_INET6, text.c_str(), &out) == 1;
}

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

bool ParsePort(std::string_view digits, int& port) {
  if (digits.empty() || digits.size() > 5) return false;
  port = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + (c - '0');
  }
  return port <= 65535;
}

}  // namespace

bool ParseAuthority(std::string_view text, Authority& out) {
  out = Authority{};
  std::string s = LowerCase(text);
  std::string_view rest;
  if (!s.empty() && s[0] == '[') {
    size_t end = s.find(']');
    if (end == std::string::npos) return false;
    out.name = s.substr(1, end - 1);
    in6_addr a{};
    if (inet_pton(AF_INET6, out.name.c_str(), &a) != 1) return false;
    rest = std::string_view(s).substr(end + 1);
  } else {
    size_t colon = s.find(':');
    out.name = s.substr(0, colon);
    if (out.name.empty()) return false;
    for (char c : out.name)
      if (!NameChar(c)) return false;
    if (colon != std::string::npos) rest = std::string_view(s).substr(colon);
  }
  if (rest.empty()) return true;
  return rest[0] == ':' && ParsePort(rest.substr(1), out.port);
}

bool IsIpLiteral(const std::string& name) {
  in6_addr a{};
  return Parse(name, a);
}

bool IsLoopbackLiteral(const std::string& name) {
  in6_addr a{};
  if (!Parse(name, a)) return false;
  if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
  return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
}

bool IsLoopbackBind(const std::string& bind) {
  std::string b = LowerCase(Trim(bind));
  return b == "localhost" || IsLoopbackLiteral(b);
}

bool SameAddress(const std::string& a, const std::string& b) {
  in6_addr x{}, y{};
  return Parse(a, x) && Parse(b, y) && std::memcmp(&x, &y, sizeof x) == 0;
}

}  // namespace px
