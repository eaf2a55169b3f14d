#pragma once
// The terminal module over a real database with scripted terminals.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "platform/Sql.h"
#include "support/DbTestEnv.h"
#include "support/TestSupport.h"
#include "zk/FakeZkem.h"
#include "zk/ZKF7Form.h"

namespace px::test {

class RecordingHost : public IZkHost {
public:
  explicit RecordingHost(TestDatabase& db) : db_(db) {}
  std::vector<std::string> saved, raw, done, audit, states, noPoll;
  bool Select(const std::string& sql, DbRows& rows) override {
    try {
      rows = db_.Query(sql);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }
  bool Exec(const std::string& sql) override {
    try {
      db_.Exec(sql);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }
  void Save_Trans(const std::string& tag, const std::string& r) override { saved.push_back(tag + "|" + r); }
  void SetDeviceState(const std::string& tag, const std::string& s) override { states.push_back(tag + "=" + s); }
  void SetNoPoll(const std::string& tag, bool f) override { noPoll.push_back(tag + (f ? "=Y" : "=N")); }
  void QueueForRawWrite(const std::string& l) override { raw.push_back(l); }
  void Queue_PutDone(const std::string& e) override { done.push_back(e); }
  void WriteToAuditTrail(const std::string& a, const std::string& d) override { audit.push_back(a + ":" + d); }
  // With a journal: the lines stored from it, with their numbers, consumed.
  IIntakeJournal* journal = nullptr;
  std::vector<std::pair<IIntakeJournal::Seq, std::string>> journaled;
  IIntakeJournal* Journal() override { return journal; }
  void StoreJournaled(const std::vector<std::pair<IIntakeJournal::Seq, std::string>>& lines) override {
    journaled.insert(journaled.end(), lines.begin(), lines.end());
    IZkHost::StoreJournaled(lines);
    for (const auto& l : lines) journal->Consumed(l.first);
  }

private:
  TestDatabase& db_;
};

class ZkFixture : public testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    db = std::make_unique<TestDatabase>(GetParam().empty() ? "sqlite" : GetParam());
    db->CreateSchema("OstrPro");
    host = std::make_shared<RecordingHost>(*db);
    opts.settings.AppDir = dir.Path() + "/";
  }
  // A terminal row; its control is the scripted terminal returned.
  std::shared_ptr<FakeTerminal> AddTerminal(const std::string& tag, int point, const std::string& type,
                                            const std::string& spare3) {
    db->Exec("insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values (" +
             SqlQuote(tag) + "," + std::to_string(point) + "," + SqlQuote(spare3) + "," + SqlQuote(type) +
             ",'UP','Y')");
    terminals.push_back(std::make_shared<FakeTerminal>());
    return terminals.back();
  }
  TZKF7Form& Start() {
    size_t next = 0;
    zk = std::make_unique<TZKF7Form>(opts, log, host, [this, next]() mutable -> std::unique_ptr<IZKEM> {
      if (next >= terminals.size()) return nullptr;
      return std::make_unique<FakeZkem>(terminals[next++]);
    });
    return *zk;
  }
  ZkCommand Cmd(const std::string& tag, const std::string& address, const std::string& kind,
                const std::string& user = "", const std::string& type = "KXF7", const std::string& param = "") {
    ZkCommand c;
    c.tag = tag;
    c.address = address;
    c.kind = kind;
    c.user = user;
    c.type = type;
    c.param = param;
    c.unit = "1";
    return c;
  }

  TempDir dir;
  std::unique_ptr<TestDatabase> db;
  std::shared_ptr<RecordingHost> host;
  CaptureLog log;
  TZKF7Form::Options opts;
  std::vector<std::shared_ptr<FakeTerminal>> terminals;
  std::unique_ptr<TZKF7Form> zk;
};

inline ZkLogRecord Rec(int user, int state, int verify = 1, int day = 9, int hour = 10, int minute = 15) {
  ZkLogRecord r;
  r.user = user;
  r.inOutState = state;
  r.verifyMode = verify;
  r.year = 2026;
  r.month = 12;
  r.day = day;
  r.hour = hour;
  r.minute = minute;
  return r;
}

}  // namespace px::test
