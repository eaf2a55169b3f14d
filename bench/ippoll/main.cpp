// IP polling benchmark: 12 channels of 16 simulated controllers each (192 on
// loopback, one address per channel), polled by the engine with its real
// timings (10 ms channel ticks, 20 ms wait ticks). Prints polls per second
// per channel and in total, the CPU share of the engine's loop thread and of
// the whole process (simulators included), and the resident memory; then the
// same with every controller silent and with every address refusing.
//
//   bench_ippoll [--seconds N] [--channels N] [--slots N]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/Format.h"
#include "common/Log.h"
#include "ctrlsim/TcpSim.h"
#include "ctrlsim/UnitBank.h"
#include "engine/MainForm.h"
#include "platform/EventLoop.h"

using namespace px;
using SteadyClock = std::chrono::steady_clock;

namespace {

double CpuSeconds(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long ResidentKb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Counts the failed connects the engine reports; drops every line.
class FailCountLog : public ILog {
public:
  long failed = 0;
  void WriteLog(int, const std::string& text) override {
    if (text.find(" - Failed.") != std::string::npos) ++failed;
  }
};

struct Phase {
  const char* name;
  long failedConnects = 0;
  std::vector<long> polls;  // per channel
  double seconds = 0, loopCpu = 0, procCpu = 0;
  long rssKb = 0;
};

void Print(const Phase& p) {
  long total = 0;
  for (long n : p.polls) total += n;
  std::printf("\n== %s (%.1f s)\n", p.name, p.seconds);
  std::printf("polls/s per channel:");
  for (size_t i = 0; i < p.polls.size(); ++i) std::printf(" %.1f", static_cast<double>(p.polls[i]) / p.seconds);
  std::printf("\npolls/s total: %.1f\n", static_cast<double>(total) / p.seconds);
  std::printf("failed connects/s: %.1f\n", static_cast<double>(p.failedConnects) / p.seconds);
  std::printf("engine loop thread CPU: %.1f %%\n", 100.0 * p.loopCpu / p.seconds);
  std::printf("process CPU (simulators included): %.1f %%\n", 100.0 * p.procCpu / p.seconds);
  std::printf("resident memory: %.1f MB\n", static_cast<double>(p.rssKb) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5;
  int channels = 12, slots = 16;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
    if (!std::strcmp(argv[i], "--channels")) channels = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--slots")) slots = std::atoi(argv[i + 1]);
  }
  char tmpl[] = "/tmp/ippoll.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  { std::ofstream(dir + "/OstrPro.Ini") << "[Comm Setting]\nIPSleepCnt=0\n"; }

  std::vector<std::unique_ptr<sim::TcpSim>> sims;
  std::vector<int> units;
  for (int u = 1; u <= slots; ++u) units.push_back(u);
  for (int c = 0; c < channels; ++c) {
    auto bank = std::make_shared<sim::UnitBank>();
    bank->EnableUnits(units);
    sims.push_back(std::make_unique<sim::TcpSim>(bank, sim::TcpSim::Options{Format("127.0.0.%d", c + 1), 0}));
    std::string err;
    if (!sims.back()->Start(&err)) {
      std::fprintf(stderr, "simulator: %s\n", err.c_str());
      return 1;
    }
  }

  EventLoop loop;
  FailCountLog log;
  EngineConfig cfg;
  cfg.appDir = dir + "/";
  cfg.iniPath = dir + "/OstrPro.Ini";
  std::vector<Phase> phases;
  loop.Post([&] {
    TMainForm form(loop, log, cfg, nullptr, nullptr, nullptr);
    for (int c = 0; c < channels; ++c)
      for (int u = 1; u <= slots; ++u)
        form.SpawnIPCtrl(false, true, sims[static_cast<size_t>(c)]->Port(), "KX4100", Format("127.0.0.%d", c + 1), u);
    auto total = [&](int c) {
      long n = 0;
      sims[static_cast<size_t>(c)]->Bank().ForEach([&](sim::SimUnit& u) { n += u.TotalReceived(); });
      return n;
    };
    auto measure = [&](const char* name) {
      Phase p{name, 0, {}, seconds};
      const long failed0 = log.failed;
      std::vector<long> start;
      for (int c = 0; c < channels; ++c) start.push_back(total(c));
      double l0 = CpuSeconds(RUSAGE_THREAD), p0 = CpuSeconds(RUSAGE_SELF);
      auto t0 = SteadyClock::now();
      loop.Sleep(static_cast<int>(seconds * 1000));
      p.seconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
      p.loopCpu = CpuSeconds(RUSAGE_THREAD) - l0;
      p.procCpu = CpuSeconds(RUSAGE_SELF) - p0;
      p.rssKb = ResidentKb();
      p.failedConnects = log.failed - failed0;
      for (int c = 0; c < channels; ++c) p.polls.push_back(total(c) - start[static_cast<size_t>(c)]);
      phases.push_back(p);
    };
    loop.Sleep(1000);  // version polls and the first round
    measure("all answering");
    for (auto& s : sims) s->Bank().ForEach([](sim::SimUnit& u) { u.SetSilent(true); });
    loop.Sleep(500);
    measure("connected, nothing answering");
    for (auto& s : sims) {
      s->SetRefuse(true);
      s->DropConnections();
    }
    loop.Sleep(500);
    measure("every address refusing");
    form.SetStopping();
    loop.Stop();
  });
  loop.Run();
  for (auto& s : sims) s->Stop();
  std::printf("IP polling: %d channels x %d controllers on loopback\n", channels, slots);
  for (const auto& p : phases) Print(p);
  std::string cmd = "rm -rf " + dir;
  return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
