// Database outages against a real PostgreSQL server, with the service
// running in this process on an injected clock so that the five-minute
// reconnect rule can be passed without waiting minutes.
#include <gtest/gtest.h>

#include <signal.h>

#include <ctime>
#include <thread>

#include "common/Format.h"
#include "ctrlsim/SerialSim.h"
#include "service/DefaultModules.h"
#include "service/ServiceModule.h"
#include "support/ChildProcess.h"
#include "support/DbTestEnv.h"
#include "support/TestSupport.h"

using namespace px;
using namespace std::chrono_literals;

namespace {

class PgOutage : public ::testing::Test {
protected:
  void SetUp() override {
    if (test::PgServerUri().empty()) GTEST_SKIP() << "no PostgreSQL server (PX_PG_URI)";
    main_ = std::make_unique<test::TestDatabase>("postgresql");
    arq_ = std::make_unique<test::TestDatabase>("postgresql");
    main_->CreateSchema("OstrPro");
    arq_->CreateSchema("OstrTimeSQL");
    for (int u = 1; u <= 4; ++u) {
      main_->Exec(Format("insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) "
                         "values ('Door%02d', %d, '', 'KX4100', 'UP', 'Y')",
                         u, u));
    }
    for (int c = 0; c < 200; ++c)
      main_->Exec(Format("insert into cards values ('%06d', 'S%06d', 'Holder', '', '', '')", 300000 + c,
                         300000 + c));
    sim::SerialSim::Options o;
    o.linkPath = dir_.File("ttySIM1");
    o.baud = 38400;
    bus_ = std::make_unique<sim::SerialSim>(bank_, o);
    ASSERT_TRUE(bus_->Start());
    bank_->EnableUnits({1, 2, 3, 4});
    dir_.Write("OstrPro.Ini", "[Comm Setting]\nCommPort=1\nBaudRate=38400\nSleepMsec=5\nQCheckInterval=20\n"
                              "[Ports]\nCOM1=" +
                                  dir_.File("ttySIM1") + "\n[Server]\nClientPort=0\n[Options]\nChronex_Link=1\n" +
                                  "[Database]\nOstrPro=" + main_->ConnectionString() +
                                  "\nOstrTimeSQL=" + arq_->ConnectionString() + "\n");
    // Today at 10:01: not a fifth minute, so no retry before the test says so.
    DateTime now = SystemClock().LocalNow();
    clock_ = std::make_shared<ManualClock>(DateTime{now.year, now.month, now.day, 10, 1, 0, 0});
    StartService();
    ASSERT_TRUE(test::WaitFor([&] { return Log().find("4: Door04") != std::string::npos; }, 20s)) << Log();
  }
  void StartService() {
    loop_ = std::make_unique<EventLoop>();
    svc_ = std::make_unique<TVANTPortexService>(*loop_, dir_.Path(), clock_, DefaultModules());
    loopThread_ = std::thread([this] { loop_->Run(); });
    svcThread_ = std::thread([this] {
      svc_->ServiceExecute();
      loop_->Stop();
    });
  }
  void StopService() {
    svc_->ServiceStop();
    svcThread_.join();
    loopThread_.join();
    svc_.reset();
    loop_.reset();
  }
  void TearDown() override {
    if (svc_) StopService();
    if (bus_) bus_->Stop();
  }

  std::string Log() { return test::ReadFile(dir_.File("TRS_" + FormatDateTime("yymm", clock_->LocalNow()) + ".log")); }
  long Rows(test::TestDatabase& db, const std::string& sql) {
    try {
      return std::stol(db.Scalar(sql));
    } catch (const std::exception&) {
      return -1;
    }
  }
  void Queue(int first, int count, char code = '0') {
    for (int i = first; i < first + count; ++i)
      bank_->Unit(i % 4 + 1).QueueTransaction(Format("%06d", 300000 + i), code, std::time(nullptr));
  }
  bool AllDelivered() {
    for (int u = 1; u <= 4; ++u)
      if (bank_->Unit(u).QueuedRecords() + bank_->Unit(u).UnconfirmedRecords() > 0) return false;
    return true;
  }
  void AtMinute(int minute) {
    DateTime t = clock_->LocalNow();
    t.minute = minute;
    clock_->Set(t);
  }

  test::TempDir dir_;
  std::unique_ptr<test::TestDatabase> main_, arq_;
  std::shared_ptr<sim::UnitBank> bank_ = std::make_shared<sim::UnitBank>();
  std::unique_ptr<sim::SerialSim> bus_;
  std::shared_ptr<ManualClock> clock_;
  std::unique_ptr<EventLoop> loop_;
  std::unique_ptr<TVANTPortexService> svc_;
  std::thread loopThread_, svcThread_;
};

}  // namespace

TEST_F(PgOutage, MainDatabaseDownThenBackWithinTheFiveMinuteRule) {
  Queue(0, 20);
  ASSERT_TRUE(test::WaitFor([&] { return Rows(*main_, "select count(*) from trans") == 20; }, 20s)) << Log();
  // The server goes away.
  main_->BlockConnections(true);
  main_->TerminateConnections();
  Queue(20, 60);
  ASSERT_TRUE(test::WaitFor([&] { return AllDelivered(); }, 30s)) << Log();
  ASSERT_TRUE(test::WaitFor([&] { return Log().find("Reconnect SQL.DB") != std::string::npos; }, 10s)) << Log();
  std::string log = Log();
  EXPECT_NE(log.find("READ FAILURE"), std::string::npos);
  EXPECT_NE(log.find("DB:"), std::string::npos);  // the immediate reconnect failed
  // Polling goes on during the outage.
  int qa = bank_->Unit(1).Received("QA");
  std::this_thread::sleep_for(500ms);
  EXPECT_GT(bank_->Unit(1).Received("QA"), qa);
  // Back, but not yet a fifth minute: nothing is retried.
  main_->BlockConnections(false);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Rows(*main_, "select count(*) from trans"), 20);
  AtMinute(5);
  ASSERT_TRUE(test::WaitFor([&] { return Rows(*main_, "select count(*) from trans") >= 80; }, 20s)) << Log();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Rows(*main_, "select count(*) from trans"), 80);
  EXPECT_EQ(Rows(*main_, "select count(distinct card_number) from trans"), 80);
  EXPECT_NE(Log().find("Reconnect: READ FAILURE"), std::string::npos);
}

TEST_F(PgOutage, AttendanceDatabaseAloneDown) {
  Queue(0, 8);
  ASSERT_TRUE(test::WaitFor([&] { return Rows(*arq_, "select count(*) from ot_tmclk") == 8; }, 20s)) << Log();
  arq_->BlockConnections(true);
  arq_->TerminateConnections();
  Queue(8, 40);
  // Transactions still reach trans while the attendance rows wait.
  ASSERT_TRUE(test::WaitFor([&] { return Rows(*main_, "select count(*) from trans") == 48; }, 30s)) << Log();
  EXPECT_EQ(Rows(*arq_, "select count(*) from ot_tmclk"), -1);  // refused while blocked
  arq_->BlockConnections(false);
  EXPECT_EQ(Rows(*arq_, "select count(*) from ot_tmclk"), 8);
  AtMinute(10);
  ASSERT_TRUE(test::WaitFor([&] { return Rows(*arq_, "select count(*) from ot_tmclk") >= 48; }, 20s)) << Log();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Rows(*arq_, "select count(*) from ot_tmclk"), 48);
  EXPECT_EQ(Rows(*main_, "select count(*) from trans"), 48);
}

TEST_F(PgOutage, AStatementErrorIsNotAConnectionLoss) {
  main_->Exec("drop table cards");
  Queue(0, 4);
  ASSERT_TRUE(test::WaitFor([&] { return Log().find("<RSQL>") != std::string::npos; }, 20s)) << Log();
  ASSERT_TRUE(test::WaitFor([&] { return AllDelivered(); }, 20s)) << Log();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Log().find("Reconnect SQL.DB"), std::string::npos);
  EXPECT_EQ(Log().find("READ FAILURE"), std::string::npos);
  // The transactions wait (their holders could not be looked up) and are
  // stored once the table is back.
  main_->Exec("create table cards (card_number text primary key, staff_number text, name text, user1 text, "
              "user2 text, user3 text)");
  AtMinute(2);  // past the replay's back-off (it runs on the service's clock)
  ASSERT_TRUE(test::WaitFor([&] { return Rows(*main_, "select count(*) from trans") == 4; }, 20s)) << Log();
}

TEST_F(PgOutage, AStopWithASilentServerEndsInTimeAndLosesNothing) {
  Queue(0, 20);
  ASSERT_TRUE(test::WaitFor([&] { return Rows(*main_, "select count(*) from trans") == 20; }, 20s)) << Log();
  // The server stops answering the service's sessions, as a hung machine
  // would: every statement waits out its 10 s and 5 s more.
  std::vector<int> pids;
  for (const auto& r : main_->Query("select pid from pg_stat_activity where usename = current_user and "
                                    "pid <> pg_backend_pid()")
                           .rows)
    pids.push_back(std::stoi(r[0]));
  ASSERT_FALSE(pids.empty());
  main_->BlockConnections(true);  // and a reconnect gets nowhere
  for (int p : pids) kill(p, SIGSTOP);
  Queue(20, 40);
  std::this_thread::sleep_for(1s);  // the stop comes while a statement waits
  const auto t0 = std::chrono::steady_clock::now();
  StopService();
  const auto took = std::chrono::steady_clock::now() - t0;
  for (int p : pids) kill(p, SIGCONT);
  main_->BlockConnections(false);
  EXPECT_LT(took, 25s);
  // The next start stores what the journal and the spool kept, once.
  StartService();
  ASSERT_TRUE(test::WaitFor([&] { return AllDelivered(); }, 30s)) << Log();
  ASSERT_TRUE(test::WaitFor([&] { return Rows(*main_, "select count(*) from trans") >= 60; }, 30s)) << Log();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Rows(*main_, "select count(*) from trans"), 60);
  EXPECT_EQ(Rows(*main_, "select count(distinct card_number) from trans"), 60);
}
