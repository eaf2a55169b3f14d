#include "web/MetricsText.h"

#include <map>
#include <vector>

#include "common/Counters.h"
#include "engine/IPChannel.h"
#include "engine/MainForm.h"
#include "engine/SingleSocket.h"
#include "service/ServiceContext.h"
#include "service/ServiceDb.h"
#include "service/TransStore.h"

namespace px {

namespace {

// One metric family: its samples stay together under one HELP and TYPE.
class Family {
public:
  Family(std::string& out, const char* name, const char* type, const char* help) : out_(out), name_(name) {
    out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(unsigned long long v, const std::string& labels = "") {
    out_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(v) + "\n";
  }

private:
  std::string& out_;
  std::string name_;
};

std::string Line(const char* transport, int line) {
  return std::string("transport=\"") + transport + "\",line=\"" + std::to_string(line) + "\"";
}

uint64_t Get(const ProcessCounters::Counter& c) { return c.load(std::memory_order_relaxed); }

struct UnitCount {
  int up = 0, down = 0;
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
  auto perLine = [&](Family& f, auto& busArr, auto& ipArr, const ProcessCounters::Counter& ssCount) {
    for (int b = 1; b <= ProcessCounters::kBuses; ++b)
      if (busShown(b)) f.Sample(Get(busArr[b]), Line("serial", b));
    for (int c = 1; c <= ProcessCounters::kChannels; ++c)
      if (channelShown(c)) f.Sample(Get(ipArr[c]), Line("ip", c));
    if (ss || Get(ssCount) > 0) f.Sample(Get(ssCount), Line("single_socket", 1));
  };
  {
    Family f(out, "px_polls_total", "counter", "Polls sent to controllers.");
    perLine(f, k.busPolls, k.ipPolls, k.ssPolls);
  }
  {
    Family f(out, "px_failed_polls_total", "counter", "Polls that got no valid answer in time.");
    perLine(f, k.busFailedPolls, k.ipFailedPolls, k.ssFailedPolls);
  }
  {
    Family f(out, "px_units", "gauge", "Enabled controller units by state (down after the failed polls that mark it).");
    for (int b = 1; engine && b <= TMainForm::kMaxBuses; ++b) {
      TAccComm* bus = engine->Bus(b);
      if (!bus) continue;
      UnitCount n;
      for (int u = 1; u <= TAccComm::kUnits; ++u) {
        const TUnitRecord& r = bus->Unit(u);
        if (r.Enabled) ++(r.FailureCount > 5 ? n.down : n.up);
      }
      f.Sample(static_cast<unsigned>(n.up), Line("serial", b) + ",state=\"up\"");
      f.Sample(static_cast<unsigned>(n.down), Line("serial", b) + ",state=\"down\"");
    }
    for (int c = 1; c <= channels; ++c) {
      TIPController& ctrl = engine->IP().Channel(c)->Ctrl();
      UnitCount n;
      for (int s = 1; s <= ctrl.SlotCount(); ++s) {
        const TUnitRecord& r = ctrl.Unit(s);
        if (r.Enabled) ++(r.FailureCount > 3 ? n.down : n.up);
      }
      f.Sample(static_cast<unsigned>(n.up), Line("ip", c) + ",state=\"up\"");
      f.Sample(static_cast<unsigned>(n.down), Line("ip", c) + ",state=\"down\"");
    }
  }
  {
    Family f(out, "px_engine_queue_depth", "gauge", "Entries waiting in each engine queue.");
    if (engine) {
      f.Sample(engine->ReplyDepth(), "queue=\"reply\"");
      f.Sample(engine->RawDepth(), "queue=\"raw_capture\"");
      for (int b = 1; b <= TMainForm::kMaxBuses; ++b) {
        if (TAccComm* bus = engine->Bus(b)) {
          f.Sample(bus->CommandDepth(), "queue=\"command\"," + Line("serial", b));
          f.Sample(bus->TransDepth(), "queue=\"transaction\"," + Line("serial", b));
        }
      }
      for (int c = 1; c <= channels; ++c) {
        TIPController& ctrl = engine->IP().Channel(c)->Ctrl();
        f.Sample(ctrl.Commands().Count(), "queue=\"command\"," + Line("ip", c));
        f.Sample(ctrl.TransDepth(), "queue=\"transaction\"," + Line("ip", c));
      }
      if (ss) {
        f.Sample(ss->CommandDepth(), "queue=\"command\"," + Line("single_socket", 1));
        f.Sample(ss->TransDepth(), "queue=\"transaction\"," + Line("single_socket", 1));
      }
    }
  }
  Family(out, "px_transactions_total", "counter", "Transactions handed to storage (stored, or spooled until their database answers).")
      .Sample(Get(k.transactions));
  {
    Family f(out, "px_spool_rows", "gauge", "Rows waiting in the spool for a database that failed.");
    auto* store = dynamic_cast<TTransStore*>(ctx_.store);
    f.Sample(store ? store->Writer().Spool().Size() : 0);
  }
  Family(out, "px_client_connections_total", "counter", "Client connections accepted.").Sample(Get(k.clientConnections));
  Family(out, "px_client_connections", "gauge", "Client connections open.")
      .Sample(static_cast<unsigned long long>(std::max<int64_t>(0, k.clientOpen.load())));
  Family(out, "px_client_requests_total", "counter", "Client requests answered.").Sample(Get(k.clientRequests));
  {
    Family f(out, "px_db_reconnects_total", "counter", "Database connections opened again after the first open.");
    f.Sample(Get(k.mainDbReconnects), "db=\"OstrPro\"");
    f.Sample(Get(k.arqDbReconnects), "db=\"OstrTimeSQL\"");
  }
  Family(out, "px_terminal_polls_total", "counter", "Fingerprint terminal polls.").Sample(Get(k.terminalPolls));
  Family(out, "px_repro_list_depth", "gauge", "Attendance reprocessing requests waiting.").Sample(ctx_.ReproList.size());
  Family(out, "px_started", "gauge", "1 once start-up has completed.").Sample(ctx_.ServerState == 5 ? 1 : 0);
  Family(out, "px_database_open", "gauge", "1 while the main database is open.")
      .Sample(ctx_.db && ctx_.db->Database1.Connected() ? 1 : 0);
  return out;
}

}  // namespace px
