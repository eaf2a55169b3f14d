#pragma once
// A transaction store on a real database (SQLite, and PostgreSQL when one is
// at hand), with a fake engine and client protocol and a manual clock.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "clientserver/ClientApi.h"
#include "common/DateTime.h"
#include "common/Format.h"
#include "engine/NullEngine.h"
#include "monitor/TransOnlineForm.h"
#include "platform/Sql.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"
#include "service/ServiceDb.h"
#include "service/Settings.h"
#include "service/TransStore.h"
#include "support/DbTestEnv.h"
#include "support/TestSupport.h"

namespace px::test {

// Hands out the lines it is given; answers status requests from a table.
class FakeEngine : public NullEngine {
public:
  std::deque<std::string> lines;
  std::deque<std::uint64_t> seqs;  // the lines' journal numbers, when given
  std::map<std::string, std::string> status;  // request -> answer
  std::vector<std::string> statusAsked;
  std::vector<bool> holds;
  void HoldRecords(bool hold) override { holds.push_back(hold); }

  using IEngine::GetNextTransaction;
  int GetNextTransaction(std::string& line, std::uint64_t& seq) override {
    seq = 0;
    if (lines.empty()) return 1;
    line = lines.front();
    lines.pop_front();
    if (!seqs.empty()) {
      seq = seqs.front();
      seqs.pop_front();
    }
    return 0;
  }
  int GetDoorStatus(std::string& text) override {
    statusAsked.push_back(text);
    auto it = status.find(text);
    if (it == status.end()) return 1;
    text = it->second;
    return 0;
  }
  void QueueForRawWrite(const std::string&) override {}
};

class FakeClient : public IClientProtocol {
public:
  std::string lastId;
  std::vector<std::pair<std::string, std::string>> replies;
  void PutReplyByID(const std::string& id, const std::string& reply) override { replies.emplace_back(id, reply); }
  std::string LastCommandID() const override { return lastId; }
  bool RunCommCommand(const std::string&, int, int, const std::string&, const std::string&, std::string&) override {
    return false;
  }
  int Queue_GetCommand(std::string&) override { return 1; }
  int Queue_ExecCommand(const std::string&) override { return 1; }
};

// "ddmmhhmm" + card + code.
inline std::string Rec(int day, int month, int hour, int minute, const std::string& card, char code) {
  return Format("%2.2d%2.2d%2.2d%2.2d%6s%c", day, month, hour, minute, card.c_str(), code);
}

class StoreTest : public DbTest {
protected:
  void SetUp() override {
    DbTest::SetUp();
    Db().CreateSchema("OstrPro");
    Db().CreateSchema("OstrTimeSQL");
    settings.AppDir = Db().Dir().Path() + "/";
    settings.DbOstrPro = settings.DbOstrTimeSQL = Db().ConnectionString();
    clock = std::make_shared<ManualClock>(DateTime{2027, 1, 2, 10, 20, 30, 456});
    db = std::make_unique<ServiceDb>(settings, log, clock);
    ASSERT_TRUE(db->SQLDB_Connect(false));
    ASSERT_TRUE(db->Database2.Connected());
    registry = std::make_unique<ControllerRegistry>(settings, *db, log);
    ctx.settings = &settings;
    ctx.clock = clock;
    ctx.db = db.get();
    ctx.registry = registry.get();
    ctx.engine = &engine;
    ctx.client = &client;
    ctx.monitor = &monitor;
    MakeStore();
  }
  void TearDown() override {
    store.reset();
    registry.reset();
    db.reset();
    DbTest::TearDown();
  }
  // A new store object, as after a restart of the service.
  void MakeStore() {
    store.reset();
    store = std::make_unique<TTransStore>(ctx, log);
    // Replay counts per tick, however slow the disk.
    store->Writer().ReplayTimePerTick = std::chrono::minutes(1);
  }
  void AddCtrl(const std::string& tag, int point, const std::string& ipKey = "") {
    TCtrlRec r;
    r.TagName = tag;
    r.LogicalPoint = point;
    r.IPAddress = ipKey;
    registry->CtrlTable().Add(r);
    Db().Exec("insert into rdrmain (tag_name, logical_point, spare3, state) values(" + SqlQuote(tag) + "," +
              SqlQuote(std::to_string(point)) + "," + SqlQuote(ipKey) + ",'UP')");
    Db().Exec("insert into flrdet values(" + SqlQuote(tag) + ",'UP')");
  }
  void AddCard(const std::string& card, const std::string& staff, const std::string& name) {
    Db().Exec("insert into cards values(" + SqlQuote(card) + "," + SqlQuote(staff) + "," + SqlQuote(name) +
              ",'u1','u2','u3')");
  }
  // Rows in the order they were stored.
  std::vector<std::vector<std::string>> Rows(const std::string& table) {
    return Db().Query("select * from " + table + " order by " + (IsPostgres() ? "ctid" : "rowid")).rows;
  }
  std::string Count(const std::string& table) { return Db().Scalar("select count(*) from " + table); }
  // Makes every insert into `table` fail (for the rows matching `when`).
  void BlockInserts(const std::string& table, const std::string& when = "") {
    if (IsPostgres()) {
      Db().Exec("CREATE OR REPLACE FUNCTION px_block() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'down'; END $$ "
                "LANGUAGE plpgsql");
      Db().Exec("CREATE TRIGGER px_block_" + table + " BEFORE INSERT ON " + table + " FOR EACH ROW " +
                (when.empty() ? "" : "WHEN (" + when + ") ") + "EXECUTE FUNCTION px_block()");
    } else {
      Db().Exec("CREATE TRIGGER px_block_" + table + " BEFORE INSERT ON " + table + " " +
                (when.empty() ? "" : "WHEN " + when + " ") + "BEGIN SELECT RAISE(FAIL,'down'); END");
    }
  }
  void UnblockInserts(const std::string& table) {
    Db().Exec("DROP TRIGGER px_block_" + table + (IsPostgres() ? " ON " + table : ""));
  }
  // One Timer1 tick later.
  void Tick(int seconds = 10) {
    clock->Advance(std::chrono::seconds(seconds));
    store->CheckThCommTrans();
  }

  CaptureLog log;
  ServiceSettings settings;
  std::shared_ptr<ManualClock> clock;
  std::unique_ptr<ServiceDb> db;
  std::unique_ptr<ControllerRegistry> registry;
  FakeEngine engine;
  FakeClient client;
  TTransOnlineForm monitor;
  ServiceContext ctx;
  std::unique_ptr<TTransStore> store;
};

}  // namespace px::test
