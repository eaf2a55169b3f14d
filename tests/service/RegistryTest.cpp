#include <gtest/gtest.h>

#include "platform/Sql.h"
#include "service/FakeEngine.h"
#include "service/Registry.h"
#include "service/ServiceDb.h"
#include "support/DbTestEnv.h"
#include "support/TestSupport.h"

using namespace px;

namespace {
struct RegistryFixture : ::testing::TestWithParam<std::string> {
  test::TempDir dir;
  std::unique_ptr<test::TestDatabase> tdb;
  test::CaptureLog log;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(DateTime{2026, 5, 4, 10, 0, 0, 0});
  ServiceSettings settings;
  std::unique_ptr<ServiceDb> db;
  std::unique_ptr<ControllerRegistry> reg;
  test::FakeEngine engine;

  void SetUp() override {
    settings.AppDir = dir.Path() + "/";
    tdb = std::make_unique<test::TestDatabase>(GetParam());
    settings.DbOstrPro = settings.DbOstrTimeSQL = tdb->ConnectionString();
    db = std::make_unique<ServiceDb>(settings, log, clock);
    ASSERT_TRUE(db->SQLDB_Connect(true));
    reg = std::make_unique<ControllerRegistry>(settings, *db, log);
    reg->SetEngine(&engine);
  }
  void Row(const std::string& tag, const std::string& point, const std::string& type, const std::string& spare3 = "",
           const std::string& state = "UP", const std::string& active = "Y") {
    ASSERT_TRUE(db->RunSQL(db->Query1,
                           "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) "
                           "values (" +
                               SqlQuote(tag) + "," + SqlQuote(point) + "," + SqlQuote(spare3) + "," + SqlQuote(type) +
                               "," + SqlQuote(state) + "," + SqlQuote(active) + ")",
                           false))
        << log.Dump();
  }
  std::string Scalar(const std::string& sql) {
    db->RunSQL(db->Query1, sql, true);
    std::string v = db->Query1.Rows().rows.empty() ? "" : db->Query1.Rows().rows[0][0];
    db->Query1.Close();
    return v;
  }
};
}  // namespace

TEST_P(RegistryFixture, SerialRowsOpenEachBusOnceAndEnableUnits) {
  Row("D16", "16", "KX4100");
  Row("D17", "17", "KX4100");
  Row("D18", "18", "KX4100", "", "UP", "N");
  Row("D128", "128", "KX4100");
  ASSERT_TRUE(reg->StartUpComm());
  ASSERT_EQ(engine.spawns.size(), 3u);  // buses 1, 2, 8, in logical-point order
  EXPECT_EQ(engine.spawns[0].bus, 1);
  EXPECT_EQ(engine.spawns[1].bus, 2);
  EXPECT_EQ(engine.spawns[2].bus, 8);
  EXPECT_EQ(engine.spawns[0].baud, 2400);
  EXPECT_EQ(engine.spawns[0].com, 1);
  ASSERT_EQ(engine.enables.size(), 4u);
  auto find = [&](int bus, int unit) {
    for (auto& e : engine.enables)
      if (e.bus == bus && e.unit == unit) return &e;
    return static_cast<test::FakeEngine::Enable*>(nullptr);
  };
  ASSERT_TRUE(find(1, 16));
  ASSERT_TRUE(find(2, 1));
  ASSERT_TRUE(find(2, 2));
  EXPECT_FALSE(find(2, 2)->on);
  ASSERT_TRUE(find(8, 16));
  EXPECT_TRUE(log.Has("SRCtrl: B=1 U=16 Active=true"));
  EXPECT_EQ(reg->CtrlTable().Count(), 4);
  EXPECT_TRUE(log.Has("1: D16 KX4100 16 "));
}

TEST_P(RegistryFixture, FailedBusOpenIsRetriedByTheNextRowOfThatBus) {
  Row("A", "1", "KX4100");
  Row("B", "2", "KX4100");
  engine.failSpawn = true;
  ASSERT_TRUE(reg->StartUpComm());
  EXPECT_EQ(engine.spawns.size(), 2u);
  EXPECT_EQ(engine.enables.size(), 2u);
}

TEST_P(RegistryFixture, PointsOutsideTheBusesAreSkipped) {
  Row("Zero", "0", "KX4100");
  Row("Big", "129", "KX4100");
  ASSERT_TRUE(reg->StartUpComm());
  EXPECT_TRUE(engine.spawns.empty());
  EXPECT_EQ(log.CountSubstr("is outside 1..128"), 2);
  EXPECT_EQ(reg->CtrlTable().Count(), 2);
}

TEST_P(RegistryFixture, IpAndZkRows) {
  Row("IP1", "3", "KX6000", "192168001020", "DOWN");
  Row("ZK1", "4", "KXF18", "010000000005");
  ASSERT_TRUE(reg->StartUpComm());
  ASSERT_EQ(engine.ipSpawns.size(), 1u);
  EXPECT_EQ(engine.ipSpawns[0].ip, "192.168.1.20");
  EXPECT_TRUE(engine.ipSpawns[0].wasDown);
  EXPECT_EQ(engine.ipSpawns[0].unit, 3);
  EXPECT_EQ(engine.ipSpawns[0].port, 4001);
  // ZK off: the terminal is only a table row.
  EXPECT_TRUE(reg->ZKList().empty());
  EXPECT_EQ(reg->CtrlTable().Count(), 2);
  EXPECT_EQ(reg->LookupTag("192168001020", 3), "IP1");
  EXPECT_EQ(reg->LookupTag("", 3), "");
}

TEST_P(RegistryFixture, ZkDownCounting) {
  settings.ZKEnable = true;
  Row("ZK1", "4", "KXF7", "010000000005");
  ASSERT_TRUE(reg->StartUpComm());
  ASSERT_EQ(reg->ZKList().size(), 1u);
  for (int i = 1; i <= 4; ++i) EXPECT_FALSE(reg->IncDeviceDownCount("ZK1")) << i;
  EXPECT_TRUE(reg->IncDeviceDownCount("ZK1"));
  EXPECT_FALSE(reg->IncDeviceDownCount("ZK1"));
  EXPECT_TRUE(reg->ClearDeviceDownCount("ZK1"));
  EXPECT_FALSE(reg->ClearDeviceDownCount("ZK1"));
  int point;
  std::string tag, ip;
  EXPECT_TRUE(reg->GetNextKXF7(point, tag, ip));
  reg->SetNoPoll("ZK1", true);
  EXPECT_TRUE(reg->IsNoPoll("ZK1"));
  EXPECT_FALSE(reg->GetNextKXF7(point, tag, ip));
}

TEST_P(RegistryFixture, GetNextCtrlWraps) {
  int point;
  std::string tag, ip;
  EXPECT_FALSE(reg->GetNextCtrl(point, tag, ip));
  Row("A", "1", "KX4100");
  Row("B", "2", "KX4100");
  Row("C", "3", "KX4100");
  ASSERT_TRUE(reg->StartUpComm());
  std::string seq;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(reg->GetNextCtrl(point, tag, ip));
    seq += tag;
  }
  EXPECT_EQ(seq, "ABCA");
}

TEST_P(RegistryFixture, StatusAndAddress) {
  Row("A", "21", "KX4100");
  Row("B", "5", "KX6000", "192168001020");
  ASSERT_TRUE(reg->StartUpComm());
  std::string st;
  EXPECT_TRUE(reg->GetCtrlStatus("A", st));
  EXPECT_EQ(st, "000000");
  EXPECT_FALSE(reg->SetCtrlStatus("A", "12345"));
  EXPECT_TRUE(reg->SetCtrlStatus("A", "1F0003"));
  EXPECT_TRUE(reg->GetCtrlStatus("A", st));
  EXPECT_EQ(st, "1F0003");
  EXPECT_FALSE(reg->GetCtrlStatus("nobody", st));
  std::string type, addr;
  reg->GetCtrlAddress("B", type, addr);
  EXPECT_EQ(type, "KX6000");
  EXPECT_EQ(addr, "0005192168001020");
  reg->GetCtrlAddress("A", type, addr);
  EXPECT_EQ(addr, "0021            ");
  EXPECT_EQ(reg->GetCtrlSpare("A"), "");
}

TEST_P(RegistryFixture, DeviceStateAndApostrophes) {
  Row("O'Brien", "1", "KX4100");
  ASSERT_TRUE(db->RunSQL(db->Query1, "insert into flrdet values('O''Brien','UP')", false));
  ASSERT_TRUE(reg->StartUpComm());
  reg->SetDeviceState("O'Brien", "DOWN");
  EXPECT_EQ(Scalar("select state from rdrmain where tag_name='O''Brien'"), "DOWN");
  EXPECT_EQ(Scalar("select state from flrdet where point_tag='O''Brien'"), "DOWN");
  EXPECT_EQ(log.CountSubstr("<RSQL>"), 0);
}

TEST_P(RegistryFixture, IoTagInfo) {
  Row("DOOR1", "7", "KX4100");
  ASSERT_TRUE(db->RunSQL(db->Query1, "insert into outputs values('OUT1','DOOR1','Siren')", false));
  EXPECT_EQ(reg->GetIOTagInfo(kOutputPointTable, "OUT1"), "0007");
  EXPECT_EQ(reg->GetIOTagInfo(kOutputPointTable, "NONE"), "");
  EXPECT_EQ(reg->GetIOTagInfo(kInputPointTable, "OUT1"), "");
}

TEST_P(RegistryFixture, OxIniWriteUpdatesTheOneRow) {
  db->DBIni_Write("-", "Server", "IPAddress", "10.0.0.1");
  db->DBIni_Write("-", "Server", "IPAddress", "10.0.0.2");
  EXPECT_EQ(Scalar("select count(*) from ox_ini"), "1");
  EXPECT_EQ(Scalar("select i_value from ox_ini where i_entry='IPAddress'"), "10.0.0.2");
  // A select that fails (here: its columns are not there) must not insert.
  ASSERT_TRUE(db->RunSQL(db->Query1, "drop table ox_ini", false));
  ASSERT_TRUE(db->RunSQL(db->Query1, "create table ox_ini (u varchar(20), g varchar(20), e varchar(40), v varchar(80))",
                         false));
  db->DBIni_Write("-", "Server", "IPAddress", "10.0.0.3");
  EXPECT_EQ(Scalar("select count(*) from ox_ini"), "0");
}

TEST_P(RegistryFixture, StatementErrorsAreLoggedAndReportedFalse) {
  EXPECT_FALSE(db->RunSQL(db->Query1, "select * from no_such_table", true));
  EXPECT_EQ(log.CountSubstr("<RSQL>"), 1);
  EXPECT_FALSE(log.HasSubstr("READ FAILURE"));
}

PX_INSTANTIATE_DB_TESTS(RegistryFixture);
