// The connection server on real loopback sockets, with the event loop on
// its own thread as in the service.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ClientEnv.h"
#include "ClientFakes.h"
#include "clientserver/ClientServer.h"
#include "clientserver/WireClient.h"
#include "clientserver/ClientWire.h"
#include "common/Format.h"
#include "common/StrUtil.h"
#include "platform/EventLoop.h"
#include "support/TestSupport.h"

using namespace px;
using Result = TWireClient::Result;

namespace {

// Answers every request through `answer`; remembers what it was asked.
class ScriptedProtocol : public test::StubProtocol {
public:
  std::function<std::string(const std::string&)> answer = [](const std::string& r) { return "re:" + r + "\r"; };
  std::vector<std::string> requests, remotes;  // loop thread

  std::string ReplyToClientQuery(const std::string& request, const std::string& remote) override {
    requests.push_back(request);
    remotes.push_back(remote);
    return answer(request);
  }
};

class ServerTest : public ::testing::Test {
protected:
  test::CaptureLog log;
  EventLoop loop;
  std::thread loopThread;
  ScriptedProtocol proto;
  ClientServerOptions options;
  std::unique_ptr<TClientServer> server;
  std::chrono::steady_clock::time_point fakeNow = std::chrono::steady_clock::now();
  int port = 0;

  void SetUp() override { loopThread = std::thread([this] { loop.Run(); }); }
  void TearDown() override {
    loop.Synchronize([this] { server.reset(); });
    loop.Stop();
    loopThread.join();
  }
  void Start() {
    options.now = [this] { return fakeNow; };
    loop.Synchronize([this] {
      server = std::make_unique<TClientServer>(loop.Context(), log, proto, options);
      ASSERT_TRUE(server->Open(0));
      port = server->Port();
    });
    ASSERT_GT(port, 0);
  }
  template <typename T>
  T OnLoop(const std::function<T()>& f) {
    T v{};
    loop.Synchronize([&] { v = f(); });
    return v;
  }
  size_t Requests() {
    return OnLoop<size_t>([this] { return proto.requests.size(); });
  }
  // Waits (bounded) until the loop has seen n requests.
  bool WaitRequests(size_t n) {
    for (int i = 0; i < 500; ++i) {
      if (Requests() >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  bool WaitConnections(size_t n) {
    for (int i = 0; i < 500; ++i) {
      if (OnLoop<size_t>([this] { return server->ConnectionCount(); }) == n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  bool WaitLog(const std::string& part) {
    for (int i = 0; i < 500; ++i) {
      if (log.HasSubstr(part)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  void Connect(TWireClient& c) { ASSERT_EQ(c.Connect("127.0.0.1", port, 2000), Result::Ok) << c.Error(); }
  // True when the server has closed the connection.
  static bool SeesClose(TWireClient& c) {
    std::string r;
    return c.Receive(r, 2000) == Result::Closed;
  }
  // The reply without its closing CR.
  std::string Ask(TWireClient& c, const std::string& request) {
    std::string r;
    EXPECT_EQ(c.Exchange(request, r, 2000), Result::Ok) << c.Error();
    if (!r.empty() && r.back() == '\r') r.pop_back();
    return r;
  }
};

TEST_F(ServerTest, RequestsAreUnscrambledAndRepliesScrambled) {
  proto.answer = [](const std::string&) { return std::string("\x06") + "abc\r"; };
  Start();
  TWireClient c;
  Connect(c);
  // Raw bytes, to see the wire itself.
  std::string wire = ScrambleClientText("abc\r");
  ASSERT_EQ(::send(c.Fd(), wire.data(), wire.size(), 0), 4);
  char buf[16];
  ssize_t n = ::recv(c.Fd(), buf, sizeof buf, 0);
  ASSERT_EQ(n, 5);
  EXPECT_EQ(std::string(buf, 5), ScrambleClientText(std::string("\x06") + "abc\r"));
  EXPECT_EQ(std::string(buf + 1, 3), "\x16\x26\x9C");  // "abc" from position 1
  ASSERT_TRUE(WaitRequests(1));
  loop.Synchronize([&] {
    EXPECT_EQ(proto.requests[0], "abc\r");
    EXPECT_EQ(proto.remotes[0], "127.0.0.1");
  });
}

TEST_F(ServerTest, EachReadIsOneRequestAndAnEmptyReplySendsNothing) {
  proto.answer = [](const std::string& r) { return r == "quiet" ? std::string() : "re:" + TrimRight(r) + "\r"; };
  Start();
  TWireClient c;
  Connect(c);
  // A request split over two reads is two requests.
  EXPECT_EQ(Ask(c, "hal"), "re:hal");
  EXPECT_EQ(Ask(c, "f\r"), "re:f");
  ASSERT_TRUE(WaitRequests(2));
  loop.Synchronize([&] {
    EXPECT_EQ(proto.requests[0], "hal");
    EXPECT_EQ(proto.requests[1], "f\r");
  });
  ASSERT_EQ(c.Send("quiet"), Result::Ok);
  ASSERT_TRUE(WaitRequests(3));
  // The first bytes that arrive belong to the next request's reply.
  EXPECT_EQ(Ask(c, "next"), "re:next");
}

TEST_F(ServerTest, SocketErrorIsLoggedAndTheServerKeepsListening) {
  Start();
  {
    TWireClient c;
    Connect(c);
    EXPECT_EQ(Ask(c, "x"), "re:x");
    // A reset instead of an orderly close.
    linger l{1, 0};
    setsockopt(c.Fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  ASSERT_TRUE(WaitLog("Server socket error managed: (")) << log.Dump();
  EXPECT_TRUE(log.Has("Server socket error managed: (104)")) << log.Dump();
  TWireClient d;
  Connect(d);
  EXPECT_EQ(Ask(d, "y"), "re:y");
  EXPECT_TRUE(OnLoop<bool>([this] { return server->Active(); }));
}

TEST_F(ServerTest, ConnectionsBeyondTheCapsAreClosedAndCountedOnceAMinute) {
  options.maxConnections = 3;
  options.maxPerHost = 2;
  Start();
  TWireClient a, b, c;
  Connect(a);
  Connect(b);
  EXPECT_EQ(Ask(a, "1"), "re:1");
  EXPECT_EQ(Ask(b, "2"), "re:2");
  // A third from the same address is one too many for that address.
  Connect(c);
  EXPECT_TRUE(SeesClose(c));
  EXPECT_TRUE(WaitLog("Client connections refused: 1 (last from 127.0.0.1: 2 connections from that address)"));
  for (int i = 0; i < 3; ++i) {
    TWireClient more;
    Connect(more);
    EXPECT_TRUE(SeesClose(more));
  }
  // One line a minute, with the count.
  EXPECT_EQ(log.CountSubstr("Client connections refused"), 1);
  loop.Synchronize([this] {
    fakeNow += std::chrono::seconds(61);
    server->ReportRefusals();
  });
  EXPECT_TRUE(log.HasSubstr("Client connections refused: 3 (last from 127.0.0.1"));
  EXPECT_EQ(Ask(a, "3"), "re:3");
  a.Close();
  ASSERT_TRUE(WaitConnections(1));
  TWireClient d;
  Connect(d);
  EXPECT_EQ(Ask(d, "4"), "re:4");
}

TEST_F(ServerTest, OversizedReadClosesTheConnection) {
  options.maxReadBytes = 16;
  Start();
  TWireClient c;
  Connect(c);
  EXPECT_EQ(Ask(c, std::string(16, 'a')), "re:" + std::string(16, 'a'));
  ASSERT_EQ(c.Send(std::string(100, 'b')), Result::Ok);
  EXPECT_TRUE(SeesClose(c));
  EXPECT_TRUE(log.HasSubstr("Client request over 16 bytes from 127.0.0.1: connection closed"));
  EXPECT_EQ(Requests(), 1u);
}

TEST_F(ServerTest, IdleConnectionsAreClosedOthersStay) {
  options.idleTimeout = std::chrono::minutes(10);
  Start();
  TWireClient idle, busy;
  Connect(idle);
  Connect(busy);
  ASSERT_TRUE(WaitConnections(2));
  loop.Synchronize([this] { fakeNow += std::chrono::minutes(9); });
  EXPECT_EQ(Ask(busy, "still here"), "re:still here");
  loop.Synchronize([this] {
    fakeNow += std::chrono::minutes(2);
    server->CloseIdle();
  });
  EXPECT_TRUE(SeesClose(idle));
  EXPECT_EQ(Ask(busy, "ok"), "re:ok");
  EXPECT_TRUE(log.Has("Client 127.0.0.1 idle: connection closed"));
}

TEST_F(ServerTest, ClientThatTakesNoRepliesIsClosedWhenItsBacklogIsFull) {
  options.maxPendingWriteBytes = 256 * 1024;
  proto.answer = [](const std::string&) { return std::string(100 * 1024, 'z') + "\r"; };
  Start();
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  bool closed = false;
  for (size_t i = 1; i <= 400 && !closed; ++i) {
    if (::send(fd, "q", 1, MSG_NOSIGNAL) != 1) break;
    for (int k = 0; k < 200 && Requests() < i; ++k) {
      closed = log.HasSubstr("does not take its replies");
      if (closed) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    closed = closed || log.HasSubstr("does not take its replies");
  }
  ::close(fd);
  EXPECT_TRUE(closed) << log.Dump();
  TWireClient c;
  Connect(c);
  EXPECT_EQ(Ask(c, "x").size(), 100u * 1024);
}

TEST_F(ServerTest, ClientLeavingWhileItsReplyIsWrittenDoesNotHurt) {
  // No SIGPIPE handler here: a signal would end the test program.
  proto.answer = [](const std::string&) { return std::string(4 << 20, 'z') + "\r"; };
  Start();
  for (int i = 0; i < 5; ++i) {
    TWireClient c;
    Connect(c);
    ASSERT_EQ(c.Send("big"), Result::Ok);
    // The reply is on its way: its first bytes arrive, then the client leaves.
    char buf[4096];
    ASSERT_GT(::recv(c.Fd(), buf, sizeof buf, 0), 0);
    if (i % 2) {
      linger l{1, 0};
      setsockopt(c.Fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
  }
  ASSERT_TRUE(WaitRequests(5));
  proto.answer = [](const std::string&) { return std::string("fine\r"); };
  TWireClient d;
  Connect(d);
  EXPECT_EQ(Ask(d, "x"), "fine");
  EXPECT_TRUE(WaitConnections(1));
}

TEST_F(ServerTest, LargestCardUploadReplyReachesTheClientWhole) {
  // 99,999 cards of 20 characters: about 2 MiB, twice the pending-write limit.
  test::TempDir dir;
  std::unique_ptr<test::ClientEnv> env;
  loop.Synchronize([&] {
    env = std::make_unique<test::ClientEnv>(log, dir.Path() + "/", "sqlite:" + dir.File("OstrPro.db"));
    ASSERT_TRUE(env->AddCtrl("DOOR1", "18", "KX4100"));
    ASSERT_TRUE(env->LoadRegistry());
    env->engine.nextId = "090000001";
    server = std::make_unique<TClientServer>(loop.Context(), log, *env->proto, options);
    ASSERT_TRUE(server->Open(0));
    port = server->Port();
  });
  TWireClient c;
  Connect(c);
  EXPECT_EQ(Ask(c, wire::CommandRequest("DOOR1", "RC", "")), "\x06" "DOOR1       WF090000001");
  std::string file, expected = "\x06" "DOOR1       OK";
  for (int i = 1; i <= 99999; ++i) {
    std::string card = Format("%06d%014d", i, i);
    file += card + "\r\n";
    expected += card + ";";
  }
  dir.Write("user.tmp", file);
  loop.Synchronize([&] { env->proto->PutReplyByID("090000001", "OKRC99999"); });
  std::string r;
  ASSERT_EQ(c.Exchange(wire::FetchReplyRequest("DOOR1", "090000001"), r, 20000), Result::Ok) << c.Error();
  EXPECT_EQ(r.size(), expected.size() + 1);
  EXPECT_TRUE(r == expected + "\r");
  loop.Synchronize([&] {
    server.reset();
    env.reset();
  });
}

TEST_F(ServerTest, CloseEndsEveryConnectionAndReopens) {
  Start();
  TWireClient c;
  Connect(c);
  EXPECT_EQ(Ask(c, "a"), "re:a");
  loop.Synchronize([this] { server->Close(); });
  EXPECT_TRUE(SeesClose(c));
  EXPECT_FALSE(OnLoop<bool>([this] { return server->Active(); }));
  TWireClient refused;
  EXPECT_EQ(refused.Connect("127.0.0.1", port, 2000), Result::Refused);
  loop.Synchronize([this] { ASSERT_TRUE(server->Open(port)); });
  TWireClient d;
  Connect(d);
  EXPECT_EQ(Ask(d, "b"), "re:b");
  // A port already taken is a logged failure.
  TClientServer other(loop.Context(), log, proto);
  EXPECT_FALSE(OnLoop<bool>([&] { return other.Open(port); }));
  EXPECT_TRUE(log.HasSubstr("Client server cannot listen on port " + std::to_string(port)));
}

}  // namespace
