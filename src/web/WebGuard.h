#pragma once
#include <string>

#include "web/WebOptions.h"

namespace px {

// The checks every request of the web monitor passes, kept apart from the
// HTTP library so that they can be tested on their own.
class WebGuard {
public:
  static constexpr const char* kCookieName = "px_session";

  explicit WebGuard(const WebOptions& options);

  bool TokenRequired() const { return !token_.empty(); }
  // The token itself, compared in constant time.
  bool TokenMatches(const std::string& given) const;
  // A request is signed in by "Authorization: Bearer TOKEN" or by the
  // session cookie the sign-in form sets.
  bool Authorised(const std::string& authorization, const std::string& cookieHeader) const;
  // The Set-Cookie value after a good sign-in. The cookie carries a random
  // session value of this run, never the token.
  std::string SessionCookie() const;

  // A state-changing request must come from a page of this server: its
  // Origin, when sent, names the Host it was sent to; without an Origin a
  // browser's Sec-Fetch-Site must not say another site sent it.
  static bool SameOrigin(const std::string& origin, const std::string& host, const std::string& fetchSite);
  // While bound to a loopback address, a Host naming another machine means a
  // foreign page reached us through a rebound name: refused.
  bool HostAllowed(const std::string& host) const;

private:
  static bool EqualConstantTime(const std::string& a, const std::string& b);
  std::string token_;
  std::string session_;
  bool loopbackOnly_;
};

}  // namespace px
