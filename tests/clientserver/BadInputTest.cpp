// Bad input: requests of any bytes and any length, straight into the
// protocol and over sockets from many clients at once.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "clientserver/ClientServer.h"
#include "clientserver/WireClient.h"
#include "fuzz/RequestHarness.h"
#include "platform/EventLoop.h"
#include "support/TestSupport.h"

using namespace px;

namespace {

std::vector<std::string> Corpus() {
  std::string login;
  wire::LoginRequest("alice", "pw", login);
  std::string sx = std::string(1, kSTX) + "00SX" + "junk" + wire::CommandRequest("DOOR1", "PR", "");
  return {
      wire::PollRequest("DOOR1", ""),
      wire::PollRequest("DOOR1", "   DOOR1"),
      wire::CommandRequest("DOOR1", "PR", "05"),
      wire::CommandRequest("IPDOOR", "AC", "123456789012345678901234"),
      wire::CommandRequest("OUT1", "ON", "1"),
      wire::CommandRequest("IN1", "IT", "3"),
      wire::CommandRequest("F7", "AC", "123456xxxxxxxxxxxx03"),
      wire::CommandRequest("BADPOINT", "PR", ""),
      wire::CommandRequest("DOOR1", "RC", ""),
      wire::CommandRequest("DOOR1", "VN", ""),
      wire::FetchReplyRequest("DOOR1", "101500123"),
      wire::RefreshActiveRequest(),
      sx,
      login,
      wire::MobileRequest("C1", "bob", "DOOR1", "PR", ""),
      wire::MobileRequest("C2", "bob", "F7", "AC", "123456"),
      wire::MobileRequest("C3", "bob'); drop table rdrmain; --", "DOOR1", "DC", "1'"),
      wire::JobRequest("K1", 1, "000001", "2U", "127000000001", "T1", "192168001050"),
      wire::JobRequest("F7", 1, "000001", "8U", "127000000001", "T2", "010000000005"),
      wire::JobRequest("F7", 0, "000001", "8N", "127000000001", "T3", ""),
      std::string(1, kEOT) + "F7          xxxx0000018N" + std::string(40, ' ') + "\r",
  };
}

TEST(BadInputTest, TruncatedFlippedAndRandomRequestsAreHandled) {
  test::RequestHarness h;
  std::mt19937 rng(20260314);
  int fed = 0;
  for (const auto& req : Corpus()) {
    for (size_t n = 0; n <= req.size(); ++n) {
      ASSERT_TRUE(h.Feed(req.substr(0, n))) << "prefix " << n << " of " << wire::Printable(req);
      ++fed;
    }
    for (int k = 0; k < 40; ++k) {
      std::string s = req;
      for (int f = 0; f < 3; ++f) s[rng() % s.size()] = static_cast<char>(rng() % 256);
      ASSERT_TRUE(h.Feed(s)) << wire::Printable(s);
      ++fed;
    }
  }
  const char classes[] = {kSOH, kSTX, kETX, kEOT};
  for (int k = 0; k < 3000; ++k) {
    std::string s(rng() % 160, '\0');
    for (auto& c : s) c = static_cast<char>(rng() % 256);
    if (!s.empty() && rng() % 4) s[0] = classes[rng() % 4];
    if (s.size() > 1 && rng() % 2) s[1 + rng() % (s.size() - 1)] = kCR;
    ASSERT_TRUE(h.Feed(s, rng() % 2 ? "127.0.0.1" : "not-an-address")) << wire::Printable(s);
    ++fed;
  }
  // The database was never touched by what the requests carried.
  EXPECT_EQ(h.Env().Scalar("select count(*) from rdrmain"), "4");
  EXPECT_GT(fed, 4000);
}

TEST(BadInputTest, ManyBadClientsDoNotDisturbAGoodOne) {
  test::RequestHarness h;
  EventLoop loop;
  test::CaptureLog log;
  std::unique_ptr<TClientServer> server;
  int port = 0;
  std::thread loopThread([&] { loop.Run(); });
  loop.Synchronize([&] {
    server = std::make_unique<TClientServer>(loop.Context(), log, *h.Env().proto);
    server->Open(0);
    port = server->Port();
  });
  ASSERT_GT(port, 0);
  std::string poll, expected;
  loop.Synchronize([&] { poll = wire::PollRequest("DOOR1", h.Env().monitor.GetLastRec()); });
  expected = std::string(1, kACK) + "123456" + kCR;

  std::atomic<bool> stop{false};
  std::vector<std::thread> bad;
  auto corpus = Corpus();
  for (int t = 0; t < 8; ++t) {
    bad.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int round = 0; round < 20 && !stop; ++round) {
        TWireClient c;
        if (c.Connect("127.0.0.1", port, 2000) != TWireClient::Result::Ok) continue;
        for (int k = 0; k < 10; ++k) {
          std::string s = corpus[rng() % corpus.size()];
          s.resize(rng() % (s.size() + 1));
          if (rng() % 3 == 0)
            for (auto& ch : s) ch = static_cast<char>(rng() % 256);
          if (s.empty()) s = "x";
          c.Send(s);  // unscrambled bytes too: they are just other bytes
          std::string r;
          if (rng() % 2) c.Receive(r, 20);
        }
        if (rng() % 2) {
          linger l{1, 0};  // leave with a reset now and then
          setsockopt(c.Fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
      }
    });
  }
  TWireClient good;
  ASSERT_EQ(good.Connect("127.0.0.1", port, 2000), TWireClient::Result::Ok);
  for (int i = 0; i < 200; ++i) {
    std::string r;
    ASSERT_EQ(good.Exchange(poll, r, 2000), TWireClient::Result::Ok) << good.Error();
    ASSERT_EQ(r, expected) << wire::Printable(r);
  }
  stop = true;
  for (auto& t : bad) t.join();
  std::string r;
  ASSERT_EQ(good.Exchange(poll, r, 2000), TWireClient::Result::Ok);
  EXPECT_EQ(r, expected);
  bool active = false;
  loop.Synchronize([&] {
    active = server->Active();
    server.reset();
  });
  EXPECT_TRUE(active);
  loop.Stop();
  loopThread.join();
}

}  // namespace
