// Polling speed of one serial bus: 16 units behind a paced pty, PollDelay
// 50 ms, at 9600 and 38400 baud, with the intake journal in the program
// folder as the service runs it (every records poll waits for its unit's
// owed mark on disk). Prints the measured time per poll beside PollDelay
// plus the wire time of the frames exchanged, the polls per second of the
// bus, the journal's syncs and the CPU the server process used.
//
//   bench_buspoll [seconds per rate, default 5] [--no-journal]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/IntakeJournal.h"
#include "engine/MainForm.h"

namespace {

using Clock = std::chrono::steady_clock;

// Counts the bus log lines that tell what went over the wire.
class CountingLog : public px::ILog {
public:
  void WriteLog(int, const std::string& t) override {
    std::lock_guard<std::mutex> g(m_);
    if (t.find(": Poll") != std::string::npos || t.find(": Req Status") != std::string::npos) ++polls;
    else if (t.find("OK (Poll)") != std::string::npos) ++qa;
    else if (t.find("OK (Sts.I)") != std::string::npos) ++ri;
    else if (t.find("OK (Sts.S)") != std::string::npos) ++rs;
    else if (t.find("Failed. (TO)") != std::string::npos) ++timeouts;
    else if (t.rfind("B1 U", 0) == 0) ++vn;
  }
  void Reset() {
    std::lock_guard<std::mutex> g(m_);
    polls = qa = ri = rs = vn = timeouts = 0;
  }
  long polls = 0, qa = 0, ri = 0, rs = 0, vn = 0, timeouts = 0;

private:
  std::mutex m_;
};

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

pid_t StartSimulator(const std::string& link, int baud) {
  std::fflush(stdout);  // else the child flushes our buffered lines a second time
  pid_t pid = fork();
  if (pid == 0) {
    freopen("/dev/null", "w", stdout);  // the simulator's own chatter
    std::string b = std::to_string(baud);
    execl(PX_CTRLSIM_PATH, "ctrlsim", "--pty-link", link.c_str(), "--baud", b.c_str(), "--units", "1-16",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

void RunRate(int baud, int seconds, bool journaled) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("buspoll." + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string link = (dir / "ttyBUS").string();
  { std::ofstream(dir / "OstrPro.Ini") << "[Comm Setting]\nSleepMsec=50\n"; }
  pid_t sim = StartSimulator(link, baud);
  for (int i = 0; i < 500 && !fs::exists(link); ++i) usleep(10000);

  px::EventLoop loop;
  CountingLog log;
  px::EngineConfig cfg;
  cfg.appDir = dir.string() + "/";
  cfg.iniPath = (dir / "OstrPro.Ini").string();
  cfg.comDevicePath = [&](int) { return link; };
  std::unique_ptr<px::TIntakeJournal> journal;
  if (journaled) {
    px::TIntakeJournal::Options jo;
    jo.dir = (dir / "journal").string();
    journal = std::make_unique<px::TIntakeJournal>(jo, log);
  }
  loop.Post([&] {
    {
      px::TMainForm form(loop, log, cfg, nullptr, nullptr, nullptr, journal.get());
      if (!form.SpawnAccessComm(1, baud, 1)) {
        std::fprintf(stderr, "cannot open the simulated bus at %s\n", link.c_str());
      } else {
        for (int u = 1; u <= 16; ++u) form.EnableCtrl(1, u, true);
        loop.Sleep(3000);  // every unit answers VN once before the count starts
        log.Reset();
        const std::uint64_t syncs0 = journal ? journal->Syncs() : 0;
        double cpu0 = CpuSeconds();
        auto t0 = Clock::now();
        loop.Sleep(seconds * 1000);
        double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        double cpu = CpuSeconds() - cpu0;
        long polls = log.polls;
        // Request 4 bytes; answers: QA with status only 8, RI 12, RS 6, VN 17.
        double bytes = 4.0 * static_cast<double>(polls) + 8.0 * log.qa + 12.0 * log.ri + 6.0 * log.rs + 17.0 * log.vn;
        double wireMs = polls ? bytes * 10.0 / baud * 1000.0 / static_cast<double>(polls) : 0;
        double perPollMs = polls ? elapsed * 1000.0 / static_cast<double>(polls) : 0;
        std::printf("%6d baud: %5ld polls in %.1f s = %5.1f polls/s; %.1f ms per poll vs PollDelay %d ms + wire %.2f ms "
                    "= %.1f ms; time-outs %ld; server CPU %.3f s (%.1f%% of one core)\n",
                    baud, polls, elapsed, polls / elapsed, perPollMs, form.Settings().pollDelay, wireMs,
                    form.Settings().pollDelay + wireMs, log.timeouts, cpu, 100.0 * cpu / elapsed);
        const double bound = form.Settings().pollDelay + wireMs;
        std::printf("%6d baud: %.3fx the physical bound; journal %s", baud, bound > 0 ? perPollMs / bound : 0,
                    journal ? "on, " : "off\n");
        if (journal)
          std::printf("%.1f syncs/s, %.2f per poll\n", static_cast<double>(journal->Syncs() - syncs0) / elapsed,
                      polls ? static_cast<double>(journal->Syncs() - syncs0) / static_cast<double>(polls) : 0.0);
      }
    }
    loop.Stop();
  });
  loop.Run();
  journal.reset();
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 5;
  bool journaled = true;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--no-journal") journaled = false;
    else seconds = std::max(1, std::atoi(argv[i]));
  }
  RunRate(9600, seconds, journaled);
  RunRate(38400, seconds, journaled);
  return 0;
}
