// /metrics on a real engine form: single-socket and IP units with their
// registry tags, scanning stopped, the journal, and a text promtool accepts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "common/Counters.h"
#include "common/IntakeJournal.h"
#include "common/IpKey.h"
#include "engine/IPChannel.h"
#include "engine/MainForm.h"
#include "platform/EventLoop.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"
#include "service/ServiceDb.h"
#include "service/Settings.h"
#include "support/TestSupport.h"
#include "web/MetricsText.h"

namespace px {
namespace {

TCtrlRec Row(const std::string& tag, int point, const std::string& ip, int downCount = 0,
             const std::string& type = "KX6000") {
  TCtrlRec r;
  r.TagName = tag;
  r.LogicalPoint = point;
  r.IPAddress = ip.empty() ? "" : IPToKey(ip);
  r.CtrlType = type;
  r.DownCount = downCount;
  return r;
}

bool Has(const std::string& text, const std::string& line) { return text.find("\n" + line + "\n") != std::string::npos; }

TEST(MetricsText, UnitsByTransportAndTagWithScanningStopped) {
  test::TempDir dir;
  test::CaptureLog log;
  auto clock = std::make_shared<ManualClock>(DateTime{2026, 3, 2, 9, 0, 0, 0});
  EventLoop loop;
  ServiceSettings settings;
  settings.AppDir = dir.Path() + "/";
  ServiceDb db(settings, log, clock);
  ControllerRegistry registry(settings, db, log);
  ControllerTable& table = registry.CtrlTable();
  table.Add(Row("Gate \"North\"", 1, "192.168.1.20"));
  table.Add(Row("Dock", 2, "192.168.1.21", 4));  // down when it was loaded
  table.Add(Row("Clock", 3, "192.168.1.22", 0, "KXF7"));  // a terminal, not the socket's
  table.Add(Row("Lift", 5, "127.0.0.1"));
  EngineConfig cfg;
  cfg.appDir = dir.Path() + "/";
  cfg.iniPath = dir.File("OstrPro.Ini");
  cfg.singleSocket = true;
  cfg.ipTimerMs = 1;
  cfg.ipTickMs = 1;
  dir.Write("OstrPro.Ini", "[Comm Setting]\nSleepMsec=1\n");
  TIntakeJournal::Options jo;
  jo.dir = dir.File("journal");
  TIntakeJournal journal(jo, log);
  journal.Append("B1", {"T0101", "T0102", "T0103"});
  ASSERT_TRUE(journal.Flush(std::chrono::seconds(5)));
  const auto ipFailedBefore = Counters().ipFailedPolls[1].load();
  std::string text;

  loop.Post([&] {
    TMainForm form(loop, log, cfg, clock, &table, nullptr);
    // An IP controller whose address refuses connections: it goes down
    // after four tries (one per connect window), none of them a poll.
    form.SpawnIPCtrl(false, true, test::FreeLoopbackPort(), "KX6000", "127.0.0.1", 5);
    TIPController& ctrl = form.IP().Channel(1)->Ctrl();
    for (int i = 1; i <= 4; ++i) {
      loop.WaitUntil([&] { return ctrl.Slot(1).rec.FailureCount >= i; }, 1, 5000);
      clock->Advance(TIPChannel::kConnectWindow + std::chrono::seconds(1));
    }
    form.Button2Click();  // "On/Off Scanning": polls stop, states stay
    ServiceContext ctx;
    ctx.engine = &form;
    ctx.registry = &registry;
    ctx.db = &db;
    ctx.journal = &journal;
    text = "\n" + MetricsText(ctx).Render();
    loop.Stop();
  });
  loop.Run();

  EXPECT_EQ(Counters().ipFailedPolls[1].load(), ipFailedBefore);
  for (const char* line :
       {"px_units{transport=\"ip\",line=\"1\",state=\"down\"} 1",
        "px_units{transport=\"single_socket\",line=\"1\",state=\"up\"} 2",
        "px_units{transport=\"single_socket\",line=\"1\",state=\"down\"} 1",
        "px_unit_up{tag=\"Gate \\\"North\\\"\",transport=\"single_socket\",point=\"1\"} 1",
        "px_unit_up{tag=\"Dock\",transport=\"single_socket\",point=\"2\"} 0",
        "px_unit_up{tag=\"Lift\",transport=\"ip\",point=\"5\"} 0", "px_scanning_stopped 1",
        "px_intake_journal_lines 3", "px_database_up{database=\"main\"} 0",
        "px_database_up{database=\"attendance\"} 0", "px_build_info{version=\"1.0.0.18g\"} 1"})
    EXPECT_TRUE(Has(text, line)) << line << "\n" << text;
  EXPECT_EQ(text.find("tag=\"Clock\""), std::string::npos);
  EXPECT_EQ(text.find("\npx_intake_journal_bytes 0\n"), std::string::npos);
  EXPECT_NE(text.find("\npx_intake_journal_bytes "), std::string::npos);
  const auto now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const double start = std::atof(text.substr(text.find("\nprocess_start_time_seconds ") + 28).c_str());
  EXPECT_LE(start, now);
  EXPECT_GT(start, now - 3600);

  if (std::system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool not installed";
  dir.Write("m.txt", text.substr(1));
  EXPECT_EQ(std::system(("promtool check metrics < " + dir.File("m.txt") + " >/dev/null 2>&1").c_str()), 0) << text;
}

}  // namespace
}  // namespace px
