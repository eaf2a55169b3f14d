// zksim: a simulated fingerprint terminal on a TCP port.
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "zksim/ZkSim.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

void Usage() {
  std::puts(
      "usage: zksim [options]\n"
      "  --host ADDR          listen address (default 127.0.0.1)\n"
      "  --port N             TCP port (default 4370; 0 picks a free one)\n"
      "  --users N            users 1..N (default 10)\n"
      "  --records N          attendance records (default 20)\n"
      "  --templates N        fingers per user (default 1)\n"
      "  --record-date D      day of the first record, YYYY-MM-DD or \"today\"\n"
      "                       (default 2026-01-05); records start at 08:00, 37 s apart\n"
      "  --user-size 28|72    user record size (default 72)\n"
      "  --log-size 8|16|40   attendance record size (default 40)\n"
      "  --comm-key N         communication password (default 0, none)\n"
      "  --direct-limit N     tables up to N bytes in one packet (default 1024)\n"
      "  --pace-ms N          pause between packets, one packet per read at the client\n"
      "  --strict-checksum    close connections whose requests have wrong checksums\n"
      "  --fault NAME         refuse, silence, drop, corrupt, split, join, session, reply,\n"
      "                       log-error, drop-on-clear\n"
      "                       (repeatable)\n"
      "Prints \"zksim listening on ADDR:PORT\" once ready; SIGINT/SIGTERM stop it.");
}

// "YYYY-MM-DD" or "today" into the day of `t`.
bool ToDate(const std::string& s, zksim::Time& t) {
  if (s == "today") {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    return true;
  }
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (std::sscanf(s.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3) return false;
  if (y < 2000 || y > 2099 || m < 1 || m > 12 || d < 1 || d > 31) return false;
  t.year = y;
  t.month = m;
  t.day = d;
  return true;
}

bool ToInt(const char* s, long lo, long hi, long& out) {
  char* end = nullptr;
  out = std::strtol(s, &end, 10);
  return end != s && *end == '\0' && out >= lo && out <= hi;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  long port = 4370, users = 10, records = 20, templates = 1;
  zksim::Config cfg;
  zksim::Faults faults;
  zksim::Time first{2026, 1, 5, 8, 0, 0};
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](long lo, long hi, long& out) {
      if (i + 1 >= argc || !ToInt(argv[++i], lo, hi, out)) {
        std::fprintf(stderr, "zksim: bad value for %s\n", a.c_str());
        std::exit(2);
      }
    };
    long v = 0;
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a == "--host" && i + 1 < argc) {
      host = argv[++i];
    } else if (a == "--port") {
      value(0, 65535, port);
    } else if (a == "--users") {
      value(0, 65000, users);
    } else if (a == "--records") {
      value(0, 10000000, records);
    } else if (a == "--templates") {
      value(0, 10, templates);
    } else if (a == "--record-date" && i + 1 < argc) {
      if (!ToDate(argv[++i], first)) return std::fprintf(stderr, "zksim: bad value for --record-date\n"), 2;
    } else if (a == "--user-size") {
      value(28, 72, v);
      if (v != 28 && v != 72) return std::fprintf(stderr, "zksim: user size is 28 or 72\n"), 2;
      cfg.userRecordSize = static_cast<size_t>(v);
    } else if (a == "--log-size") {
      value(8, 40, v);
      if (v != 8 && v != 16 && v != 40) return std::fprintf(stderr, "zksim: log size is 8, 16 or 40\n"), 2;
      cfg.logRecordSize = static_cast<size_t>(v);
    } else if (a == "--comm-key") {
      value(0, 999999, v);
      cfg.commKey = static_cast<uint32_t>(v);
    } else if (a == "--direct-limit") {
      value(0, 1 << 24, v);
      cfg.directLimit = static_cast<size_t>(v);
    } else if (a == "--pace-ms") {
      value(0, 10000, v);
      cfg.paceMs = static_cast<int>(v);
    } else if (a == "--strict-checksum") {
      cfg.strictChecksum = true;
    } else if (a == "--fault" && i + 1 < argc) {
      std::string f = argv[++i];
      if (f == "refuse") faults.refuse = true;
      else if (f == "silence") faults.silence = true;
      else if (f == "drop") faults.dropMidTransfer = true;
      else if (f == "corrupt") faults.corruptRecord = true;
      else if (f == "split") faults.splitBytes = 3;
      else if (f == "join") faults.joinReplies = true;
      else if (f == "session") faults.wrongSession = true;
      else if (f == "reply") faults.wrongReply = true;
      else if (f == "log-error") faults.logError = true;
      else if (f == "drop-on-clear") faults.dropOnClear = true;
      else return std::fprintf(stderr, "zksim: unknown fault %s\n", f.c_str()), 2;
    } else {
      std::fprintf(stderr, "zksim: unknown option %s (see --help)\n", a.c_str());
      return 2;
    }
  }
  zksim::Simulator sim(cfg);
  sim.Populate(static_cast<int>(users), static_cast<int>(records), static_cast<int>(templates), 1, first);
  sim.SetFaults(faults);
  if (!sim.Start(static_cast<int>(port), host)) {
    std::fprintf(stderr, "zksim: cannot listen on %s:%ld: %s\n", host.c_str(), port, std::strerror(errno));
    return 1;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::printf("zksim listening on %s:%d\n", host.c_str(), sim.Port());
  std::fflush(stdout);
  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  sim.Stop();
  zksim::Stats st = sim.GetStats();
  std::printf("zksim stopped: %llu connections, %llu commands, %llu checksum mismatches\n",
              static_cast<unsigned long long>(st.connections),
              static_cast<unsigned long long>(st.commands.size()),
              static_cast<unsigned long long>(st.checksumMismatches));
  return 0;
}
