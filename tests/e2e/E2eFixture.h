#pragma once
// The real program against simulated controllers: portexd runs as a child
// process on a temporary program folder with SQLite databases, and the
// controller simulator runs in the test on a pseudo-terminal.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "common/DateTime.h"
#include "ctrlsim/SerialSim.h"
#include "ctrlsim/UnitBank.h"
#include "platform/Database.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace px::test {

class E2eFixture : public ::testing::Test {
protected:
  TempDir dir;
  std::shared_ptr<sim::UnitBank> bank = std::make_shared<sim::UnitBank>();
  std::unique_ptr<sim::SerialSim> bus;
  std::unique_ptr<ChildProcess> server;

  void SetUp() override {
    sim::SerialSim::Options o;
    o.linkPath = dir.File("ttySIM1");
    o.baud = 38400;
    bus = std::make_unique<sim::SerialSim>(bank, o);
    std::string err;
    ASSERT_TRUE(bus->Start(&err)) << err;
  }
  void TearDown() override {
    StopServer();
    bus->Stop();
  }

  // The configuration of a fast installation on the simulator's bus.
  void WriteConfig(const std::string& extra = "") {
    dir.Write("OstrPro.Ini", "[Comm Setting]\nCommPort=1\nBaudRate=38400\nSleepMsec=5\nQCheckInterval=20\n"
                             "[Ports]\nCOM1=" +
                                 dir.File("ttySIM1") +
                                 "\n[Server]\nClientPort=0\n[Web]\nPort=0\n[Options]\nDebug=1\nChronex_Link=1\n" + extra);
  }

  TDatabase& Db() {
    if (!db_) {
      db_ = std::make_unique<TDatabase>([this](const std::string& a) {
        return "sqlite:" + dir.File(a == "OstrTimeSQL" ? "OstrTimeSQL.db" : "OstrPro.db");
      }, "");
      db_->AliasName = "OstrPro";
      db_->Open();
    }
    return *db_;
  }
  TDatabase& ArqDb() {
    if (!arq_) {
      arq_ = std::make_unique<TDatabase>([this](const std::string&) { return "sqlite:" + dir.File("OstrTimeSQL.db"); },
                                         "");
      arq_->AliasName = "OstrTimeSQL";
      arq_->Open();
    }
    return *arq_;
  }
  void Exec(TDatabase& db, const std::string& sql) {
    TQuery q(&db);
    q.SQL = sql;
    q.ExecSQL();
  }
  DbRows Query(TDatabase& db, const std::string& sql) {
    TQuery q(&db);
    q.SQL = sql;
    q.Open();
    return q.Rows();
  }
  long Count(TDatabase& db, const std::string& sql) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      try {
        auto r = Query(db, sql);
        return r.rows.empty() ? 0 : std::stol(r.rows[0][0]);
      } catch (const std::exception&) {  // busy while the server writes
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    return -1;
  }

  void StartServer() {
    server = std::make_unique<ChildProcess>();
    ASSERT_TRUE(server->Start({std::string(PX_BINARY_DIR) + "/bin/portexd", "--appdir", dir.Path()},
                              dir.File("portexd.out")));
  }
  void StopServer() {
    if (!server) return;
    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(std::chrono::seconds(20)), 0) << LogText();
    server.reset();
  }
  std::string LogPath() const { return dir.File("TRS_" + FormatDateTime("yymm", SystemClock().LocalNow()) + ".log"); }
  std::string LogText() const { return ReadFile(LogPath()); }
  int LogCount(const std::string& text) const {
    std::string t = LogText();
    int n = 0;
    for (size_t p = 0; (p = t.find(text, p)) != std::string::npos; p += text.size()) ++n;
    return n;
  }

private:
  std::unique_ptr<TDatabase> db_, arq_;
};

}  // namespace px::test
