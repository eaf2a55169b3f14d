// The web monitor's HTTP side: sign-in, origin and host checks, limits and
// the answers to bad requests, on a real socket with the loop on its thread.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "common/Counters.h"
#include "monitor/TransOnlineForm.h"
#include "platform/EventLoop.h"
#include "service/ServiceContext.h"
#include "support/TestSupport.h"
#include "templateserver/TemplateMemo.h"
#include "templateserver/TemplateServerApi.h"
#include "web/Json.h"
#include "web/MetricsText.h"
#include "web/WebGuard.h"
#include "web/WebServer.h"

namespace px {
namespace {

int Connect(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return s;
}

// Everything the server sends until it closes (or 5 s pass).
std::string ReadAll(int s) {
  std::string out;
  char buf[4096];
  pollfd p{s, POLLIN, 0};
  while (::poll(&p, 1, 5000) > 0) {
    ssize_t n = ::recv(s, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// The template server module as the page sees it: only its memo.
class MemoOnlyTemplates : public ITemplateServer, public ITemplateMemo {
public:
  bool UploadOneTemplate(const std::string&, const std::string&, int) override { return false; }
  bool RemoveOneTemplate(const std::string&, const std::string&, int) override { return false; }
  void CloseSocket() override {}
  bool ServerDownloadATemplate(const std::string&, const std::string&, const std::string&, const std::string&,
                               const std::string&, const std::string&) override {
    return false;
  }
  bool AddDelTemplate(const std::string&, const std::string&, const std::string&) override { return false; }
  std::vector<std::string> MemoLines() const override { return {"> Download All Templates:"}; }
};

class WebServerTest : public ::testing::Test {
protected:
  EventLoop loop;
  std::thread loopThread;
  ServiceContext ctx;
  TTransOnlineForm grid;
  test::CaptureLog log;
  std::unique_ptr<WebServer> web;

  void SetUp() override {
    ctx.loop = &loop;
    ctx.monitor = &grid;
    grid.AppendOneLine("Lobby", "09/12/2026", "0", "0", "Normal In", "Ann", "000101", "S1", "10:15");
    loopThread = std::thread([this] { loop.Run(); });
  }
  void TearDown() override {
    if (web) web->Stop();
    loop.Stop();
    loopThread.join();
  }
  void Start(WebOptions o) {
    o.anyPort = true;
    web = std::make_unique<WebServer>(loop, ctx, log, o);
    ASSERT_TRUE(web->Start()) << log.Dump();
  }
  std::string Send(const std::string& request) {
    int s = Connect(web->Port());
    (void)::send(s, request.data(), request.size(), MSG_NOSIGNAL);
    std::string r = ReadAll(s);
    ::close(s);
    return r;
  }
  std::string Get(const std::string& path, const std::string& headers = "") {
    return Send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers + "\r\n");
  }
  std::string Post(const std::string& path, const std::string& headers, const std::string& body = "") {
    return Send("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body);
  }
  static std::string Status(const std::string& response) { return response.substr(0, response.find("\r\n")); }
};

TEST(WebGuard, TokenCookieOriginAndHost) {
  WebOptions o;
  o.token = "s3cret";
  WebGuard g(o);
  EXPECT_TRUE(g.Authorised("Bearer s3cret", ""));
  EXPECT_FALSE(g.Authorised("Bearer s3cre", ""));
  EXPECT_FALSE(g.Authorised("Bearer s3cretX", ""));
  EXPECT_FALSE(g.Authorised("", "px_session=s3cret"));  // the cookie is a session value, not the token
  std::string cookie = g.SessionCookie();
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  std::string value = cookie.substr(0, cookie.find(';'));
  EXPECT_TRUE(g.Authorised("", "a=b; " + value + "; c=d"));
  EXPECT_FALSE(WebGuard(o).Authorised("", value));  // another run, another session

  EXPECT_TRUE(WebGuard::SameOrigin("http://127.0.0.1:8011", "127.0.0.1:8011", ""));
  EXPECT_FALSE(WebGuard::SameOrigin("http://evil.example", "127.0.0.1:8011", ""));
  EXPECT_FALSE(WebGuard::SameOrigin("null", "127.0.0.1:8011", ""));
  EXPECT_TRUE(WebGuard::SameOrigin("", "127.0.0.1:8011", ""));  // not a browser
  EXPECT_FALSE(WebGuard::SameOrigin("", "127.0.0.1:8011", "cross-site"));

  EXPECT_TRUE(g.HostAllowed("localhost:8011"));
  EXPECT_TRUE(g.HostAllowed("[::1]:8011"));
  EXPECT_FALSE(g.HostAllowed("rebound.example:8011"));
  o.bind = "0.0.0.0";
  EXPECT_TRUE(WebGuard(o).HostAllowed("server.example:8011"));
}

TEST(WebJson, QuotesControlCharactersAndKeepsNonUtf8Readable) {
  EXPECT_EQ(JsonQuote("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
  EXPECT_EQ(JsonQuote("caf\xc3\xa9"), "\"caf\xc3\xa9\"");  // UTF-8 kept
  EXPECT_EQ(JsonQuote("caf\xe9"), "\"caf\xc3\xa9\"");      // Latin-1 byte shown as its letter
  EXPECT_EQ(JsonQuote("\xed\xa0\x80"), "\"\xc3\xad\xc2\xa0\xc2\x80\"");  // a surrogate is not UTF-8
}

TEST_F(WebServerTest, TokenIsNeededAndBadRequestsGetAClearAnswer) {
  WebOptions o;
  o.token = "s3cret";
  o.readTimeoutSec = 1;  // the announced long body below never comes
  Start(o);
  const std::string auth = "Authorization: Bearer s3cret\r\n";

  std::string r = Get("/api/state");
  EXPECT_EQ(Status(r), "HTTP/1.1 401 Unauthorized");
  EXPECT_NE(r.find("Sign-in required"), std::string::npos);
  EXPECT_NE(Get("/").find("name=\"token\""), std::string::npos);  // the page offers the sign-in form
  r = Get("/api/state", auth);
  EXPECT_EQ(Status(r), "HTTP/1.1 200 OK");
  EXPECT_NE(r.find("Device Name"), std::string::npos);
  EXPECT_NE(r.find("Lobby"), std::string::npos);
  EXPECT_NE(r.find("\"templates\":null"), std::string::npos);  // no module, no memo window
  MemoOnlyTemplates templates;
  loop.Synchronize([&] { ctx.templates = &templates; });
  EXPECT_NE(Get("/api/state", auth).find("\"memo\":[\"> Download All Templates:\"]"), std::string::npos);
  loop.Synchronize([&] { ctx.templates = nullptr; });

  // Sign-in form: a session cookie, HttpOnly, then the pages work with it.
  r = Post("/login", "Origin: http://127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n",
           "token=s3cret");
  EXPECT_EQ(Status(r), "HTTP/1.1 303 See Other");
  size_t at = r.find("Set-Cookie: ");
  ASSERT_NE(at, std::string::npos);
  std::string cookie = r.substr(at + 12, r.find(';', at) - at - 12);
  EXPECT_NE(r.find("HttpOnly", at), std::string::npos);
  EXPECT_EQ(Status(Get("/metrics", "Cookie: " + cookie + "\r\n")), "HTTP/1.1 200 OK");
  EXPECT_EQ(Status(Post("/login", "Origin: http://127.0.0.1\r\n", "token=wrong")), "HTTP/1.1 401 Unauthorized");

  // A button pressed from another site, or by GET, does nothing.
  r = Post("/api/clear", auth + "Origin: http://evil.example\r\n");
  EXPECT_EQ(Status(r), "HTTP/1.1 403 Forbidden");
  EXPECT_NE(r.find("own page"), std::string::npos);
  EXPECT_EQ(Status(Get("/api/scan", auth)), "HTTP/1.1 405 Method Not Allowed");

  // Oversized headers: one long line, or many short ones.
  r = Get("/health", auth + "X-Big: " + std::string(20000, 'a') + "\r\n");
  EXPECT_EQ(Status(r), "HTTP/1.1 400 Bad Request");
  EXPECT_NE(r.find("headers could not be read"), std::string::npos);
  std::string many;
  for (int i = 0; i < 200; ++i) many += "X-H" + std::to_string(i) + ": " + std::string(50, 'b') + "\r\n";
  EXPECT_EQ(Status(Get("/health", auth + many)), "HTTP/1.1 431 Request Header Fields Too Large");
  // A body too long, announced or sent.
  r = Send("POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000\r\n\r\n");
  EXPECT_EQ(Status(r), "HTTP/1.1 413 Payload Too Large");
  EXPECT_NE(r.find("body too long"), std::string::npos);
  // Not HTTP at all, and a name rebound to this machine.
  EXPECT_EQ(Status(Send("GARBAGE\r\n\r\n")), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(Status(Send("GET / HTTP/1.1\r\nHost: rebound.example\r\n" + auth + "\r\n")),
            "HTTP/1.1 400 Bad Request");

  // Without the engine and the database the service is not healthy.
  r = Get("/health", auth);
  EXPECT_EQ(Status(r), "HTTP/1.1 503 Service Unavailable");
  EXPECT_NE(r.find("\"database\":false"), std::string::npos);
  EXPECT_EQ(Status(Post("/api/scan", auth + "Origin: http://127.0.0.1\r\n")), "HTTP/1.1 503 Service Unavailable");
}

TEST_F(WebServerTest, ConnectionsOverTheLimitAreRefusedAtOnce) {
  WebOptions o;
  o.threads = 1;
  o.maxConnections = 2;
  Start(o);
  int a = Connect(web->Port()), b = Connect(web->Port());  // one served, one waiting, both idle
  std::string r = Get("/health");
  EXPECT_EQ(Status(r), "HTTP/1.1 503 Service Unavailable");
  EXPECT_NE(r.find("Too many connections"), std::string::npos);
  ::close(a);
  ::close(b);
  // Once they are gone, requests are served again.
  bool served = false;
  for (int i = 0; i < 50 && !served; ++i) {
    served = Status(Get("/api/state")) == "HTTP/1.1 200 OK";
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(served);
}

TEST_F(WebServerTest, MetricsTextHasHelpAndTypeAndPassesTheChecker) {
  Start(WebOptions{});
  ProcessCounters::Add(Counters().busPolls, 2);
  ProcessCounters::Add(Counters().transactions);
  std::string r = Get("/metrics");
  std::string text = r.substr(r.find("\r\n\r\n") + 4);
  for (const char* family : {"px_polls_total", "px_failed_polls_total", "px_units", "px_engine_queue_depth",
                             "px_transactions_total", "px_spool_rows", "px_client_connections_total",
                             "px_client_requests_total", "px_db_reconnects_total", "px_terminal_polls_total",
                             "px_repro_list_depth"}) {
    EXPECT_NE(text.find(std::string("# HELP ") + family + " "), std::string::npos) << family;
    EXPECT_NE(text.find(std::string("# TYPE ") + family + " "), std::string::npos) << family;
  }
  EXPECT_NE(text.find("px_polls_total{transport=\"serial\",line=\"2\"} "), std::string::npos);
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool not installed";
  test::TempDir dir;
  test::WriteFile(dir.File("m.txt"), text);
  EXPECT_EQ(std::system(("promtool check metrics < " + dir.File("m.txt") + " >/dev/null 2>&1").c_str()), 0) << text;
}

}  // namespace
}  // namespace px
