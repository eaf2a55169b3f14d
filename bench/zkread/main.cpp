// Reads a simulated terminal's attendance log (50,000 records) and its users
// with their templates (3,000 users, two fingers each) through the driver,
// and prints seconds and MB/s for each.
//   bench_zkread [--records N] [--users N] [--port P]   (--port: an outside zksim)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "zk/ZkDriver.h"
#include "zksim/ZkSim.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figure {
  double seconds = 0;
  double megabytes = 0;
  size_t items = 0;
  bool ok = false;
};

void Print(const char* what, const Figure& f) {
  std::printf("%-34s %8zu items  %7.3f s  %7.2f MB  %8.2f MB/s%s\n", what, f.items, f.seconds, f.megabytes,
              f.seconds > 0 ? f.megabytes / f.seconds : 0.0, f.ok ? "" : "  FAILED");
}

// The terminal work alone, so a loop-stall benchmark can run it on a worker
// thread beside a loaded event loop and compare the loop's figures.
struct TerminalReads {
  Figure logs, users;
};

TerminalReads ReadTerminal(int port, const std::function<uint64_t()>& bytesSent) {
  TerminalReads r;
  px::ZkDriver drv;
  if (!drv.ZkConnect("127.0.0.1", port)) {
    std::fprintf(stderr, "bench_zkread: connect failed: %s\n", drv.LastError().c_str());
    return r;
  }
  uint64_t b0 = bytesSent();
  auto t0 = Clock::now();
  r.logs.ok = drv.ZkReadAllLogs(1);
  px::ZkLogRecord rec;
  while (drv.ZkNextLogRecordSSR(1, rec)) ++r.logs.items;
  r.logs.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  uint64_t b1 = bytesSent();
  r.logs.megabytes = static_cast<double>(b1 - b0) / 1e6;

  t0 = Clock::now();
  r.users.ok = drv.ZkReadAllUserIds(1) && drv.ZkReadAllTemplates(1);
  px::ZkUserInfo info;
  std::vector<uint8_t> tpl;
  while (drv.ZkNextUserInfoSSR(1, info)) {
    ++r.users.items;
    for (int f = 0; f < 2; ++f) r.users.ok = drv.ZkGetTemplateSSR(1, info.userText, f, tpl) && r.users.ok;
  }
  r.users.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.users.megabytes = static_cast<double>(bytesSent() - b1) / 1e6;
  drv.ZkDisconnect();
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int records = 50000, users = 3000, port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--records")) records = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--users")) users = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--port")) port = std::atoi(argv[i + 1]);
  }
  zksim::Simulator sim;
  std::function<uint64_t()> bytes = [] { return uint64_t{0}; };
  if (port == 0) {
    sim.Populate(users, records, 2);
    if (!sim.Start(0)) return std::fprintf(stderr, "bench_zkread: simulator did not start\n"), 1;
    port = sim.Port();
    bytes = [&sim] { return sim.GetStats().bytesSent; };
  }
  TerminalReads r = ReadTerminal(port, bytes);
  Print("attendance log (40-byte records)", r.logs);
  Print("users + two templates each", r.users);
  return r.logs.ok && r.users.ok ? 0 : 1;
}
