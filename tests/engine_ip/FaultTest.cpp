// Misbehaving controllers on some channels must not hold up the others.
#include <algorithm>

#include "IPFixture.h"

namespace px::test {
namespace {

class FaultTest : public IPFixture {};

// The longest time between two consecutive polls the good controller heard,
// sampled while the loop runs for `ms`.
long LongestGap(EventLoop& loop, sim::SimUnit& u, int ms) {
  long worst = 0;
  int last = u.TotalReceived();
  auto lastAt = Clock::now();
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    loop.Sleep(1);
    int n = u.TotalReceived();
    if (n != last) {
      worst = std::max(worst, MsSince(lastAt));
      last = n;
      lastAt = Clock::now();
    }
  }
  return std::max(worst, MsSince(lastAt));
}

TEST_F(FaultTest, RefusingHangingAndDroppingControllersNeverStallTheOthers) {
  // Waits of 5 ms ticks: a poll waits 500 ms, a connect 1.5 s, so a channel
  // held up by another would show a gap far above that of its own polls.
  cfg.ipTickMs = 5;
  auto& good = AddSim("good", "127.0.0.1", {1});
  auto& refuse = AddSim("refuse", "127.0.0.2", {1});
  auto& hang = AddSim("hang", "127.0.0.3", {1});
  auto& drop = AddSim("drop", "127.0.0.4", {1});
  refuse.SetRefuse(true);
  hang.SetHang(true);
  drop.Bank().Unit(1).SetCloseMidFrame(1000000);
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, good.Port(), "KX4100", "127.0.0.1", 1));
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, refuse.Port(), "KX4100", "127.0.0.2", 1));
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, hang.Port(), "KX4100", "127.0.0.3", 1));
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, drop.Port(), "KX4100", "127.0.0.4", 1));
    sim::SimUnit& g = good.Bank().Unit(1);
    ASSERT_TRUE(WaitFor([&] { return g.TotalReceived() >= 3; }));
    const int before = g.TotalReceived();
    // Long enough for every fault to happen several times over.
    long gap = LongestGap(loop, g, 1200);
    EXPECT_LT(gap, 250) << log.Dump();
    EXPECT_GT(g.TotalReceived() - before, 30);
    EXPECT_TRUE(log.Has("2: Connect 127.0.0.2 - Failed."));
    EXPECT_TRUE(log.HasSubstr("Socket [2] error managed: ("));
    EXPECT_EQ(log.CountSubstr("Socket [2] error managed"), 1);
    EXPECT_GE(hang.IgnoredFrames(), 2);
    EXPECT_GE(drop.Accepted(), 2);
    EXPECT_TRUE(log.Has("IPT4: 127.0.0.4 1 - P.TO"));
    // One connect per window: the refusing one goes down as the windows pass.
    ASSERT_TRUE(WaitFor([&] {
      clock->Advance(TIPChannel::kConnectWindow);
      return HasLine("S01DN127.0.0.2");
    }));
  });
}

TEST_F(FaultTest, CommandForUnreachableControllerIsAnsweredWhenGivenUp) {
  auto& good = AddSim("good", "127.0.0.1", {1});
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, good.Port(), "KX4100", "127.0.0.1", 1));
    ASSERT_TRUE(WaitFor([&] { return good.Bank().Unit(1).TotalReceived() >= 2; }));
    good.SetRefuse(true);
    good.DropConnections();
    std::string id;
    ASSERT_EQ(form->SendCommand("PULSE", 1, 1, id, "01", "127.0.0.1"), 0);
    ASSERT_TRUE(WaitFor([&] { return log.Has("1: Connect 127.0.0.1 - Failed."); }));
    // The controller cannot be reached: the periodic check gives the
    // pending command up with its "XX" answer instead of dropping it silently.
    ASSERT_TRUE(WaitFor([&] {
      form->Queue_IPCommandPending();
      return HasLine("I01" + id + "XX127.0.0.1");
    }));
    EXPECT_FALSE(form->Queue_IPCommandPending());
    good.SetRefuse(false);
    clock->Advance(TIPChannel::kConnectWindow);
    ASSERT_TRUE(WaitFor([&] { return good.Accepted() >= 2; }));
  });
}

}  // namespace
}  // namespace px::test
