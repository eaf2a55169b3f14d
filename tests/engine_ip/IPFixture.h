#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/ControllerTable.h"
#include "ctrlsim/TcpSim.h"
#include "ctrlsim/UnitBank.h"
#include "engine/MainForm.h"
#include "platform/EventLoop.h"
#include "support/TestSupport.h"

namespace px::test {

// Every poll or command the simulators heard, in order, as "name:frame"
// ("a:<U1>QA<CR>"). Filled from the simulators' threads.
class WireTrace {
public:
  void Add(const std::string& name, const std::string& text) {
    if (text.rfind("rx ", 0) != 0) return;
    std::lock_guard<std::mutex> g(m_);
    lines_.push_back(name + ":" + text.substr(3));
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> g(m_);
    return lines_;
  }
  // Just the names, in order.
  std::vector<std::string> Who() const {
    std::vector<std::string> out;
    for (const auto& l : Lines()) out.push_back(l.substr(0, l.find(':')));
    return out;
  }

private:
  mutable std::mutex m_;
  std::vector<std::string> lines_;
};

// An engine form on a real event loop with simulated IP controllers on
// loopback. The test body runs on the loop thread; WaitFor keeps the loop
// (channel timers, sockets) running. The IP timers are shortened: channel
// ticks and wait-counter ticks of 1 ms (a poll waits 100 ms).
class IPFixture : public ::testing::Test {
protected:
  IPFixture() : clock(std::make_shared<ManualClock>(DateTime{2026, 3, 1, 14, 5, 9, 123})) {
    cfg.appDir = dir.Path() + "/";
    cfg.iniPath = dir.File("OstrPro.Ini");
    cfg.ipTimerMs = 1;
    cfg.ipTickMs = 1;
    dir.Write("OstrPro.Ini", "[Comm Setting]\nSleepMsec=1\n");
  }
  ~IPFixture() override {
    for (auto& s : sims) s->Stop();
  }

  // A simulator at address:port (port 0: any free one) answering for units.
  sim::TcpSim& AddSim(const std::string& name, const std::string& address, std::vector<int> units, int port = 0) {
    auto bank = std::make_shared<sim::UnitBank>();
    bank->EnableUnits(units);
    bank->SetTrace([this, name](const std::string& t) { trace.Add(name, t); }, "");
    sims.push_back(std::make_unique<sim::TcpSim>(bank, sim::TcpSim::Options{address, port}));
    std::string err;
    EXPECT_TRUE(sims.back()->Start(&err)) << err;
    return *sims.back();
  }

  TMainForm& MakeForm() {
    form = std::make_unique<TMainForm>(loop, log, cfg, clock, &table, templates);
    return *form;
  }

  void Run(const std::function<void()>& body) {
    loop.Post([&] {
      body();
      form.reset();
      loop.Stop();
    });
    loop.Run();
  }

  // Generous: a wait ends as soon as its condition holds; the limit only
  // matters on a machine slowed by sanitizers or other builds.
  bool WaitFor(const std::function<bool()>& done, int ms = 15000) { return loop.WaitUntil(done, 1, ms); }

  TIPChannel& Channel(int n) { return *form->IP().Channel(n); }

  // Every engine line available now, added to `lines`.
  void TakeLines() {
    std::string l;
    while (form->GetNextTransaction(l) == 0) lines.push_back(l);
  }
  bool HasLine(const std::string& line) {
    TakeLines();
    for (const auto& l : lines)
      if (l == line) return true;
    return false;
  }
  int CountLinesStarting(const std::string& prefix) {
    TakeLines();
    int n = 0;
    for (const auto& l : lines)
      if (l.rfind(prefix, 0) == 0) ++n;
    return n;
  }

  TempDir dir;
  CaptureLog log;
  EventLoop loop;
  std::shared_ptr<ManualClock> clock;
  EngineConfig cfg;
  ControllerTable table;
  ITemplateServer* templates = nullptr;
  WireTrace trace;
  std::vector<std::unique_ptr<sim::TcpSim>> sims;
  std::unique_ptr<TMainForm> form;
  std::vector<std::string> lines;
};

using Clock = std::chrono::steady_clock;
inline long MsSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

}  // namespace px::test
