#pragma once
#include <chrono>
#include <string>

#include "web/SessionStore.h"
#include "web/SignInThrottle.h"
#include "web/WebOptions.h"

namespace px {

// What the checks read of a request, kept apart from the HTTP library so
// that they can be tested on their own.
struct RequestFacts {
  std::string method;
  std::string host;            // Host header
  std::string origin;          // Origin header
  std::string fetchSite;       // Sec-Fetch-Site header
  std::string authorization;   // Authorization header
  std::string cookie;          // Cookie header
  std::string peer;            // the connection's remote address
  std::string forwardedProto;  // X-Forwarded-Proto header
  std::string forwardedFor;    // X-Forwarded-For header
};

// The checks every request of the web monitor passes, and its sign-in.
// Safe from any thread once SetPort has been called before serving.
class WebGuard {
public:
  using Clock = std::chrono::steady_clock;
  // Who may use a route: anyone (the sign-in page and its style), only a
  // request signed in with the token or a session, or whoever the route
  // itself admits by a bearer token of its own (the REST API).
  enum class Access { Open, SignedIn, Token };

  explicit WebGuard(const WebOptions& options);

  // The port served; the Host check and the cookie's name carry it.
  void SetPort(int port) { port_ = port; }
  bool TokenRequired() const { return !token_.empty(); }
  // Bound to a loopback address: only this machine reaches the monitor.
  bool LoopbackOnly() const { return loopbackOnly_; }

  // The status that keeps a request from its route, 0 when it may pass:
  // 400 for a host name not served here, 403 for a state-changing request
  // from another site, 401 without sign-in.
  int Check(const RequestFacts& r, Access access, Clock::time_point now) const;

  // Names this server answers to. Bound to loopback: a loopback literal or
  // "localhost" with the port served, or a name of "Hosts"; anything else
  // is a foreign page that reached us through a rebound name. Bound to
  // another address (a token is required there): any name, unless "Hosts"
  // lists them; addresses written out are always accepted.
  bool HostAllowed(const std::string& host) const;
  // A request that changes state comes from a page of this server: its
  // Origin, when sent, is http:// or https:// plus the Host it was sent to
  // (only the scheme a trusted proxy forwarded, when it says); without an
  // Origin a browser's Sec-Fetch-Site must not say another site sent it.
  bool SameOrigin(const RequestFacts& r) const;
  bool Authorised(const RequestFacts& r, Clock::time_point now) const;

  enum class SignIn { Done, Wrong, Throttled };
  // Checks a token given in the sign-in form. Done: `setCookie` opens a
  // session. Throttled: too many failures from this address; `retryAfter`
  // seconds until it may try again.
  SignIn TrySignIn(const RequestFacts& r, const std::string& token, Clock::time_point now, std::string& setCookie,
                   int& retryAfter);
  // Ends the request's session; returns the Set-Cookie value that clears it.
  std::string SignOut(const RequestFacts& r);
  // "px_session_" and the port: browsers keep cookies by host, not by
  // port, so two monitors on one machine would otherwise sign each other out.
  std::string CookieName() const { return "px_session_" + std::to_string(port_); }

  // The client's address: the peer, or behind a trusted proxy the address
  // that proxy says it forwarded for.
  std::string ClientAddress(const RequestFacts& r) const;

private:
  bool FromProxy(const RequestFacts& r) const;
  bool ViaHttps(const RequestFacts& r) const;
  std::string SessionOf(const std::string& cookieHeader) const;

  std::string token_;
  bool loopbackOnly_;
  std::vector<std::string> hosts_;
  std::vector<std::string> proxies_;
  int port_ = 0;
  mutable SessionStore sessions_;
  SignInThrottle throttle_;
};

}  // namespace px
