#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "ctrlsim/SerialSim.h"
#include "ctrlsim/UnitBank.h"
#include "engine/MainForm.h"
#include "platform/EventLoop.h"
#include "support/TestSupport.h"

namespace px::test {

// An engine form on a real event loop, with simulated buses on ptys.
// The test body runs on the loop thread, so it may use the form directly;
// WaitFor keeps the loop (and with it the bus threads) running.
class EngineFixture : public ::testing::Test {
protected:
  static constexpr int kBaud = 38400;

  EngineFixture() : clock(std::make_shared<ManualClock>(DateTime{2026, 3, 1, 14, 5, 9, 123})) {
    cfg.appDir = dir.Path() + "/";
    cfg.iniPath = dir.File("OstrPro.Ini");
    cfg.busTickMs = 4;  // 45 ticks: 180 ms to give up an answer
    cfg.comDevicePath = [this](int com) {
      auto it = com >= 1 && com <= 2 && sims[com] ? sims[com]->DevicePath() : "/nonexistent/tty" + std::to_string(com);
      return it;
    };
    SetIni("[Comm Setting]\nSleepMsec=1\n");
  }
  ~EngineFixture() override {
    for (auto& s : sims)
      if (s) s->Stop();
  }

  void SetIni(const std::string& text) { dir.Write("OstrPro.Ini", text); }

  // A simulated bus behind COM<com> (1 or 2).
  sim::UnitBank& AddSim(int com, int baud = kBaud) {
    banks[com] = std::make_shared<sim::UnitBank>();
    sims[com] = std::make_unique<sim::SerialSim>(banks[com],
                                                 sim::SerialSim::Options{dir.File("ttyCOM" + std::to_string(com)), baud, 0});
    std::string err;
    EXPECT_TRUE(sims[com]->Start(&err)) << err;
    return *banks[com];
  }

  void Run(const std::function<void()>& body) {
    loop.Post([&] {
      body();
      form.reset();
      loop.Stop();
    });
    loop.Run();
  }

  TMainForm& MakeForm(IIntakeJournal* journal = nullptr) {
    form = std::make_unique<TMainForm>(loop, *formLog, cfg, clock, nullptr, nullptr, journal);
    return *form;
  }

  // Generous: a wait ends as soon as its condition holds; the limit only
  // matters on a machine slowed by sanitizers or other builds.
  bool WaitFor(const std::function<bool()>& done, int ms = 15000) { return loop.WaitUntil(done, 2, ms / 2); }

  // Every engine line available now.
  std::vector<std::string> TakeLines() {
    std::vector<std::string> out;
    std::string l;
    while (form->GetNextTransaction(l) == 0) out.push_back(l);
    return out;
  }

  TempDir dir;
  CaptureLog log;
  ILog* formLog = &log;  // what the form writes to
  EventLoop loop;
  std::shared_ptr<ManualClock> clock;
  EngineConfig cfg;
  std::shared_ptr<sim::UnitBank> banks[3];
  std::unique_ptr<sim::SerialSim> sims[3];
  std::unique_ptr<TMainForm> form;
};

}  // namespace px::test
