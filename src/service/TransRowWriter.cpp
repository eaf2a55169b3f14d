#include "service/TransRowWriter.h"

#include <algorithm>

#include "common/StrUtil.h"
#include "platform/Sql.h"

namespace px {

namespace {
const std::vector<std::string> kTransColumns = {
    "trans_id",     "trans_time", "card_number", "trans_date", "tag_name", "spare1",     "name",  "staff_number",
    "user1",        "user2",      "user3",       "spare2",     "trans_code", "spare3",   "status"};
const std::vector<std::string> kAttendanceColumns = {"staff_number", "clk_date", "clk_time",   "clk_seq",
                                                     "in_out",       "card_number", "spare1",  "clk_type",
                                                     "clk_source",   "terminal",  "origin"};
}  // namespace

TransRowWriter::TransRowWriter(ServiceDb& db, ILog& log, std::shared_ptr<Clock> clock, const std::string& spoolPath)
    : db_(db), log_(log), clock_(std::move(clock)), spool_(spoolPath, log) {}

std::string TransRowWriter::AliasOf(const std::string& kind) { return kind == "ot_tmclk" ? kArqAlias : kMainAlias; }

TQuery& TransRowWriter::QueryOf(const std::string& alias) {
  return alias == kArqAlias ? db_.TMSQuery : db_.Query1;
}

bool TransRowWriter::Connected(const std::string& alias) const {
  return alias == kArqAlias ? db_.Database2.Connected() : db_.Database1.Connected();
}

std::string TransRowWriter::InsertSql(const std::string& table, const std::vector<std::string>& row) {
  std::string sql = "insert into " + table + " values(";
  for (size_t i = 0; i < row.size(); ++i) sql += (i ? "," : "") + SqlQuote(row[i]);
  return sql + ")";
}

std::string TransRowWriter::InsertSql(const std::string& table, const std::vector<std::vector<std::string>>& rows,
                                      size_t from, size_t count) {
  std::string sql = "insert into " + table + " values";
  for (size_t r = from; r < from + count && r < rows.size(); ++r) {
    sql += r == from ? "(" : ",(";
    for (size_t i = 0; i < rows[r].size(); ++i) sql += (i ? "," : "") + SqlQuote(rows[r][i]);
    sql += ")";
  }
  return sql;
}

std::string TransRowWriter::ExistsSql(const std::string& table, const std::vector<std::string>& row) {
  const auto& cols = table == "ot_tmclk" ? kAttendanceColumns : kTransColumns;
  std::string sql = "select * from " + table + " where ";
  for (size_t i = 0; i < std::min(cols.size(), row.size()); ++i)
    sql += (i ? " and " : "") + cols[i] + "=" + SqlQuote(row[i]);
  return sql;
}

std::string TransRowWriter::Describe(const SpoolEntry& e) const {
  if (e.kind != kDeferredKind) return InsertSql(e.kind, e.fields);
  std::string text = "deferred card transaction:";
  for (const auto& f : e.fields) text += " [" + f + "]";
  return text;
}

void TransRowWriter::Keep(SpoolEntry e, const std::string& text) {
  log_.WriteLog(spoolBatch_ ? 10 : 999, text);
  spool_.Append(std::move(e), !spoolBatch_);
}

void TransRowWriter::EndSpoolBatch() {
  spoolBatch_ = false;
  spool_.Sync();
}

void TransRowWriter::Landed(const std::string& table, const std::vector<std::string>& row) {
  if (table == "ot_tmclk" && OnAttendanceStored) OnAttendanceStored(row);
}

void TransRowWriter::Store(const std::string& table, const std::vector<std::string>& row) {
  std::string alias = AliasOf(table);
  if (inTick_ && alias == kArqAlias) {
    tickAttendance_.push_back(row);
    return;
  }
  std::string sql = InsertSql(table, row);
  size_t waiting = spool_.Size(alias);
  if (waiting == 0) {
    bool batched = alias == kMainAlias ? inTick_ : flushingAttendance_;
    if (batched) {
      // Sent with the rest of the tick's rows at the commit.
      tx_[alias].rows.push_back(row);
      return;
    }
    if (db_.RunSQL(QueryOf(alias), sql, false)) {
      Landed(table, row);
      return;
    }
  }
  std::string why = waiting == 0 ? "database unavailable"
                                 : "behind " + IntToStr(static_cast<long long>(waiting)) + " spooled rows";
  Keep({0, alias, table, row}, "Spooled " + table + " row (" + why + "): " + sql);
}

void TransRowWriter::SpoolRows(const std::string& alias, std::vector<std::vector<std::string>> rows,
                               bool mayBeStored, const std::string& why) {
  std::string table = alias == kArqAlias ? "ot_tmclk" : "trans";
  for (auto& row : rows) {
    std::string sql = InsertSql(table, row);
    SpoolEntry e{0, alias, table, std::move(row)};
    e.mayExist = mayBeStored;
    Keep(std::move(e), "Spooled " + table + " row (" + why + "): " + sql);
  }
}

void TransRowWriter::Commit(const std::string& alias) {
  Tx& tx = tx_[alias];
  if (tx.rows.empty()) return;
  auto rows = std::move(tx.rows);
  tx.rows.clear();
  if (!Connected(alias)) {
    SpoolRows(alias, std::move(rows), false, "database unavailable");
    return;
  }
  // The tick's rows in multi-row inserts inside one transaction, all sent as
  // one text: one round trip and one synced commit for the tick. The explicit
  // transaction also undoes the earlier rows of a statement that fails part
  // way (SQLite keeps them under a FAIL conflict).
  const std::string table = alias == kArqAlias ? "ot_tmclk" : "trans";
  TQuery& q = QueryOf(alias);
  std::string sql = "begin";
  for (size_t from = 0; from < rows.size(); from += kRowsPerStatement)
    sql += ";\n" + InsertSql(table, rows, from, kRowsPerStatement);
  sql += ";\ncommit";
  if (db_.RunSQL(q, sql, false)) {
    for (const auto& row : rows) Landed(table, row);
    return;
  }
  // All the rows are stored or none is. What the database refused it took
  // back with the rollback; when the connection went on the way, the outcome
  // is unknown and replay looks first.
  const bool lost = !Connected(alias);
  if (!lost) db_.RunSQL(q, "rollback", false);
  SpoolRows(alias, std::move(rows), lost, lost ? "commit failed" : "transaction rolled back");
}

void TransRowWriter::Commit() { Commit(kMainAlias); }

void TransRowWriter::EndTick() {
  Commit(kMainAlias);
  inTick_ = false;
  auto rows = std::move(tickAttendance_);
  tickAttendance_.clear();
  flushingAttendance_ = true;
  for (const auto& row : rows) StoreAttendance(row);
  flushingAttendance_ = false;
  Commit(kArqAlias);
}

void TransRowWriter::Defer(const std::vector<std::string>& fields, const std::string& what, const std::string& why) {
  Commit();  // the rows before it stay before it
  Keep({0, kMainAlias, kDeferredKind, fields}, "Spooled card transaction (" + why + "): " + what);
}

bool TransRowWriter::TryStore(SpoolEntry& e, std::function<void()>& after) {
  after = nullptr;
  std::string table = e.kind;
  std::vector<std::string> row = e.fields;
  if (e.kind == kDeferredKind) {
    if (!ResolveDeferred || !ResolveDeferred(e, row, after)) return false;
    table = "trans";
  }
  TQuery& q = QueryOf(e.alias);
  if (e.mayExist) {
    bool found = db_.RunSQL(q, ExistsSql(table, row), true);
    bool failed = !found && !q.Active();
    q.Close();
    if (failed) {
      after = nullptr;
      return false;
    }
    if (found) {
      // Stored by an earlier run just before it stopped; what followed the
      // row then is not repeated.
      log_.WriteLog(999, "Spooled row already in the database, not stored again: " + InsertSql(table, row));
      after = nullptr;
      Landed(table, row);
      return true;
    }
    e.mayExist = false;
  }
  if (!db_.RunSQL(q, InsertSql(table, row), false)) {
    after = nullptr;
    return false;
  }
  Landed(table, row);
  return true;
}

int TransRowWriter::ReplayAlias(const std::string& alias, std::chrono::steady_clock::time_point deadline) {
  if (spool_.Empty(alias) || !Connected(alias)) return 0;
  auto now = clock_->Now();
  Backoff& b = backoff_[alias];
  // (A clock set back must not stall the replay for long.)
  if (now < b.nextTry && b.nextTry - now <= kMaxBackoff) return 0;
  int stored = 0;
  while (stored < kReplayPerTick && !spool_.Empty(alias) && std::chrono::steady_clock::now() < deadline) {
    SpoolEntry& head = *spool_.At(alias, 0);
    std::function<void()> after;
    if (TryStore(head, after)) {
      spool_.Done(alias, 1);
      ++stored;
      if (after) after();
      continue;
    }
    ++head.failures;
    // A row that keeps failing is tried against the next one: when that
    // one is stored, the database is up and this row is the trouble.
    // A deferred transaction is never set aside: its resolver stores it as
    // an unknown card after a few failed lookups instead.
    SpoolEntry* next = head.failures >= kPoisonAfter && head.kind != kDeferredKind ? spool_.At(alias, 1) : nullptr;
    if (next && TryStore(*next, after)) {
      std::string text = Describe(head);
      log_.WriteLog(999, "Spooled row moved to " + spool_.BadPath() + " after " + IntToStr(head.failures) +
                             " failed replays while later rows were stored: " + text);
      spool_.SaveBad(head, text);
      spool_.Done(alias, 2);
      ++stored;
      if (after) after();
      continue;
    }
    if (next) ++next->failures;
    b.wait = stored > 0 || b.wait.count() == 0 ? kFirstBackoff : std::min(b.wait * 2, kMaxBackoff);
    b.nextTry = now + b.wait;
    return stored;
  }
  b.wait = std::chrono::milliseconds(0);
  b.nextTry = {};
  return stored;
}

void TransRowWriter::Replay() {
  try {
    auto deadline = std::chrono::steady_clock::now() + ReplayTimePerTick;
    arqFirst_ = !arqFirst_;
    int stored = ReplayAlias(arqFirst_ ? kArqAlias : kMainAlias, deadline);
    stored += ReplayAlias(arqFirst_ ? kMainAlias : kArqAlias, deadline);
    if (stored > 0)
      log_.WriteLog(999, "Spool replayed: " + IntToStr(stored) + " rows (" +
                             IntToStr(static_cast<long long>(spool_.Size())) + " left)");
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<Spool>") + e.what());
  }
}

}  // namespace px
