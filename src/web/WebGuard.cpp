#include "web/WebGuard.h"

#include <fstream>
#include <random>

#include "common/StrUtil.h"

namespace px {

namespace {

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  std::ifstream in("/dev/urandom", std::ios::binary);
  if (!in.read(raw.data(), static_cast<std::streamsize>(bytes))) {
    std::random_device rd;
    for (auto& c : raw) c = static_cast<char>(rd());
  }
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) {
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

// The host part of a Host header or of an origin's authority, lower case,
// without port and without the brackets of an IPv6 literal.
std::string HostName(std::string authority) {
  for (auto& c : authority) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!authority.empty() && authority[0] == '[') {
    auto end = authority.find(']');
    return end == std::string::npos ? std::string() : authority.substr(1, end - 1);
  }
  return authority.substr(0, authority.find(':'));
}

bool IsLoopbackName(const std::string& host) {
  return host == "localhost" || host == "::1" || StartsWith(host, "127.");
}

}  // namespace

WebGuard::WebGuard(const WebOptions& options)
    : token_(options.token), session_(RandomHex(32)), loopbackOnly_(IsLoopbackName(HostName(options.bind))) {}

bool WebGuard::EqualConstantTime(const std::string& a, const std::string& b) {
  unsigned diff = a.size() == b.size() ? 0u : 1u;
  for (size_t i = 0; i < b.size(); ++i) diff |= static_cast<unsigned char>(i < a.size() ? a[i] : 0) ^
                                                static_cast<unsigned char>(b[i]);
  return diff == 0;
}

bool WebGuard::TokenMatches(const std::string& given) const {
  return TokenRequired() && EqualConstantTime(given, token_);
}

bool WebGuard::Authorised(const std::string& authorization, const std::string& cookieHeader) const {
  if (!TokenRequired()) return true;
  static const std::string bearer = "Bearer ";
  if (StartsWith(authorization, bearer) && TokenMatches(Trim(authorization.substr(bearer.size())))) return true;
  // Cookie: a=b; px_session=VALUE; c=d
  const std::string name = std::string(kCookieName) + "=";
  size_t pos = 0;
  while (pos < cookieHeader.size()) {
    size_t end = cookieHeader.find(';', pos);
    if (end == std::string::npos) end = cookieHeader.size();
    std::string part = Trim(cookieHeader.substr(pos, end - pos));
    if (StartsWith(part, name) && EqualConstantTime(part.substr(name.size()), session_)) return true;
    pos = end + 1;
  }
  return false;
}

std::string WebGuard::SessionCookie() const {
  return std::string(kCookieName) + "=" + session_ + "; Path=/; HttpOnly; SameSite=Strict";
}

bool WebGuard::SameOrigin(const std::string& origin, const std::string& host, const std::string& fetchSite) {
  if (origin.empty()) return fetchSite.empty() || fetchSite == "same-origin" || fetchSite == "none";
  if (host.empty()) return false;
  static const std::string http = "http://";
  if (!StartsWith(origin, http)) return false;
  std::string a = origin.substr(http.size()), b = host;
  for (auto* s : {&a, &b})
    for (auto& c : *s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return a == b;
}

bool WebGuard::HostAllowed(const std::string& host) const {
  if (!loopbackOnly_) return true;
  return IsLoopbackName(HostName(host));
}

}  // namespace px
