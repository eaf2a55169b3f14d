// The event loop while a terminal hands over its log: a 10 ms loop timer's
// longest gap and 99th percentile, idle and while the terminal module reads
// 50,000 records through the real driver from the simulator and hands them
// back to the loop.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Timer.h"
#include "zk/ZKF7Form.h"
#include "zk/ZkDriver.h"
#include "zksim/ZkSim.h"

using namespace px;
using Clk = std::chrono::steady_clock;

namespace {

class CountingHost : public IZkHost {
public:
  std::string spare3;
  long saved = 0;
  bool Select(const std::string& sql, DbRows& rows) override {
    rows.columns = {"tag_name", "logical_point", "spare3", "controller_type"};
    if (sql.find("rdrmain") != std::string::npos) rows.rows = {{"F7", "1", spare3, "KXF7"}};
    return true;
  }
  bool Exec(const std::string&) override { return true; }
  void Save_Trans(const std::string&, const std::string&) override { ++saved; }
  void SetDeviceState(const std::string&, const std::string&) override {}
  void SetNoPoll(const std::string&, bool) override {}
  void QueueForRawWrite(const std::string&) override {}
  void Queue_PutDone(const std::string&) override {}
  void WriteToAuditTrail(const std::string&, const std::string&) override {}
};

struct Gaps {
  std::vector<double> ms;
  double Max() const { return ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
  double P99() const {
    if (ms.empty()) return 0;
    auto v = ms;
    std::sort(v.begin(), v.end());
    return v[v.size() * 99 / 100];
  }
};

}  // namespace

int main() {
  const int kRecords = 50000;
  zksim::Simulator sim;
  if (!sim.Start()) return 1;
  sim.Populate(100, kRecords, 0);
  EventLoop loop;
  std::thread runner([&] { loop.Run(); });
  Gaps* current = nullptr;
  Gaps idle, busy;
  Clk::time_point last = Clk::now();
  std::unique_ptr<TTimer> tick;
  loop.Synchronize([&] {
    tick = std::make_unique<TTimer>(loop, 10, true);
    tick->OnTimer = [&] {
      auto now = Clk::now();
      if (current) current->ms.push_back(std::chrono::duration<double, std::milli>(now - last).count());
      last = now;
    };
  });
  loop.Synchronize([&] { current = &idle; });
  std::this_thread::sleep_for(std::chrono::seconds(2));

  auto host = std::make_shared<CountingHost>();
  host->spare3 = "127000000001:" + std::to_string(sim.Port());
  std::unique_ptr<TZKF7Form> zk;
  NullLog log;
  TZKF7Form::Options o;
  o.loop = &loop;
  std::atomic<bool> done{false};
  bool ok = false;
  auto t0 = Clk::now();
  loop.Synchronize([&] {
    zk = std::make_unique<TZKF7Form>(o, log, host, [] { return std::make_unique<ZkDriver>(); });
    current = &busy;
    TZKF7Form* z = zk.get();
    z->RunOffLoop([&, z] {
      bool skipped;
      ok = z->GetTransactions(1, "F7", host->spare3, skipped);
    }, [&] { done = true; });
  });
  while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  double secs = std::chrono::duration<double>(Clk::now() - t0).count();
  loop.Synchronize([&] {
    current = nullptr;
    zk.reset();
    tick.reset();
  });
  loop.Stop();
  runner.join();
  sim.Stop();
  std::printf("terminal read: %s, %ld of %d records stored in %.2f s (%.0f records/s)\n", ok ? "ok" : "FAILED",
              host->saved, kRecords, secs, host->saved / secs);
  std::printf("loop 10 ms timer idle:   p99 gap %.1f ms, longest %.1f ms\n", idle.P99(), idle.Max());
  std::printf("loop 10 ms timer during: p99 gap %.1f ms, longest %.1f ms\n", busy.P99(), busy.Max());
  return ok ? 0 : 1;
}
