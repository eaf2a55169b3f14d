#include "service/TransRowWriter.h"

#include <algorithm>

#include "common/Counters.h"
#include "common/StrUtil.h"
#include "events/TransactionEvent.h"
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

TDatabase& TransRowWriter::DatabaseOf(const std::string& alias) {
  return alias == kArqAlias ? db_.Database2 : db_.Database1;
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

std::string TransRowWriter::MarkSql(const std::string& key, std::uint64_t seq) {
  // Both databases take this upsert; the condition keeps a mark from going
  // back should rows ever be replayed out of order.
  return "insert into intake_mark (source, pos) values (" + SqlQuote(key) + "," + std::to_string(seq) +
         ") on conflict (source) do update set pos = excluded.pos where intake_mark.pos < excluded.pos";
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
  if (e.kind == "trans" || e.kind == kDeferredKind) ProcessCounters::Add(Counters().transSpooled);
  log_.WriteLog(spoolBatch_ ? 10 : 999, text);
  spool_.Append(std::move(e), !spoolBatch_);
}

bool TransRowWriter::EndSpoolBatch() {
  spoolBatch_ = false;
  return spool_.Sync();
}

void TransRowWriter::Landed(const std::string& table, const std::vector<std::string>& row) {
  if (table == "trans") ProcessCounters::Add(Counters().transStored);
  if (table == "ot_tmclk" && OnAttendanceStored) OnAttendanceStored(row);
}

// ---------------------------------------------------------------- marks

bool TransRowWriter::EnsureMarkTable(const std::string& alias) {
  TDatabase& db = DatabaseOf(alias);
  const DbConnection* conn = db.Connection();
  if (!conn) return false;
  if (markTable_[alias] == conn) return true;
  // The tables of this release, for databases made before it.
  std::string sql = kMarkTableSql;
  if (alias == kMainAlias) sql += ";\n" + TransactionEvent::TableSql(db.Dialect());
  if (!db_.RunSQL(QueryOf(alias), sql, false)) return false;
  markTable_[alias] = conn;
  return true;
}

std::string TransRowWriter::EventSql(const std::vector<std::vector<std::string>>& rows, size_t from,
                                     size_t count) const {
  std::vector<std::string> descriptions;
  descriptions.reserve(rows.size());
  for (const auto& r : rows) descriptions.push_back(DescribeCode && r.size() > 12 ? DescribeCode(r[12]) : std::string());
  return TransactionEvent::InsertSql(rows, descriptions, from, count);
}

std::string TransRowWriter::MarkKey(const std::string& alias, const std::string& source) {
  // Both aliases may name one database: each keeps marks of its own.
  return alias + ":" + source;
}

bool TransRowWriter::ReadMarks(const std::string& alias, std::map<std::string, std::uint64_t>& marks) {
  if (!Connected(alias) || !EnsureMarkTable(alias)) return false;
  TQuery& q = QueryOf(alias);
  db_.RunSQL(q, "select source, pos from intake_mark where source like " + SqlQuote(alias + ":%"), true);
  const bool ok = q.Active();
  for (q.First(); ok && !q.Eof(); q.Next()) {
    long long pos = 0;
    const std::string key = q.FieldOr("source");
    if (TryStrToInt(q.FieldOr("pos"), pos) && pos > 0 && key.size() > alias.size() + 1)
      marks[key.substr(alias.size() + 1)] = static_cast<std::uint64_t>(pos);
  }
  q.Close();
  return ok;
}

void TransRowWriter::SpoolMarks(const std::string& alias, std::map<std::string, std::uint64_t>& marks) {
  for (size_t i = 0; SpoolEntry* e = spool_.At(alias, i); ++i)
    if (e->seq) marks[e->source] = std::max(marks[e->source], e->seq);
}

bool TransRowWriter::MarkReached(const std::string& alias, const std::string& source, std::uint64_t seq,
                                 bool& reached) {
  if (!Connected(alias) || !EnsureMarkTable(alias)) return false;
  TQuery& q = QueryOf(alias);
  db_.RunSQL(q, "select pos from intake_mark where source=" + SqlQuote(MarkKey(alias, source)), true);
  const bool ok = q.Active();
  long long pos = 0;
  reached = ok && !q.Eof() && TryStrToInt(q.FieldOr("pos"), pos) && pos >= static_cast<long long>(seq);
  q.Close();
  return ok;
}

bool TransRowWriter::RunWithMarks(const std::string& alias, const std::string& statements,
                                  const std::vector<Row>& rows, bool& lost) {
  lost = false;
  std::map<std::string, std::uint64_t> marks;
  for (const auto& r : rows)
    if (r.seq) marks[r.source] = std::max(marks[r.source], r.seq);
  if ((!marks.empty() || alias == kMainAlias) && !EnsureMarkTable(alias)) {
    ++failures_;
    lost = db_.LastFailureLostConnection();
    return false;
  }
  std::string sql = "begin;\n" + statements;
  for (const auto& [source, seq] : marks) sql += ";\n" + MarkSql(MarkKey(alias, source), seq);
  sql += ";\ncommit";
  if (db_.RunSQL(QueryOf(alias), sql, false)) return true;
  ++failures_;
  // Only a connection lost on the way leaves the outcome open: a statement
  // the database refused took the transaction back with it.
  lost = db_.LastFailureLostConnection();
  if (!lost) db_.RunSQL(QueryOf(alias), "rollback", false);
  return false;
}

// ---------------------------------------------------------------- storing

void TransRowWriter::Store(const std::string& table, const std::vector<std::string>& row) {
  const std::string alias = AliasOf(table);
  if (!Wanted(alias)) return;
  Row r{row, intake_.seq, intake_.source};
  if (alias == kArqAlias && intake_.arqUnsure && intake_.seq) {
    // Whether the attendance database has it is decided once it answers.
    SpoolEntry e{0, alias, table, row};
    e.mayExist = true;
    e.seq = e.witnessSeq = intake_.seq;
    e.source = e.witnessSource = intake_.source;
    Keep(std::move(e), "Spooled " + table + " row (read back from the intake journal): " + InsertSql(table, row));
    return;
  }
  if (inTick_ && alias == kArqAlias) {
    tickAttendance_.push_back(std::move(r));
    return;
  }
  const std::string sql = InsertSql(table, row);
  const size_t waiting = spool_.Size(alias);
  bool mayBeStored = false;
  if (waiting == 0) {
    const bool batched = alias == kMainAlias ? inTick_ : flushingAttendance_;
    if (batched) {
      // Sent with the rest of the tick's rows at the commit.
      tx_[alias].push_back(std::move(r));
      return;
    }
    bool lost = false;
    const std::string all = alias == kMainAlias ? sql + ";\n" + EventSql({row}, 0, 1) : sql;
    if (Connected(alias) && RunWithMarks(alias, all, {r}, lost)) {
      Landed(table, row);
      return;
    }
    mayBeStored = lost;
  }
  std::string why = waiting == 0 ? (mayBeStored ? "commit failed" : "database unavailable")
                                 : "behind " + IntToStr(static_cast<long long>(waiting)) + " spooled rows";
  SpoolEntry e{0, alias, table, row};
  e.seq = r.seq;
  e.source = r.source;
  e.mayExist = mayBeStored;
  if (mayBeStored && r.seq) {
    e.witnessSeq = r.seq;
    e.witnessSource = r.source;
  }
  Keep(std::move(e), "Spooled " + table + " row (" + why + "): " + sql);
}

void TransRowWriter::SpoolRows(const std::string& alias, std::vector<Row> rows, bool mayBeStored,
                               const Row& witness, const std::string& why) {
  const std::string table = alias == kArqAlias ? "ot_tmclk" : "trans";
  for (auto& r : rows) {
    std::string sql = InsertSql(table, r.fields);
    SpoolEntry e{0, alias, table, std::move(r.fields)};
    e.seq = r.seq;
    e.source = r.source;
    e.mayExist = mayBeStored;
    if (mayBeStored) {
      e.witnessSeq = witness.seq;
      e.witnessSource = witness.source;
    }
    Keep(std::move(e), "Spooled " + table + " row (" + why + "): " + sql);
  }
}

void TransRowWriter::Commit(const std::string& alias) {
  std::vector<Row> rows = std::move(tx_[alias]);
  tx_[alias].clear();
  if (rows.empty()) return;
  if (!Connected(alias)) {
    ++failures_;
    SpoolRows(alias, std::move(rows), false, Row{}, "database unavailable");
    return;
  }
  // The tick's rows in multi-row inserts inside one transaction with their
  // marks, all sent as one text: one round trip and one synced commit. The
  // explicit transaction also undoes the earlier rows of a statement that
  // fails part way (SQLite keeps them under a FAIL conflict).
  const std::string table = alias == kArqAlias ? "ot_tmclk" : "trans";
  std::vector<std::vector<std::string>> fields;
  fields.reserve(rows.size());
  for (const auto& r : rows) fields.push_back(r.fields);
  std::string statements;
  for (size_t from = 0; from < fields.size(); from += kRowsPerStatement) {
    statements += (from ? ";\n" : "") + InsertSql(table, fields, from, kRowsPerStatement);
    if (alias == kMainAlias) statements += ";\n" + EventSql(fields, from, kRowsPerStatement);
  }
  bool lost = false;
  if (RunWithMarks(alias, statements, rows, lost)) {
    for (const auto& f : fields) Landed(table, f);
    return;
  }
  // All the rows are stored or none is. When the answer was lost on the way
  // the mark of one of them tells which, once the database answers again.
  Row witness;
  for (const auto& r : rows)
    if (r.seq > witness.seq) witness = Row{{}, r.seq, r.source};
  SpoolRows(alias, std::move(rows), lost, witness, lost ? "commit failed" : "transaction rolled back");
}

void TransRowWriter::Commit() { Commit(kMainAlias); }

void TransRowWriter::EndTick() {
  Commit(kMainAlias);
  inTick_ = false;
  auto rows = std::move(tickAttendance_);
  tickAttendance_.clear();
  flushingAttendance_ = true;
  const Intake saved = intake_;
  for (const auto& r : rows) {
    intake_ = Intake::Of(r.seq, r.source);
    StoreAttendance(r.fields);
  }
  intake_ = saved;
  flushingAttendance_ = false;
  Commit(kArqAlias);
}

void TransRowWriter::Defer(const std::vector<std::string>& fields, const std::string& what, const std::string& why) {
  if (!Wanted(kMainAlias)) return;
  Commit();  // the rows before it stay before it
  SpoolEntry e{0, kMainAlias, kDeferredKind, fields};
  e.seq = intake_.seq;
  e.source = intake_.source;
  Keep(std::move(e), "Spooled card transaction (" + why + "): " + what);
}

// ---------------------------------------------------------------- replay

bool TransRowWriter::TryStore(SpoolEntry& e, std::function<void()>& after) {
  after = nullptr;
  std::string table = e.kind;
  std::vector<std::string> row = e.fields;
  if (e.kind == kDeferredKind) {
    if (!ResolveDeferred || !ResolveDeferred(e, row, after)) return false;
    table = "trans";
  }
  if (e.mayExist) {
    bool found = false;
    if (e.witnessSeq) {
      // The transaction's mark tells whether it landed: two identical rows
      // are counted, not taken for one.
      if (!MarkReached(e.alias, e.witnessSource, e.witnessSeq, found)) {
        after = nullptr;
        return false;
      }
    } else {
      TQuery& q = QueryOf(e.alias);
      found = db_.RunSQL(q, ExistsSql(table, row), true);
      const bool failed = !found && !q.Active();
      q.Close();
      if (failed) {
        after = nullptr;
        return false;
      }
    }
    if (found) {
      // Stored by an earlier attempt whose answer was lost. What follows a
      // deferred transaction (its attendance row) never ran: it runs now.
      log_.WriteLog(999, "Spooled row already in the database, not stored again: " + InsertSql(table, row));
      Landed(table, row);
      return true;
    }
    e.mayExist = false;
  }
  bool lost = false;
  std::string sql = InsertSql(table, row);
  if (table == "trans") sql += ";\n" + EventSql({row}, 0, 1);
  if (!RunWithMarks(e.alias, sql, {Row{row, e.seq, e.source}}, lost)) {
    if (lost) {
      e.mayExist = true;
      e.witnessSeq = e.seq;
      e.witnessSource = e.source;
    }
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
      // What follows the row (a deferred clocking's attendance row) is kept
      // before the row counts as done: a stop in between repeats it, and its
      // mark then tells that it is stored.
      if (after) after();
      spool_.Done(alias, 1);
      ++stored;
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
      if (after) after();
      spool_.Done(alias, 2);
      ++stored;
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
