// The real program, started as an installer would start it.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "common/DateTime.h"
#include "platform/Database.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

using namespace px;
using namespace std::chrono_literals;

namespace {
const std::string kPortexd = std::string(PX_BINARY_DIR) + "/bin/portexd";

std::string LogPath(const test::TempDir& dir) {
  return dir.File("TRS_" + FormatDateTime("yymm", SystemClock().LocalNow()) + ".log");
}

void Seed(const std::string& dbFile) {
  TDatabase db([&](const std::string&) { return "sqlite:" + dbFile; }, "");
  db.AliasName = "OstrPro";
  db.Open();
  TQuery q(&db);
  for (const char* sql :
       {"insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values "
        "('FrontDoor','1','','KX4100','UP','Y')",
        "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values "
        "('Gate','17','','KX4100','UP','Y')",
        "insert into trcode values('0','Normal In')", "insert into trcode values('9','Normal Out')"}) {
    q.SQL = sql;
    q.ExecSQL();
  }
}
}  // namespace

TEST(Portexd, StartsStoresItsAddressAndStopsCleanly) {
  test::TempDir dir;
  Seed(dir.File("OstrPro.db"));
  dir.Write("OstrPro.Ini", "[Comm Setting]\nCommPort=1\n[Server]\nClientPort=0\n");
  test::ChildProcess p;
  ASSERT_TRUE(p.Start({kPortexd, "--appdir", dir.Path()}, dir.File("out.txt")));
  std::string log = LogPath(dir);
  ASSERT_TRUE(test::WaitFor([&] { return test::FileContains(log, "2: Gate KX4100 17 "); }, 10s))
      << test::ReadFile(log) << test::ReadFile(dir.File("out.txt"));
  EXPECT_TRUE(test::FileContains(log, "--- PXS Started 1.0.0.18g ---"));
  EXPECT_TRUE(test::FileContains(log, "DB Open - OK"));
  EXPECT_TRUE(test::FileContains(log, "TMSDB Open - OK"));
  EXPECT_TRUE(test::FileContains(log, "1: FrontDoor KX4100 1 "));
  // The server's address row is published for client programs.
  ASSERT_TRUE(test::WaitFor(
      [&] {
        try {
          TDatabase db([&](const std::string&) { return "sqlite:" + dir.File("OstrPro.db"); }, "");
          db.AliasName = "OstrPro";
          db.Open();
          TQuery q(&db);
          q.SQL = "select i_value from ox_ini where i_user='-' and i_group='Server' and i_entry='IPAddress'";
          q.Open();
          return q.RecordCount() == 1;
        } catch (...) {
          return false;
        }
      },
      10s));
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(10s), 0);
  std::string text = test::ReadFile(log);
  auto stopped = text.find("Svc.Stopped"), ended = text.find("--- SExec.Ended ---"),
       destroyed = text.find("Svc.Destroyed");
  ASSERT_NE(stopped, std::string::npos) << text;
  ASSERT_NE(ended, std::string::npos) << text;
  ASSERT_NE(destroyed, std::string::npos) << text;
  EXPECT_LT(stopped, ended);
  EXPECT_LT(ended, destroyed);
}

TEST(Portexd, WaitsForADatabaseThatIsNotThereYet) {
  test::TempDir dir;
  dir.Write("OstrPro.Ini", "[Database]\nOstrPro=sqlite:later/OstrPro.db\nOstrTimeSQL=sqlite:later/Time.db\n"
                           "[Server]\nClientPort=0\n");
  test::ChildProcess p;
  ASSERT_TRUE(p.Start({kPortexd, "--appdir", dir.Path()}, dir.File("out.txt")));
  std::string log = LogPath(dir);
  // Each 200 ms tick retries the start-up.
  ASSERT_TRUE(test::WaitFor([&] { return test::ReadFile(log).find("DB:") != std::string::npos; }, 10s));
  ASSERT_TRUE(test::WaitFor(
      [&] {
        std::string t = test::ReadFile(log);
        size_t n = 0;
        for (size_t pos = 0; (pos = t.find("DB:", pos)) != std::string::npos; ++pos) ++n;
        return n >= 3;
      },
      10s));
  EXPECT_TRUE(p.Running());
  std::filesystem::create_directory(dir.File("later"));
  Seed(dir.File("later/OstrPro.db"));
  ASSERT_TRUE(test::WaitFor([&] { return test::FileContains(log, "2: Gate KX4100 17 "); }, 10s))
      << test::ReadFile(log);
  EXPECT_TRUE(test::FileContains(log, "DB Open - OK"));
  p.Signal(SIGINT);
  EXPECT_EQ(p.Wait(10s), 0);
  EXPECT_TRUE(test::FileContains(log, "--- SExec.Ended ---"));
}

TEST(Portexd, CommandLine) {
  test::TempDir dir;
  test::ChildProcess bad;
  ASSERT_TRUE(bad.Start({kPortexd, "--bogus"}, dir.File("bad.txt")));
  EXPECT_EQ(bad.Wait(5s), 2);
  EXPECT_TRUE(test::FileContains(dir.File("bad.txt"), "unknown option '--bogus'"));
  test::ChildProcess missing;
  ASSERT_TRUE(missing.Start({kPortexd, "--appdir"}, dir.File("missing.txt")));
  EXPECT_EQ(missing.Wait(5s), 2);
  // A program folder with a blank and a "%" (a systemd specifier) in its name.
  const std::string appDir = dir.Path() + "/my dir%n";
  std::filesystem::create_directory(appDir);
  test::ChildProcess install;
  ASSERT_TRUE(install.Start({kPortexd, "--appdir", appDir, "--install", "--unit-dir", dir.Path()},
                            dir.File("install.txt")));
  EXPECT_EQ(install.Wait(5s), 0);
  std::string unit = dir.Read("VANTPortexService.service");
  EXPECT_NE(unit.find("Description=VANT Portex Server Service.\n"), std::string::npos);
  const std::string quotedDir = dir.Path() + "/my dir%%n/";
  EXPECT_NE(unit.find("\nExecStart=\"" + std::filesystem::canonical(kPortexd).string() + "\" --appdir \"" +
                      quotedDir + "\"\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nWorkingDirectory=" + quotedDir + "\n"), std::string::npos) << unit;
  EXPECT_TRUE(test::FileContains(dir.File("install.txt"), dir.Path() + "/VANTPortexService.service"));
  test::ChildProcess init;
  ASSERT_TRUE(init.Start({kPortexd, "--appdir", dir.Path(), "--init-db"}, dir.File("init.txt")));
  EXPECT_EQ(init.Wait(10s), 0);
  EXPECT_TRUE(dir.Exists("OstrPro.db"));
  EXPECT_TRUE(dir.Exists("OstrTimeSQL.db"));
}
