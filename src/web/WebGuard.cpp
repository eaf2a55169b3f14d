#include "web/WebGuard.h"

#include "common/StrUtil.h"
#include "web/WebAddress.h"

namespace px {

WebGuard::WebGuard(const WebOptions& options)
    : token_(options.token),
      loopbackOnly_(IsLoopbackBind(options.bind)),
      hosts_(options.hosts),
      proxies_(options.proxies),
      port_(options.port),
      sessions_(std::chrono::seconds(options.sessionSec)),
      throttle_(options.signInFailures, std::chrono::seconds(60)) {}

int WebGuard::Check(const RequestFacts& r, Access access, Clock::time_point now) const {
  if (!HostAllowed(r.host)) return 400;
  if (r.method != "GET" && r.method != "HEAD" && !SameOrigin(r)) return 403;
  if (access == Access::SignedIn && !Authorised(r, now)) return 401;
  return 0;
}

bool WebGuard::HostAllowed(const std::string& host) const {
  Authority a;
  if (!ParseAuthority(host, a)) return false;
  for (const auto& entry : hosts_) {
    Authority h;
    if (ParseAuthority(entry, h) && h.name == a.name && (h.port < 0 || h.port == a.port)) return true;
  }
  if (!loopbackOnly_) return hosts_.empty() || IsIpLiteral(a.name) || a.name == "localhost";
  const bool loopback = a.name == "localhost" || IsLoopbackLiteral(a.name);
  return loopback && (a.port == port_ || (a.port < 0 && port_ == 80));
}

bool WebGuard::SameOrigin(const RequestFacts& r) const {
  if (r.origin.empty())
    return r.fetchSite.empty() || r.fetchSite == "same-origin" || r.fetchSite == "none";
  if (r.host.empty()) return false;
  std::string origin = LowerCase(r.origin), scheme;
  for (const char* s : {"http", "https"})
    if (StartsWith(origin, std::string(s) + "://")) scheme = s;
  if (scheme.empty()) return false;  // "null" and every other scheme
  if (FromProxy(r) && !r.forwardedProto.empty() && LowerCase(Trim(r.forwardedProto)) != scheme) return false;
  return origin.substr(scheme.size() + 3) == LowerCase(r.host);
}

bool WebGuard::Authorised(const RequestFacts& r, Clock::time_point now) const {
  if (!TokenRequired()) return true;
  static const std::string bearer = "Bearer ";
  if (StartsWith(r.authorization, bearer) &&
      SessionStore::EqualConstantTime(Trim(r.authorization.substr(bearer.size())), token_))
    return true;
  return sessions_.Valid(SessionOf(r.cookie), now);
}

WebGuard::SignIn WebGuard::TrySignIn(const RequestFacts& r, const std::string& token, Clock::time_point now,
                                     std::string& setCookie, int& retryAfter) {
  const std::string who = ClientAddress(r);
  retryAfter = throttle_.RetryAfter(who, now);
  if (retryAfter > 0) return SignIn::Throttled;
  if (!TokenRequired() || !SessionStore::EqualConstantTime(token, token_)) {
    throttle_.Failed(who, now);
    return SignIn::Wrong;
  }
  // Lax: a link from another site (a ticket, a wiki) opens the page signed
  // in; its POSTs are still refused by the origin check.
  setCookie = CookieName() + "=" + sessions_.Open(now) + "; Path=/; Max-Age=" +
              std::to_string(sessions_.Lifetime().count()) + "; HttpOnly; SameSite=Lax" +
              (ViaHttps(r) ? "; Secure" : "");
  return SignIn::Done;
}

std::string WebGuard::SignOut(const RequestFacts& r) {
  sessions_.Close(SessionOf(r.cookie));
  return CookieName() + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Lax" + (ViaHttps(r) ? "; Secure" : "");
}

std::string WebGuard::SessionOf(const std::string& cookieHeader) const {
  // Cookie: a=b; px_session_8011=VALUE; c=d
  const std::string name = CookieName() + "=";
  size_t pos = 0;
  while (pos < cookieHeader.size()) {
    size_t end = cookieHeader.find(';', pos);
    if (end == std::string::npos) end = cookieHeader.size();
    std::string part = Trim(cookieHeader.substr(pos, end - pos));
    if (StartsWith(part, name)) return part.substr(name.size());
    pos = end + 1;
  }
  return "";
}

bool WebGuard::FromProxy(const RequestFacts& r) const {
  for (const auto& p : proxies_)
    if (SameAddress(p, r.peer)) return true;
  return false;
}

bool WebGuard::ViaHttps(const RequestFacts& r) const {
  return FromProxy(r) && LowerCase(Trim(r.forwardedProto)) == "https";
}

std::string WebGuard::ClientAddress(const RequestFacts& r) const {
  if (!FromProxy(r) || r.forwardedFor.empty()) return r.peer;
  // The proxy appends the address it took the request from; entries before
  // it are the client's own say.
  std::string last = Trim(r.forwardedFor.substr(r.forwardedFor.rfind(',') + 1));
  return IsIpLiteral(last) ? last : r.peer;
}

}  // namespace px
