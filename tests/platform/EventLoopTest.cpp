#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/EventLoop.h"
#include "platform/IniFile.h"
#include "platform/Timer.h"
#include "support/TestSupport.h"

using namespace px;

namespace {
// Runs a loop on its own thread for the test's lifetime.
struct LoopThread {
  EventLoop loop;
  std::thread t{[this] { loop.Run(); }};
  ~LoopThread() {
    loop.Stop();
    t.join();
  }
};
}  // namespace

TEST(EventLoop, SynchronizeRunsOnTheLoopAndWaits) {
  LoopThread lt;
  std::thread::id ran;
  int value = 0;
  ASSERT_TRUE(lt.loop.Synchronize([&] {
    ran = std::this_thread::get_id();
    value = 42;
  }));
  EXPECT_EQ(value, 42);
  EXPECT_EQ(ran, lt.t.get_id());
}

TEST(EventLoop, SynchronizeReturnsFalseOnceStopped) {
  EventLoop loop;
  std::atomic<bool> result{true};
  std::thread caller([&] { result = loop.Synchronize([] {}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  loop.Stop();  // the loop never ran: the waiting caller must be released
  caller.join();
  EXPECT_FALSE(result);
}

TEST(EventLoop, TimerTicksAndDisablingStopsIt) {
  EventLoop loop;
  int ticks = 0;
  TTimer timer(loop, 5);
  timer.OnTimer = [&] {
    timer.SetEnabled(false);  // disable on entry, re-arm at the end
    if (++ticks < 3) timer.SetEnabled(true);
    else loop.Stop();
  };
  timer.SetEnabled(true);
  // A timer that never fires must not hang the test: a bounded second timer ends it.
  TTimer guard(loop, 5000, true);
  guard.OnTimer = [&] { loop.Stop(); };
  loop.Run();
  EXPECT_EQ(ticks, 3);
}

TEST(EventLoop, WaitUntilKeepsHandlersRunning) {
  EventLoop loop;
  bool done = false, waited = false;
  loop.Post([&] {
    TTimer t(loop, 10, true);
    int fired = 0;
    t.OnTimer = [&] { ++fired; };
    waited = loop.WaitUntil([&] { return fired >= 2; }, 5, 200);
    done = true;
    loop.Stop();
  });
  loop.Run();
  EXPECT_TRUE(done);
  EXPECT_TRUE(waited);
}

TEST(EventLoop, AnExceptionEscapingAHandlerIsLoggedAndTheLoopGoesOn) {
  test::CaptureLog log;
  LoopThread lt;
  lt.loop.SetLog(&log);
  lt.loop.Post([] { throw std::runtime_error("posted"); });
  // From another thread: the caller is released, not left waiting.
  EXPECT_TRUE(lt.loop.Synchronize([] { throw std::runtime_error("synchronized"); }));
  // Inside a wait of another handler: that handler goes on after it.
  bool after = false;
  ASSERT_TRUE(lt.loop.Synchronize([&] {
    lt.loop.Post([] { throw 7; });
    lt.loop.Sleep(5);
    after = true;
  }));
  EXPECT_TRUE(after);
  int value = 0;
  ASSERT_TRUE(lt.loop.Synchronize([&] { value = 1; }));
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(log.Has("<EvLoop>posted")) << log.Dump();
  EXPECT_TRUE(log.Has("<EvLoop>synchronized"));
  EXPECT_TRUE(log.Has("<EvLoop>unknown exception"));
  lt.loop.SetLog(nullptr);
}

TEST(IniFile, ProfileSemantics) {
  auto ini = TIniFile::FromText(
      "; comment\n[Comm Setting]\nCommPort = 3\nBaudRate=0x2580\nBad=12x\n[options]\nDebug=21\nflag=1\n"
      "Name=\"quoted text\"\n");
  EXPECT_EQ(ini.ReadInteger("comm setting", "commport", 1), 3);
  EXPECT_EQ(ini.ReadInteger("Comm Setting", "BaudRate", 2400), 9600);
  EXPECT_EQ(ini.ReadInteger("Comm Setting", "Bad", 7), 7);
  EXPECT_EQ(ini.ReadInteger("Comm Setting", "Missing", 5), 5);
  EXPECT_EQ(ini.ReadInteger("Options", "Debug", 0), 21);
  EXPECT_TRUE(ini.ReadBool("OPTIONS", "Flag", false));
  EXPECT_TRUE(ini.ReadBool("Options", "Missing", true));
  EXPECT_EQ(ini.ReadString("Options", "Name", ""), "quoted text");
  TIniFile missing("/nonexistent/OstrPro.Ini");
  EXPECT_FALSE(missing.Loaded());
  EXPECT_EQ(missing.ReadString("A", "B", "def"), "def");
}
