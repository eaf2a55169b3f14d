// The web monitor's HTTP side on a real socket with the loop on its thread:
// sign-in, the guard's answers, limits, deadlines and workers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "monitor/TransOnlineForm.h"
#include "platform/EventLoop.h"
#include "service/ServiceContext.h"
#include "support/TestSupport.h"
#include "templateserver/TemplateMemo.h"
#include "templateserver/TemplateServerApi.h"
#include "web/WebServer.h"

namespace px {
namespace {

using Clock = std::chrono::steady_clock;

int Connect(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return s;
}

void SendText(int s, const std::string& text) { (void)::send(s, text.data(), text.size(), MSG_NOSIGNAL); }

// Everything the server sends until it closes (or `ms` pass).
std::string ReadAll(int s, int ms = 5000) {
  std::string out;
  char buf[4096];
  pollfd p{s, POLLIN, 0};
  while (::poll(&p, 1, ms) > 0) {
    ssize_t n = ::recv(s, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// One whole response of a kept-alive connection (headers and its
// Content-Length of body).
std::string ReadResponse(int s) {
  std::string out;
  char c;
  pollfd p{s, POLLIN, 0};
  while (out.find("\r\n\r\n") == std::string::npos && ::poll(&p, 1, 5000) > 0 && ::recv(s, &c, 1, 0) == 1) out += c;
  size_t at = out.find("Content-Length: ");
  size_t body = at == std::string::npos ? 0 : std::stoul(out.substr(at + 16));
  std::string rest(body, '\0');
  size_t got = 0;
  while (got < body && ::poll(&p, 1, 5000) > 0) {
    ssize_t n = ::recv(s, rest.data() + got, body - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return out + rest.substr(0, got);
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The template server module as the page sees it: only its memo.
class MemoOnlyTemplates : public ITemplateServer, public ITemplateMemo {
public:
  TemplateHandOff HandOffCardCommand(bool, const std::string&, const std::string&, int) override {
    return TemplateHandOff::Failed;
  }
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
  std::string Host() const { return "127.0.0.1:" + std::to_string(web->Port()); }
  std::string Send(const std::string& request) {
    int s = Connect(web->Port());
    SendText(s, request);
    std::string r = ReadAll(s);
    ::close(s);
    return r;
  }
  std::string Get(const std::string& path, const std::string& headers = "") {
    return Send("GET " + path + " HTTP/1.1\r\nHost: " + Host() + "\r\nConnection: close\r\n" + headers + "\r\n");
  }
  std::string Post(const std::string& path, const std::string& headers, const std::string& body = "") {
    return Send("POST " + path + " HTTP/1.1\r\nHost: " + Host() + "\r\nConnection: close\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body);
  }
  std::string Origin() const { return "Origin: http://" + Host() + "\r\n"; }
  static std::string Status(const std::string& response) { return response.substr(0, response.find("\r\n")); }
  static std::string Cookie(const std::string& response) {
    size_t at = response.find("Set-Cookie: ");
    return at == std::string::npos ? "" : response.substr(at + 12, response.find(';', at) - at - 12);
  }
};

TEST_F(WebServerTest, TokenSessionsAndSignInThrottle) {
  WebOptions o;
  o.token = "s3cret";
  o.sessionSec = 2;
  Start(o);
  const std::string auth = "Authorization: Bearer s3cret\r\n";

  std::string r = Get("/api/state");
  EXPECT_EQ(Status(r), "HTTP/1.1 401 Unauthorized");
  EXPECT_NE(r.find("Sign-in required"), std::string::npos);
  EXPECT_NE(Get("/").find("name=\"token\""), std::string::npos);  // the page offers the sign-in form
  r = Get("/api/state", auth);
  EXPECT_EQ(Status(r), "HTTP/1.1 200 OK");
  EXPECT_NE(r.find("\"signOut\":true,\"monitor\""), std::string::npos);
  EXPECT_NE(r.find("Lobby"), std::string::npos);
  EXPECT_NE(r.find("\"templates\":null"), std::string::npos);  // no module, no memo window
  EXPECT_NE(r.find("base-uri 'none'; form-action 'self'"), std::string::npos);
  MemoOnlyTemplates templates;
  loop.Synchronize([&] { ctx.templates = &templates; });
  EXPECT_NE(Get("/api/state", auth).find("\"memo\":[\"> Download All Templates:\"]"), std::string::npos);
  loop.Synchronize([&] { ctx.templates = nullptr; });

  // Sign-in form: a session cookie named after the port, then the pages
  // work with it until sign-out or expiry.
  const std::string form = Origin() + "Content-Type: application/x-www-form-urlencoded\r\n";
  r = Post("/login", form, "token=s3cret");
  EXPECT_EQ(Status(r), "HTTP/1.1 303 See Other");
  const std::string cookie = Cookie(r);
  EXPECT_EQ(cookie.rfind("px_session_" + std::to_string(web->Port()) + "=", 0), 0u) << r;
  EXPECT_NE(r.find("SameSite=Lax"), std::string::npos);
  EXPECT_EQ(Status(Get("/metrics", "Cookie: " + cookie + "\r\n")), "HTTP/1.1 200 OK");
  r = Post("/logout", Origin() + "Cookie: " + cookie + "\r\n");
  EXPECT_EQ(Status(r), "HTTP/1.1 303 See Other");
  EXPECT_NE(r.find("Max-Age=0"), std::string::npos);
  EXPECT_EQ(Status(Get("/metrics", "Cookie: " + cookie + "\r\n")), "HTTP/1.1 401 Unauthorized");
  const std::string again = Cookie(Post("/login", form, "token=s3cret"));
  EXPECT_EQ(Status(Get("/metrics", "Cookie: " + again + "\r\n")), "HTTP/1.1 200 OK");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(Status(Get("/metrics", "Cookie: " + again + "\r\n")), "HTTP/1.1 401 Unauthorized");

  // Guessing: five wrong tokens, then 429 with Retry-After even for the right one.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Status(Post("/login", form, "token=guess")), "HTTP/1.1 401 Unauthorized");
  r = Post("/login", form, "token=s3cret");
  EXPECT_EQ(Status(r), "HTTP/1.1 429 Too Many Requests");
  EXPECT_NE(r.find("Retry-After: "), std::string::npos);
  EXPECT_EQ(Status(Get("/api/state", auth)), "HTTP/1.1 200 OK");  // the bearer token is not a sign-in
}

TEST_F(WebServerTest, ARefusedPostsBodyIsNeverReadAsARequest) {
  Start(WebOptions{});
  // A text/plain form from a foreign page: its body is a whole request that
  // would press "On/Off Scanning" if it were read as the next one.
  const std::string inner = "POST /api/scan HTTP/1.1\r\nHost: " + Host() + "\r\nContent-Length: 0\r\n\r\n";
  std::string r = Send("POST /api/clear HTTP/1.1\r\nHost: " + Host() +
                       "\r\nOrigin: http://evil.example\r\nContent-Type: text/plain\r\nContent-Length: " +
                       std::to_string(inner.size()) + "\r\n\r\n" + inner);
  EXPECT_EQ(Status(r), "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(Count(r, "HTTP/1.1 "), 1) << r;
  EXPECT_NE(r.find("Connection: close"), std::string::npos);

  // Nor is the body of a GET, which the library does not read.
  r = Send("GET /api/state HTTP/1.1\r\nHost: " + Host() + "\r\nContent-Length: " + std::to_string(inner.size()) +
           "\r\n\r\n" + inner);
  EXPECT_EQ(Count(r, "HTTP/1.1 "), 1) << r;

  // Any answer of 400 or more ends the connection, kept alive or not.
  int s = Connect(web->Port());
  SendText(s, "GET /nothing HTTP/1.1\r\nHost: " + Host() + "\r\n\r\nGET /health HTTP/1.1\r\nHost: " + Host() +
                  "\r\n\r\n");
  r = ReadAll(s);
  ::close(s);
  EXPECT_EQ(Status(r), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Count(r, "HTTP/1.1 "), 1) << r;

  // Host names: a literal loopback address or localhost with our port.
  auto withHost = [&](const std::string& host) {
    return Status(Send("GET /api/state HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n"));
  };
  const std::string port = std::to_string(web->Port());
  EXPECT_EQ(withHost("127.0.0.1:" + port), "HTTP/1.1 200 OK");
  EXPECT_EQ(withHost("localhost:" + port), "HTTP/1.1 200 OK");
  EXPECT_EQ(withHost("127.evil.example:" + port), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(withHost("127.0.0.1:" + std::to_string(web->Port() + 1)), "HTTP/1.1 400 Bad Request");
}

TEST_F(WebServerTest, OtherMachinesNeedAToken) {
  WebOptions o;
  o.bind = "0.0.0.0";
  web = std::make_unique<WebServer>(loop, ctx, log, o);
  EXPECT_FALSE(web->Start());
  EXPECT_EQ(web->Port(), 0);
  EXPECT_TRUE(log.HasSubstr("Web: not started: Bind=0.0.0.0 lets other machines in and no Token is set")) << log.Dump();
  o.token = "t";
  o.hosts = {"portex.example.com"};
  Start(o);
  const std::string auth = "Authorization: Bearer t\r\n";
  EXPECT_EQ(Status(Get("/health", auth)), "HTTP/1.1 503 Service Unavailable");  // served: not ready yet
  EXPECT_EQ(Status(Send("GET /health HTTP/1.1\r\nHost: rebound.example\r\n" + auth + "\r\n")),
            "HTTP/1.1 400 Bad Request");
  // Behind a TLS proxy under that name, the page's own POST passes.
  EXPECT_EQ(Status(Send("POST /api/clear HTTP/1.1\r\nHost: portex.example.com\r\nOrigin: https://portex.example.com"
                        "\r\nContent-Length: 0\r\n" + auth + "\r\n")),
            "HTTP/1.1 503 Service Unavailable");  // past the guard; no engine here
}

TEST_F(WebServerTest, LimitsGetTheirOwnStatus) {
  WebOptions o;
  o.token = "s3cret";
  Start(o);
  const std::string auth = "Authorization: Bearer s3cret\r\n";
  // Header bytes past the budget: one long line, or many short ones.
  std::string r = Get("/health", auth + "X-Big: " + std::string(20000, 'a') + "\r\n");
  EXPECT_EQ(Status(r), "HTTP/1.1 431 Request Header Fields Too Large");
  EXPECT_NE(r.find("headers too large"), std::string::npos);
  std::string many;
  for (int i = 0; i < 200; ++i) many += "X-H" + std::to_string(i) + ": " + std::string(50, 'b') + "\r\n";
  EXPECT_EQ(Status(Get("/health", auth + many)), "HTTP/1.1 431 Request Header Fields Too Large");
  EXPECT_EQ(Status(Get("/" + std::string(9000, 'p'))), "HTTP/1.1 414 URI Too Long");
  // A body too long, announced or sent.
  r = Send("POST /login HTTP/1.1\r\nHost: " + Host() + "\r\nContent-Length: 100000\r\n\r\n");
  EXPECT_EQ(Status(r), "HTTP/1.1 413 Payload Too Large");
  EXPECT_NE(r.find("body too long"), std::string::npos);
  EXPECT_EQ(Status(Send("GARBAGE\r\n\r\n")), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(Status(Post("/api/scan", auth + Origin())), "HTTP/1.1 503 Service Unavailable");  // no engine
}

TEST_F(WebServerTest, ASlowSenderHoldsAWorkerOnlyUntilTheRequestDeadline) {
  WebOptions o;
  o.requestDeadlineSec = 1;
  Start(o);
  int s = Connect(web->Port());
  std::atomic<bool> done{false};
  // A byte every 300 ms: each well within the 5 s a single wait may take.
  std::thread drip([&] {
    const std::string req = "GET /health HTTP/1.1\r\nHost: " + Host() + "\r\nX-Slow: " + std::string(100, 's');
    for (size_t i = 0; i < req.size() && !done; ++i) {
      SendText(s, req.substr(i, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });
  const auto t = Clock::now();
  std::string r = ReadAll(s, 4000);
  const auto took = Clock::now() - t;
  done = true;
  drip.join();
  ::close(s);
  EXPECT_EQ(Status(r), "HTTP/1.1 408 Request Timeout");
  EXPECT_LT(took, std::chrono::milliseconds(2000));

  // A stop does not wait for one either.
  s = Connect(web->Port());
  SendText(s, "GET /health HTTP/1.1\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto stop = Clock::now();
  web->Stop();
  EXPECT_LT(Clock::now() - stop, std::chrono::milliseconds(600));
  ::close(s);
}

TEST_F(WebServerTest, OpenPagesDoNotStarveHealth) {
  Start(WebOptions{});  // four workers
  // Four tabs, each on its kept-alive connection, refreshing as the page does.
  std::atomic<bool> done{false};
  std::atomic<int> refreshes{0};
  std::vector<std::thread> tabs;
  for (int i = 0; i < 4; ++i) {
    tabs.emplace_back([&] {
      int s = Connect(web->Port());
      while (!done) {
        SendText(s, "GET /api/state HTTP/1.1\r\nHost: " + Host() + "\r\n\r\n");
        if (Status(ReadResponse(s)) != "HTTP/1.1 200 OK") {
          ::close(s);  // let go by the server: the page opens another
          s = Connect(web->Port());
          continue;
        }
        ++refreshes;
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
      }
      ::close(s);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  for (int i = 0; i < 3; ++i) {
    const auto t = Clock::now();
    EXPECT_NE(Get("/health").find("\"status\""), std::string::npos);
    EXPECT_LT(Clock::now() - t, std::chrono::milliseconds(1000)) << "try " << i;
  }
  done = true;
  for (auto& t : tabs) t.join();
  EXPECT_GE(refreshes.load(), 4);
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

}  // namespace
}  // namespace px
