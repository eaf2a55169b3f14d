#include "web/MetricsText.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>

#include "common/Counters.h"
#include "common/IntakeJournalApi.h"
#include "engine/IPChannel.h"
#include "engine/MainForm.h"
#include "engine/SingleSocket.h"
#include "service/ServiceContext.h"
#include "service/ServiceDb.h"
#include "service/ServiceModule.h"
#include "service/TransStore.h"
#include "web/MetricFamily.h"
#include "web/UnitStates.h"

namespace px {

namespace {

std::string Line(const char* transport, int line) {
  return std::string("transport=\"") + transport + "\",line=\"" + std::to_string(line) + "\"";
}

uint64_t Get(const ProcessCounters::Counter& c) { return c.load(std::memory_order_relaxed); }

double Seconds(std::chrono::system_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// When the process started, in seconds since the epoch: the kernel's boot
// time plus the process's start in clock ticks after it. Where /proc cannot
// say, the time this library was loaded, which is at the start too.
double ReadProcessStart() {
  const double loaded = Seconds(std::chrono::system_clock::now());
  std::ifstream stat("/proc/self/stat"), sys("/proc/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The command name in parentheses may hold blanks: fields are counted
  // from after its closing parenthesis (field 3 on); the start is field 22.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return loaded;
  std::istringstream fields(text.substr(close + 1));
  std::string f;
  int field = 2;
  while (field < 22 && (fields >> f)) ++field;
  unsigned long long ticks = 0, boot = 0;
  if (field != 22 || f.empty() || f.size() > 19 || f.find_first_not_of("0123456789") != std::string::npos)
    return loaded;
  ticks = std::stoull(f);
  for (std::string key; sys >> key;)
    if (key == "btime" && (sys >> boot)) break;
  const long hz = ::sysconf(_SC_CLK_TCK);
  if (boot == 0 || hz <= 0) return loaded;
  return static_cast<double>(boot) + static_cast<double>(ticks) / static_cast<double>(hz);
}

// Read once, when the program is loaded.
const double kProcessStart = ReadProcessStart();
double ProcessStart() { return kProcessStart; }

struct UnitCount {
  std::uint64_t up = 0, down = 0;
};

}  // namespace

std::string MetricsText::Render() const {
  std::string out;
  ProcessCounters& k = Counters();
  auto* engine = dynamic_cast<TMainForm*>(ctx_.engine);
  int channels = engine ? engine->IP().ChannelCount() : 0;
  TSingleSocket* ss = engine ? engine->IP().SingleSocket() : nullptr;

  // A bus or channel shows once it exists or has counted anything.
  auto busShown = [&](int b) { return (engine && engine->Bus(b)) || Get(k.busPolls[b]) > 0; };
  auto channelShown = [&](int c) { return c <= channels || Get(k.ipPolls[c]) > 0; };
  auto perLine = [&](MetricFamily& f, auto& busArr, auto& ipArr, const ProcessCounters::Counter& ssCount) {
    for (int b = 1; b <= ProcessCounters::kBuses; ++b)
      if (busShown(b)) f.Sample(Get(busArr[b]), Line("serial", b));
    for (int c = 1; c <= ProcessCounters::kChannels; ++c)
      if (channelShown(c)) f.Sample(Get(ipArr[c]), Line("ip", c));
    if (ss || Get(ssCount) > 0) f.Sample(Get(ssCount), Line("single_socket", 1));
  };
  {
    MetricFamily f(out, "px_polls_total", "counter", "Polls sent to controllers.");
    perLine(f, k.busPolls, k.ipPolls, k.ssPolls);
  }
  {
    MetricFamily f(out, "px_failed_polls_total", "counter", "Polls sent that got no valid answer in time.");
    perLine(f, k.busFailedPolls, k.ipFailedPolls, k.ssFailedPolls);
  }
  const std::vector<UnitState> units = UnitStates(ctx_).Read();
  {
    MetricFamily f(out, "px_units", "gauge", "Enabled controller units by state (down after the failed polls that mark it).");
    // Every line the engine has, also with no unit enabled on it.
    std::map<std::pair<std::string, int>, UnitCount> lines;
    for (int b = 1; engine && b <= TMainForm::kMaxBuses; ++b)
      if (engine->Bus(b)) lines[{"serial", b}];
    for (int c = 1; c <= channels; ++c) lines[{"ip", c}];
    if (ss) lines[{"single_socket", 1}];
    for (const auto& u : units) ++(u.up ? lines[{u.transport, u.line}].up : lines[{u.transport, u.line}].down);
    for (const auto& [line, n] : lines) {
      f.Sample(n.up, Line(line.first.c_str(), line.second) + ",state=\"up\"");
      f.Sample(n.down, Line(line.first.c_str(), line.second) + ",state=\"down\"");
    }
  }
  {
    MetricFamily f(out, "px_unit_up", "gauge", "1 while a controller unit answers its polls, 0 once it is down.");
    for (const auto& u : units)
      if (!u.tag.empty())
        f.Sample(u.up ? 1u : 0u, MetricFamily::Label("tag", u.tag) + ",transport=\"" + u.transport +
                                         "\",point=\"" + std::to_string(u.point) + "\"");
  }
  MetricFamily(out, "px_scanning_stopped", "gauge",
               "1 while \"On/Off Scanning\" has stopped the polls (units then keep their last state).")
      .Sample(engine && engine->ScanningStopped() ? 1u : 0u);
  {
    MetricFamily f(out, "px_engine_queue_depth", "gauge", "Entries waiting in each engine queue.");
    if (engine) {
      f.Sample(static_cast<std::uint64_t>(engine->ReplyDepth()), "queue=\"reply\"");
      f.Sample(static_cast<std::uint64_t>(engine->RawDepth()), "queue=\"raw_capture\"");
      for (int b = 1; b <= TMainForm::kMaxBuses; ++b) {
        if (TAccComm* bus = engine->Bus(b)) {
          f.Sample(static_cast<std::uint64_t>(bus->CommandDepth()), "queue=\"command\"," + Line("serial", b));
          f.Sample(static_cast<std::uint64_t>(bus->TransDepth()), "queue=\"transaction\"," + Line("serial", b));
        }
      }
      for (int c = 1; c <= channels; ++c) {
        TIPController& ctrl = engine->IP().Channel(c)->Ctrl();
        f.Sample(static_cast<std::uint64_t>(ctrl.Commands().Count()), "queue=\"command\"," + Line("ip", c));
        f.Sample(static_cast<std::uint64_t>(ctrl.TransDepth()), "queue=\"transaction\"," + Line("ip", c));
      }
      if (ss) {
        f.Sample(static_cast<std::uint64_t>(ss->CommandDepth()), "queue=\"command\"," + Line("single_socket", 1));
        f.Sample(static_cast<std::uint64_t>(ss->TransDepth()), "queue=\"transaction\"," + Line("single_socket", 1));
      }
    }
  }
  MetricFamily(out, "px_transactions_stored_total", "counter",
               "Transaction rows stored in the database, at once or replayed from the spool.")
      .Sample(Get(k.transStored));
  MetricFamily(out, "px_transactions_spooled_total", "counter",
               "Transactions kept in the spool because their database or card lookup failed.")
      .Sample(Get(k.transSpooled));
  {
    const int64_t last = k.lastTransactionMs.load(std::memory_order_relaxed);
    MetricFamily(out, "px_last_transaction_timestamp_seconds", "gauge",
                 "When the newest transaction was handed to storage; the process start until the first.")
        .SampleReal(last > 0 ? static_cast<double>(last) / 1000.0 : ProcessStart());
  }
  {
    MetricFamily f(out, "px_spool_rows", "gauge", "Rows waiting in the spool for a database that failed.");
    auto* store = dynamic_cast<TTransStore*>(ctx_.store);
    f.Sample(static_cast<std::uint64_t>(store ? store->Writer().Spool().Size() : 0));
  }
  if (const IIntakeJournal* journal = ctx_.journal) {
    MetricFamily(out, "px_intake_journal_lines", "gauge", "Lines handed over by devices and not yet stored.")
        .Sample(static_cast<std::uint64_t>(journal->Depth()));
    MetricFamily(out, "px_intake_journal_bytes", "gauge", "Bytes of the intake journal on disk.")
        .Sample(static_cast<std::uint64_t>(journal->Bytes()));
  }
  MetricFamily(out, "px_client_connections_total", "counter", "Client connections accepted.")
      .Sample(Get(k.clientConnections));
  MetricFamily(out, "px_client_connections_open", "gauge", "Client connections open.")
      .Sample(static_cast<std::uint64_t>(std::max<int64_t>(0, k.clientOpen.load())));
  MetricFamily(out, "px_client_requests_total", "counter", "Client requests answered.").Sample(Get(k.clientRequests));
  {
    MetricFamily f(out, "px_db_reconnects_total", "counter", "Database connections opened again after the first open.");
    f.Sample(Get(k.mainDbReconnects), "db=\"OstrPro\"");
    f.Sample(Get(k.arqDbReconnects), "db=\"OstrTimeSQL\"");
  }
  {
    MetricFamily f(out, "px_database_up", "gauge", "1 while the database connection is open.");
    f.Sample(ctx_.db && ctx_.db->Database1.Connected() ? 1u : 0u, "database=\"main\"");
    f.Sample(ctx_.db && ctx_.db->Database2.Connected() ? 1u : 0u, "database=\"attendance\"");
  }
  MetricFamily(out, "px_terminal_polls_total", "counter", "Fingerprint terminal polls.").Sample(Get(k.terminalPolls));
  MetricFamily(out, "px_repro_list_depth", "gauge", "Attendance reprocessing requests waiting.")
      .Sample(static_cast<std::uint64_t>(ctx_.ReproList.size()));
  MetricFamily(out, "px_started", "gauge", "1 once start-up has completed.").Sample(ctx_.ServerState == 5 ? 1u : 0u);
  MetricFamily(out, "px_build_info", "gauge", "The running version; always 1.")
      .Sample(1u, MetricFamily::Label("version", TVANTPortexService::kVersion));
  MetricFamily(out, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.")
      .SampleReal(ProcessStart());
  return out;
}

}  // namespace px
