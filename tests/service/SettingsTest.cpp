#include <gtest/gtest.h>

#include <algorithm>

#include "platform/IniFile.h"
#include "service/Credentials.h"
#include "service/ServiceLog.h"
#include "service/Settings.h"
#include "support/TestSupport.h"

using namespace px;

namespace {
ServiceSettings Load(const std::string& ini, test::CaptureLog& log) {
  ServiceSettings s;
  s.Load(TIniFile::FromText(ini), log);
  return s;
}
}  // namespace

TEST(Settings, NoConfigurationGivesDefaults) {
  test::CaptureLog log;
  ServiceSettings s;
  s.Load(TIniFile("/nonexistent/OstrPro.Ini"), log);
  EXPECT_EQ(s.CommPort, 1);
  EXPECT_EQ(s.BaudRate, 2400);
  EXPECT_FALSE(s.ZKEnable);
  EXPECT_FALSE(s.RawEnable);
  EXPECT_FALSE(s.ChronexLink);
  EXPECT_EQ(s.QCheckInterval, 200);
  EXPECT_EQ(s.IPPort, 4001);
  EXPECT_EQ(s.DeviceDownCount, 5);
  EXPECT_EQ(s.ClientPort, 9011);
  EXPECT_EQ(s.DbOstrPro, "sqlite:OstrPro.db");
  EXPECT_EQ(s.DbOstrTimeSQL, "sqlite:OstrTimeSQL.db");
  EXPECT_EQ(s.BusPort[1], 1);
  EXPECT_EQ(s.BusPort[4], 4);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(Settings, Clamps) {
  test::CaptureLog log;
  EXPECT_EQ(Load("[Comm Setting]\nQCheckInterval=5\n", log).QCheckInterval, 20);
  EXPECT_EQ(Load("[Comm Setting]\nQCheckInterval=0x64\n", log).QCheckInterval, 100);
}

TEST(Settings, CommPortListForms) {
  int p[9] = {};
  ServiceSettings::ParseCommPortList("1234", p);
  EXPECT_EQ((std::vector<int>{p[1], p[2], p[3], p[4]}), (std::vector<int>{1, 2, 3, 4}));
  int q[9] = {};
  ServiceSettings::ParseCommPortList("0305", q);
  EXPECT_EQ((std::vector<int>{q[1], q[2], q[3], q[4]}), (std::vector<int>{0, 3, 0, 5}));
  int r[9] = {};
  ServiceSettings::ParseCommPortList("01020304", r);
  EXPECT_EQ((std::vector<int>{r[1], r[2], r[3], r[4], r[5], r[8]}), (std::vector<int>{1, 2, 3, 4, 0, 0}));
  int s[9] = {};
  ServiceSettings::ParseCommPortList("0102030405060708", s);
  for (int b = 1; b <= 8; ++b) EXPECT_EQ(s[b], b);
}

TEST(Settings, ShortCommPortListIsLoggedAndStartUpGoesOn) {
  test::CaptureLog log;
  auto s = Load("[Comm Setting]\nMultiCommSupport=1\nCommPortList=12\nBaudRate=9600\n[Server]\nUpdateCtrlDTMin=10\n", log);
  EXPECT_EQ(s.BusPort[1], 1);
  EXPECT_EQ(s.BusPort[2], 2);
  EXPECT_EQ(log.CountSubstr("<SerExec>"), 1);
  EXPECT_EQ(log.CountSubstr("MultiCommSupport=True"), 0);
  EXPECT_EQ(s.UpdateCtrlDTMin, 10);  // read after the failure (the 60 clamp is applied at start)
  EXPECT_EQ(s.BaudRate, 9600);
}

TEST(Settings, MultiCommSupportLogsBusPorts) {
  test::CaptureLog log;
  Load("[Comm Setting]\nMultiCommSupport=1\nCommPortList=0102030405060708\n", log);
  EXPECT_TRUE(log.Has("MultiCommSupport=True, Bus1=COM1  Bus2=COM2  Bus3=COM3  Bus4=COM4"));
  EXPECT_TRUE(log.Has("Bus5=COM5  Bus6=COM6  Bus7=COM7  Bus8=COM8"));
}

TEST(Settings, RawFormatAndOptionMessages) {
  test::CaptureLog log;
  auto s = Load(
      "[Raw Format]\nEnable=1\nFolder=/tmp/raw\nFilename=att,yymmdd,csv\nFields=STF,SPC,DAT\nFormats=,,yyyymmdd\n"
      "[ZKFP]\nAlg10=1\nF18Ext=1\nFingerOrCard=1\n[Options]\nNoOTFRepro=1\n",
      log);
  EXPECT_EQ(s.Raw.Folder, "/tmp/raw/");
  EXPECT_EQ(s.Raw.FilePrefix, "att");
  EXPECT_EQ(s.Raw.FileDateFormat, "yymmdd");
  EXPECT_EQ(s.Raw.FileExt, "csv");
  EXPECT_EQ(s.Raw.FieldList, (std::vector<std::string>{"STF", "SPC", "DAT"}));
  EXPECT_EQ(s.Raw.FormatList, (std::vector<std::string>{"", "", "yyyymmdd"}));
  for (auto* t : {"Algo 10 is set", "No OTF TMS Reprocessing", "F18Ext is ON", "FingerOrCard = true"})
    EXPECT_TRUE(log.Has(t)) << t;
}

TEST(ServiceLog, LevelRuleAndMonthlyFile) {
  test::TempDir dir;
  auto clock = std::make_shared<ManualClock>(DateTime{2026, 1, 15, 10, 20, 30, 0});
  ServiceLog log(clock);
  log.SetAppDir(dir.Path() + "/");
  EXPECT_EQ(log.LogFileName(), "TRS_2601.log");
  struct Case {
    int debug;
    std::vector<int> written;
  };
  for (const Case& c : {Case{0, {999}}, Case{11, {0, 10, 999}}, Case{21, {0, 10, 20, 21, 999}},
                        Case{22, {0, 10, 20, 999}}, Case{31, {0, 10, 20, 30, 999}}}) {
    std::remove(dir.File("TRS_2601.log").c_str());
    log.SetDebug(c.debug);
    for (int level : {0, 10, 20, 21, 30, 999}) log.WriteLog(level, "L" + std::to_string(level));
    std::string expect;
    for (int l : c.written) expect += "15/01/2026 10:20:30 L" + std::to_string(l) + "\n";
    EXPECT_EQ(dir.Read("TRS_2601.log"), expect) << "Debug=" << c.debug;
  }
}

TEST(ServiceLog, OnlyALostDatabaseStartsAReconnectAndNoTextForgesALine) {
  test::TempDir dir;
  auto clock = std::make_shared<ManualClock>(DateTime{2026, 3, 1, 0, 0, 0, 0});
  ServiceLog log(clock);
  log.SetAppDir(dir.Path() + "/");
  int reconnects = 0;
  log.OnReadFailure = [&] {
    ++reconnects;
    log.WriteLog(999, "DB: still READ FAILURE");  // a failing reconnect must not recurse
  };
  // Client text (a controller ID of an EOT job) is not a database failure.
  log.WriteLog(999, "Server.UploadTemp - READ FAILURE is not Master Unit ()");
  EXPECT_EQ(reconnects, 0);
  log.NoteConnectionLost();
  log.WriteLog(10, "read failure at level 10 is ignored");
  log.WriteLog(999, "<RSQL>Network Read Failure");
  EXPECT_EQ(reconnects, 1);
  log.WriteLog(999, "<RSQL>Network Read Failure");
  EXPECT_EQ(reconnects, 1);
  log.WriteLog(999, "tag\r\n01/03/2026 00:00:00 --- PXS Started 1.0.0.18g ---");
  std::string text = dir.Read("TRS_2603.log");
  EXPECT_NE(text.find("01/03/2026 00:00:00 Reconnect SQL.DB\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" tag\\r\\n01/03/2026 00:00:00 --- PXS"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6);
}

TEST(Credentials, DecodesTheStoredRecord) {
  test::TempDir dir;
  for (unsigned char key : {0, 7, 200, 255}) {
    dir.Write("OstrPro.tab", EncodeCredentials("sa", "Secret1", key));
    auto c = ReadCredentialsFile(dir.File("OstrPro.tab"));
    EXPECT_TRUE(c.hasUser);
    EXPECT_EQ(c.user, "sa");
    EXPECT_TRUE(c.hasPassword);
    EXPECT_EQ(c.password, "Secret1");
  }
  // Hand-built record: key 3, user "ab": offsets 3i+k-1 = 5, 8; bytes (c - k - i).
  std::string rec(1024, '\0');
  rec[1] = 3;
  rec[5] = static_cast<char>('a' - 3 - 1);
  rec[8] = static_cast<char>('b' - 3 - 2);
  auto c = DecodeCredentials(rec);
  EXPECT_EQ(c.user, "ab");
  EXPECT_FALSE(c.hasPassword);
  auto none = ReadCredentialsFile(dir.File("missing.tab"));
  EXPECT_FALSE(none.hasUser);
}
