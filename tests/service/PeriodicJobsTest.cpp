#include <gtest/gtest.h>

#include "clientserver/ClientApi.h"
#include "platform/Sql.h"
#include "service/AttendanceApi.h"
#include "service/FakeEngine.h"
#include "service/PeriodicJobs.h"
#include "service/Registry.h"
#include "service/ServiceDb.h"
#include "service/ServiceLog.h"
#include "service/TransStoreApi.h"
#include "support/DbTestEnv.h"
#include "support/TestSupport.h"
#include "zk/ZkApi.h"

using namespace px;

namespace {
struct FakeClient : IClientProtocol {
  std::vector<std::string> commands, replies;
  void PutReplyByID(const std::string& id, const std::string& r) override { replies.push_back(id + "=" + r); }
  std::string LastCommandID() const override { return {}; }
  bool RunCommCommand(const std::string& name, int bus, int unit, const std::string& ip, const std::string& params,
                      std::string& reply) override {
    commands.push_back(name + " " + std::to_string(bus) + "/" + std::to_string(unit) + " " + ip + " [" + params + "]");
    reply = "000000000";
    return true;
  }
  int Queue_GetCommand(std::string&) override { return 1; }
  int Queue_ExecCommand(const std::string&) override { return 1; }
};

struct FakeStore : ITransStore {
  std::vector<std::string> saved;
  int checks = 0;
  void CheckThCommTrans() override { ++checks; }
  void Save_Trans(const std::string& tag, const std::string& rec) override { saved.push_back(tag + ":" + rec); }
  void GetTranCodeFromTable() override {}
};

struct FakeZK : IZKModule {
  std::vector<ZkCommand> queue;
  std::vector<std::string> sent;
  bool sendResult = true;
  int style = 0;
  bool pollResult = false, pollSkipped = false;
  int polls = 0;
  bool SendQPut(const std::string&, const std::string&, std::string&, const std::string&, const std::string&,
                const std::string&, const std::string&, const std::string&) override {
    return true;
  }
  bool SendQGet(ZkCommand& c) override {
    if (queue.empty()) return false;
    c = queue.front();
    queue.erase(queue.begin());
    return true;
  }
  bool Send(const ZkCommand& c, int& value) override {
    sent.push_back(c.kind + ":" + std::to_string(value));
    if (c.kind == "INS") value = style;
    return sendResult;
  }
  bool GetTransactions(int, const std::string&, const std::string&, bool& skipped) override {
    ++polls;
    skipped = pollSkipped;
    return pollResult;
  }
  void SetMachineNumber(int) override {}
  void SetRedirectId(const std::string&) override {}
  bool UploadAll(const std::string&, int) override { return false; }
  bool UploadOne(const std::string&, int, const std::string&) override { return false; }
};

struct FakeArq : IAttendanceLib {
  std::vector<std::string> calls;
  void ARQInit() override {}
  void ARQProcess(const std::string& f, const std::string& t, const std::string& s) override {
    calls.push_back(f + "|" + t + "|" + s);
  }
  void ARQClose() override {}
};

struct JobsFixture : ::testing::TestWithParam<std::string> {
  test::TempDir dir;
  std::unique_ptr<test::TestDatabase> tdb;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(DateTime{2026, 6, 1, 2, 50, 0, 0});
  ServiceLog log{clock};
  ServiceSettings settings;
  std::unique_ptr<ServiceDb> db;
  std::unique_ptr<ControllerRegistry> reg;
  test::FakeEngine engine;
  FakeClient client;
  FakeStore store;
  FakeZK zk;
  FakeArq arq;
  ServiceContext ctx;
  std::unique_ptr<PeriodicJobs> jobs;

  void SetUp() override {
    settings.AppDir = dir.Path() + "/";
    tdb = std::make_unique<test::TestDatabase>(GetParam());
    settings.DbOstrPro = settings.DbOstrTimeSQL = tdb->ConnectionString();
    log.SetAppDir(settings.AppDir);
    log.SetDebug(31);
    db = std::make_unique<ServiceDb>(settings, log, clock);
    ASSERT_TRUE(db->SQLDB_Connect(true));
    reg = std::make_unique<ControllerRegistry>(settings, *db, log);
    reg->SetEngine(&engine);
    ctx.log = &log;
    ctx.settings = &settings;
    ctx.clock = clock;
    ctx.db = db.get();
    ctx.registry = reg.get();
    ctx.engine = &engine;
    ctx.client = &client;
    ctx.store = &store;
    ctx.zk = &zk;
    ctx.arq = &arq;
  }
  void AddRow(const std::string& tag, int point, const std::string& type, const std::string& ip = "") {
    db->RunSQL(db->Query1,
               "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values (" +
                   SqlQuote(tag) + "," + std::to_string(point) + "," + SqlQuote(ip) + "," + SqlQuote(type) +
                   ",'UP','Y')",
               false);
  }
  void Start() {
    ASSERT_TRUE(reg->StartUpComm());
    jobs = std::make_unique<PeriodicJobs>(ctx);
    jobs->StartClock(clock->LocalNow());
  }
  // One tick every 30 s of simulated time for `minutes` minutes.
  void RunMinutes(int minutes) {
    for (int i = 0; i < minutes * 2; ++i) {
      clock->Advance(std::chrono::seconds(30));
      jobs->RunTimer1Work();
    }
  }
  std::string LogText() { return test::ReadFile(log.LogFilePath()); }
};
}  // namespace

TEST_P(JobsFixture, DailyClockUpdateOncePerControllerExceptKXF7) {
  settings.DailyUpdateCtrlHHMM = "0300";
  AddRow("Door", 18, "KX4100");
  AddRow("Lift", 5, "KX6000", "192168001020");
  AddRow("F7", 6, "KXF7", "192168001021");
  AddRow("F18", 7, "KXF18", "192168001022");
  Start();
  RunMinutes(20);  // 02:50 .. 03:10
  ASSERT_EQ(client.commands.size(), 3u);
  EXPECT_EQ(client.commands[0], "DATTM 1/5 192.168.1.20 []");
  EXPECT_EQ(client.commands[1], "DATTM 1/7 192.168.1.22 []");
  EXPECT_EQ(client.commands[2], "DATTM 2/2  []");
  EXPECT_EQ(store.checks, 40);
}

TEST_P(JobsFixture, PeriodicUpdateCountsFromStartAndIgnoresTheDailyTime) {
  settings.DailyUpdateCtrlHHMM = "0300";
  settings.UpdateCtrlDTMin = 90;
  AddRow("Door", 1, "KX4100");
  Start();
  RunMinutes(200);  // 02:50 .. 06:10: due at 04:20 and 05:50 only
  ASSERT_EQ(client.commands.size(), 2u);
  EXPECT_NE(LogText().find("periodic (90) update ctrl date/time starts ..."), std::string::npos);
}

TEST_P(JobsFixture, NoDailyTimeMeansNoClockUpdates) {
  settings.UpdateCtrlDTMin = 90;
  AddRow("Door", 1, "KX4100");
  Start();
  RunMinutes(200);
  EXPECT_TRUE(client.commands.empty());
}

TEST_P(JobsFixture, ZkTerminalGoesDownOnceAndComesBackOnce) {
  settings.ZKEnable = true;
  settings.ZKSleepSec = 1;  // a poll every 5 ticks
  AddRow("F7A", 3, "KXF7", "192168001021");
  Start();
  auto ticks = [&](int n) {
    for (int i = 0; i < n; ++i) jobs->RunZKStep();
  };
  zk.pollSkipped = true;  // waiting out a retry: no failure counted
  ticks(5 * 7);
  EXPECT_TRUE(store.saved.empty());
  zk.pollSkipped = false;
  ticks(5 * 7);  // seven failed polls
  EXPECT_EQ(zk.polls, 14);
  ASSERT_EQ(store.saved.size(), 1u);
  EXPECT_EQ(store.saved[0].substr(0, 4), "F7A:");
  EXPECT_EQ(store.saved[0].back(), 'X');
  EXPECT_EQ(store.saved[0].size(), 4u + 15u);
  zk.pollResult = true;
  ticks(10);
  ASSERT_EQ(store.saved.size(), 2u);
  EXPECT_EQ(store.saved[1].back(), 'Y');
  std::string t = LogText();
  EXPECT_NE(t.find("F8/F18 DOWN X - F7A"), std::string::npos);
  EXPECT_NE(t.find("F8/F18 UP Y - F7A"), std::string::npos);
}

TEST_P(JobsFixture, QueuedZkCommandTakesTheTickAndIsAnswered) {
  settings.ZKEnable = true;
  settings.F18Ext = true;
  settings.ZKSleepSec = 0;
  AddRow("F18A", 3, "KXF18", "192168001021");
  Start();
  ZkCommand c;
  c.id = "101010101";
  c.kind = "INS";
  c.type = "KXF18";
  zk.style = 137;
  zk.queue.push_back(c);
  jobs->RunZKStep();
  EXPECT_EQ(zk.polls, 0);
  EXPECT_EQ(zk.sent, (std::vector<std::string>{"INS:0", "USR:137"}));
  EXPECT_EQ(client.replies, (std::vector<std::string>{"101010101=OK"}));
  zk.sendResult = false;
  c.id = "202020202";
  c.kind = "DTM";
  zk.queue.push_back(c);
  jobs->RunZKStep();
  EXPECT_EQ(client.replies.back(), "202020202=XX");
}

TEST_P(JobsFixture, ReprocessingWaitsForPendingIpCommands) {
  Start();
  for (int i = 0; i < 100; ++i) ctx.ReproList.push_back("2026053120260601S" + std::to_string(1000 + i) + "       ");
  engine.ipPending = true;
  for (int i = 0; i < 10; ++i) jobs->RunTimer2Work();
  EXPECT_TRUE(arq.calls.empty());
  EXPECT_EQ(ctx.ReproList.size(), 100u);
  engine.ipPending = false;
  jobs->RunTimer2Work();
  jobs->RunTimer2Work();
  ASSERT_EQ(arq.calls.size(), 2u);
  EXPECT_EQ(arq.calls[0], "20260531|20260601|S1000");
  EXPECT_EQ(ctx.ReproList.size(), 98u);
}

// A steady stream of clockings by the same staff must not grow the list:
// a request equal to one still waiting is covered by it.
TEST_P(JobsFixture, ReprocessingRequestsAreQueuedOnceWhileWaiting) {
  Start();
  test::CaptureLog depth;
  ctx.ReproList.SetLog(&depth);
  const std::string a = "2026053120260601S1000       ";
  for (int i = 0; i < 50; ++i) ctx.ReproList.push_back(a);
  ctx.ReproList.push_back("2026053120260601S1001       ");
  EXPECT_EQ(ctx.ReproList.size(), 2u);
  jobs->RunTimer2Work();
  EXPECT_TRUE(ctx.ReproList.push_back(a));  // handed over: a new row needs a new run
  EXPECT_EQ(ctx.ReproList.size(), 2u);
  for (int i = 0; i < 1000; ++i) ctx.ReproList.push_back("2026053120260601S" + std::to_string(2000 + i));
  EXPECT_EQ(depth.CountSubstr("Reprocessing list holds 1001 requests"), 1);
  ctx.ReproList.push_back("2026053120260601S9999");
  EXPECT_EQ(depth.CountSubstr("Reprocessing list holds"), 1);
  ctx.ReproList.SetLog(nullptr);
}

TEST_P(JobsFixture, LogNameRollsOverInTheFirstMinuteOfTheDay) {
  Start();
  clock->Set(DateTime{2026, 6, 30, 23, 59, 59, 0});
  log.RecomputeFileName();
  EXPECT_EQ(log.LogFileName(), "TRS_2606.log");
  clock->Set(DateTime{2026, 7, 1, 0, 0, 30, 0});
  jobs->RunTimer2Work();
  EXPECT_EQ(log.LogFileName(), "TRS_2607.log");
}

PX_INSTANTIATE_DB_TESTS(JobsFixture);
