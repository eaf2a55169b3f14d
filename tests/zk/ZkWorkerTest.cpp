// Terminal work off the event loop: a real driver against the simulator, the
// module on a running loop, every service call checked to be on the loop.
#include <algorithm>
#include <thread>

#include "platform/EventLoop.h"
#include "support/ChildProcess.h"
#include "zk/ZkDriver.h"
#include "zk/ZkFixture.h"
#include "zksim/ZkSim.h"

using namespace px;
using namespace px::test;
using namespace std::chrono_literals;

namespace {

class LoopCheckingHost : public RecordingHost {
public:
  LoopCheckingHost(TestDatabase& db, EventLoop& loop) : RecordingHost(db), loop_(loop) {}
  std::atomic<int> offLoop{0};
  std::atomic<bool> throwOnce{false};
  void Save_Trans(const std::string& tag, const std::string& r) override {
    if (!loop_.InLoopThread()) ++offLoop;
    if (throwOnce.exchange(false)) throw std::runtime_error("store failed");
    RecordingHost::Save_Trans(tag, r);
  }

private:
  EventLoop& loop_;
};

TEST(ZkWorkerTest, PollRunsOffTheLoopAndHandsRecordsBackInOrder) {
  TestDatabase db("sqlite");
  db.CreateSchema("OstrPro");
  zksim::Simulator sim;
  ASSERT_TRUE(sim.Start());
  sim.Populate(20, 1500, 0);
  db.Exec("insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values "
          "('F7', 1, '127000000001:" + std::to_string(sim.Port()) + "', 'KXF7', 'UP', 'Y')");
  EventLoop loop;
  std::thread runner([&] { loop.Run(); });
  CaptureLog log;
  auto host = std::make_shared<LoopCheckingHost>(db, loop);
  std::unique_ptr<TZKF7Form> zk;
  TZKF7Form::Options o;
  o.loop = &loop;
  loop.Synchronize([&] { zk = std::make_unique<TZKF7Form>(o, log, host, [] { return std::make_unique<ZkDriver>(); }); });

  std::atomic<bool> finished{false}, ok{false}, busyWhileRunning{false}, loopAnswered{false};
  // The work holds the module itself, as the periodic job's does, not the owner's pointer.
  TZKF7Form* z = zk.get();
  loop.Synchronize([&] {
    zk->RunOffLoop([&, z] {
      bool skipped;
      ok = z->GetTransactions(1, "F7", "127000000001:" + std::to_string(sim.Port()), skipped);
    }, [&] { finished = true; });
    busyWhileRunning = zk->Busy();
  });
  // The loop keeps answering while the terminal is read.
  loop.Post([&] { loopAnswered = true; });
  ASSERT_TRUE(WaitFor([&] { return finished.load(); }, 20s));
  EXPECT_TRUE(loopAnswered);
  EXPECT_TRUE(busyWhileRunning);
  EXPECT_TRUE(ok) << log.Dump();
  bool busyAfter = true;
  loop.Synchronize([&] { busyAfter = zk->Busy(); });
  EXPECT_FALSE(busyAfter);
  EXPECT_EQ(host->offLoop, 0);
  ASSERT_EQ(host->saved.size(), 1500u);
  EXPECT_TRUE(sim.Records().empty());

  // Work handed back that throws ends the hand-over: the poll fails, the
  // worker goes on, and the next poll stores the records it kept.
  auto poll = [&] {
    std::atomic<bool> done{false}, result{false};
    loop.Synchronize([&] {
      zk->RunOffLoop([&, z] {
        bool skipped;
        result = z->GetTransactions(1, "F7", "127000000001:" + std::to_string(sim.Port()), skipped);
      }, [&] { done = true; });
    });
    EXPECT_TRUE(WaitFor([&] { return done.load(); }, 20s));
    return result.load();
  };
  for (int i = 0; i < 3; ++i) sim.AddRecord("5", zksim::Time{2026, 12, 9, 10, i, 0}, 1, 0);
  host->throwOnce = true;
  EXPECT_FALSE(poll());
  EXPECT_TRUE(log.HasSubstr("<ZK.OnLoop>store failed"));
  EXPECT_EQ(sim.Records().size(), 3u);
  EXPECT_TRUE(poll());
  EXPECT_EQ(host->saved.size(), 1503u);

  // Shutting down in the middle of a long read neither hangs nor stores
  // after it: the terminal keeps its records and is enabled again.
  sim.Populate(20, 20000, 0);
  zksim::Config paced;
  paced.paceMs = 2;  // slow enough that the shutdown falls inside the read
  sim.SetConfig(paced);
  const auto clears = sim.GetStats().clears;
  const auto commands = sim.GetStats().commands.size();
  loop.Synchronize([&] {
    zk->RunOffLoop([&, z] {
      bool skipped;
      z->GetTransactions(1, "F7", "127000000001:" + std::to_string(sim.Port()), skipped);
    }, {});
  });
  ASSERT_TRUE(WaitFor([&] {
    auto c = sim.GetStats().commands;
    return std::count(c.begin() + static_cast<long>(commands), c.end(), uint16_t{1504}) >= 2;  // chunks under way
  }, 20s));
  loop.Synchronize([&] { zk.reset(); });
  EXPECT_EQ(sim.Records().size(), 20000u);
  EXPECT_EQ(sim.GetStats().clears, clears);
  EXPECT_TRUE(sim.GetStats().enabled);
  loop.Stop();
  runner.join();
  sim.Stop();
}

}  // namespace
