// The web monitor's checks on their own: host names, origins, sessions and
// the sign-in throttle.
#include <gtest/gtest.h>

#include "web/Json.h"
#include "web/MetricFamily.h"
#include "web/WebAddress.h"
#include "web/WebGuard.h"

namespace px {
namespace {

using std::chrono::hours;
using std::chrono::seconds;
const auto t0 = WebGuard::Clock::time_point{} + hours(1000);

WebGuard Guard(const std::string& bind, const std::string& token = "", std::vector<std::string> hosts = {},
               std::vector<std::string> proxies = {}) {
  WebOptions o;
  o.bind = bind;
  o.token = token;
  o.hosts = std::move(hosts);
  o.proxies = std::move(proxies);
  return WebGuard(o);  // port 8011
}

TEST(WebGuard, LoopbackBindTakesOnlyLoopbackNamesWithItsPort) {
  WebGuard g = Guard("127.0.0.1", "", {"monitor.example.com"});
  for (const char* ok : {"127.0.0.1:8011", "127.2.3.4:8011", "localhost:8011", "LOCALHOST:8011", "[::1]:8011",
                         "monitor.example.com", "monitor.example.com:443"})
    EXPECT_TRUE(g.HostAllowed(ok)) << ok;
  for (const char* bad : {"127.evil.example:8011", "127.0.0.1.evil.example:8011", "127.0.0.1:8012", "127.0.0.1",
                          "localhost", "[::1]", "::1:8011", "evil.example:8011", "", "127.0.0.1:8011/x",
                          "user@127.0.0.1:8011", "127.0.0.1:99999", "[127.0.0.1]:8011", "[::1"})
    EXPECT_FALSE(g.HostAllowed(bad)) << bad;
  EXPECT_TRUE(g.LoopbackOnly());
  EXPECT_TRUE(Guard("localhost").LoopbackOnly());
  EXPECT_TRUE(Guard("::1").LoopbackOnly());
  EXPECT_FALSE(Guard("127.evil.example").LoopbackOnly());
  EXPECT_FALSE(Guard("0.0.0.0").LoopbackOnly());

  // Bound to the network (with a token): any name, or only the listed ones
  // and addresses written out.
  EXPECT_TRUE(Guard("0.0.0.0", "t").HostAllowed("server.example:8011"));
  WebGuard named = Guard("0.0.0.0", "t", {"portex.example.com:8443"});
  EXPECT_TRUE(named.HostAllowed("portex.example.com:8443"));
  EXPECT_FALSE(named.HostAllowed("portex.example.com:8011"));
  EXPECT_FALSE(named.HostAllowed("rebound.example:8011"));
  EXPECT_TRUE(named.HostAllowed("192.168.1.20:8011"));
}

TEST(WebGuard, StateChangesComeFromThisServersPages) {
  WebGuard g = Guard("127.0.0.1", "", {}, {"127.0.0.1"});
  auto same = [&](const std::string& origin, const std::string& host, const std::string& peer = "10.0.0.9",
                  const std::string& proto = "", const std::string& site = "") {
    RequestFacts r;
    r.method = "POST";
    r.origin = origin;
    r.host = host;
    r.peer = peer;
    r.forwardedProto = proto;
    r.fetchSite = site;
    return g.SameOrigin(r);
  };
  EXPECT_TRUE(same("http://127.0.0.1:8011", "127.0.0.1:8011"));
  EXPECT_TRUE(same("https://portex.example.com", "portex.example.com"));  // behind a TLS proxy
  EXPECT_FALSE(same("https://evil.example", "portex.example.com"));
  EXPECT_FALSE(same("null", "127.0.0.1:8011"));
  EXPECT_FALSE(same("ftp://127.0.0.1:8011", "127.0.0.1:8011"));
  EXPECT_FALSE(same("http://127.0.0.1:8011", ""));
  EXPECT_TRUE(same("", "127.0.0.1:8011"));  // not a browser
  EXPECT_FALSE(same("", "127.0.0.1:8011", "10.0.0.9", "", "cross-site"));
  // The scheme a trusted proxy forwarded must be the origin's; anyone
  // else's X-Forwarded-Proto is not read.
  EXPECT_FALSE(same("http://portex.example.com", "portex.example.com", "127.0.0.1", "https"));
  EXPECT_TRUE(same("https://portex.example.com", "portex.example.com", "127.0.0.1", "https"));
  EXPECT_TRUE(same("http://portex.example.com", "portex.example.com", "10.0.0.9", "https"));
}

TEST(WebGuard, SessionsExpireSignOutAndFailuresAreThrottled) {
  WebGuard g = Guard("127.0.0.1", "s3cret", {}, {"127.0.0.1"});
  RequestFacts r;
  r.peer = "10.0.0.5";
  std::string cookie;
  int retry = 0;
  EXPECT_EQ(g.TrySignIn(r, "s3cret", t0, cookie, retry), WebGuard::SignIn::Done);
  EXPECT_EQ(cookie.rfind("px_session_8011=", 0), 0u);
  for (const char* attr : {"; HttpOnly", "; SameSite=Lax", "; Max-Age=28800", "; Path=/"})
    EXPECT_NE(cookie.find(attr), std::string::npos) << attr;
  EXPECT_EQ(cookie.find("Secure"), std::string::npos);
  r.cookie = "a=b; " + cookie.substr(0, cookie.find(';')) + "; c=d";
  EXPECT_TRUE(g.Authorised(r, t0 + hours(7)));
  EXPECT_FALSE(g.Authorised(r, t0 + hours(8)));
  RequestFacts other;
  other.cookie = "px_session_8011=s3cret";  // the cookie is a session value, not the token
  EXPECT_FALSE(g.Authorised(other, t0));
  other.authorization = "Bearer s3cret";
  EXPECT_TRUE(g.Authorised(other, t0));
  other.authorization = "Bearer s3cretX";
  EXPECT_FALSE(g.Authorised(other, t0));

  std::string cleared = g.SignOut(r);
  EXPECT_NE(cleared.find("Max-Age=0"), std::string::npos);
  EXPECT_FALSE(g.Authorised(r, t0 + hours(1)));

  // Five failures a minute, then even the right token waits.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(g.TrySignIn(r, "guess", t0 + seconds(i), cookie, retry), WebGuard::SignIn::Wrong);
  EXPECT_EQ(g.TrySignIn(r, "s3cret", t0 + seconds(10), cookie, retry), WebGuard::SignIn::Throttled);
  EXPECT_EQ(retry, 50);
  RequestFacts elsewhere;
  elsewhere.peer = "10.0.0.6";
  EXPECT_EQ(g.TrySignIn(elsewhere, "s3cret", t0 + seconds(10), cookie, retry), WebGuard::SignIn::Done);
  EXPECT_EQ(g.TrySignIn(r, "s3cret", t0 + seconds(61), cookie, retry), WebGuard::SignIn::Done);

  // Behind the trusted proxy: the forwarded client is throttled, not the
  // proxy, and the cookie is Secure over https.
  RequestFacts proxied;
  proxied.peer = "127.0.0.1";
  proxied.forwardedProto = "https";
  proxied.forwardedFor = "1.2.3.4, 10.0.0.7";
  EXPECT_EQ(g.ClientAddress(proxied), "10.0.0.7");
  EXPECT_EQ(g.TrySignIn(proxied, "s3cret", t0, cookie, retry), WebGuard::SignIn::Done);
  EXPECT_NE(cookie.find("; Secure"), std::string::npos);
  proxied.peer = "10.0.0.8";
  EXPECT_EQ(g.ClientAddress(proxied), "10.0.0.8");
}

TEST(WebText, JsonAndMetricLabelsCannotBeBrokenOutOf) {
  EXPECT_EQ(JsonQuote("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
  EXPECT_EQ(JsonQuote("caf\xc3\xa9"), "\"caf\xc3\xa9\"");  // UTF-8 kept
  EXPECT_EQ(JsonQuote("caf\xe9"), "\"caf\xc3\xa9\"");      // Latin-1 byte shown as its letter
  EXPECT_EQ(JsonQuote("\xed\xa0\x80"), "\"\xc3\xad\xc2\xa0\xc2\x80\"");  // a surrogate is not UTF-8
  EXPECT_EQ(MetricFamily::Label("tag", "Door \"A\"\\1\nx"), "tag=\"Door \\\"A\\\"\\\\1\\nx\"");
}

}  // namespace
}  // namespace px
