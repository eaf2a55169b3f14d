#include "events/EventOutbox.h"

#include "common/StrUtil.h"
#include "platform/Database.h"
#include "platform/Sql.h"

namespace px {

namespace {
std::int64_t Id(const DbRows& r) {
  return r.rows.empty() || r.rows[0].empty() ? 0 : StrToIntDef(r.rows[0][0], 0);
}
}  // namespace

bool EventOutbox::Run(const std::string& sql, DbRows* rows) {
  if (!db_.Connected()) return false;
  TQuery q(&db_);
  q.SQL = sql;
  try {
    if (rows) {
      q.Open();
      *rows = q.Rows();
    } else {
      q.ExecSQL();
    }
    lastError_.clear();
    return true;
  } catch (const std::exception& e) {
    // A lost connection reads "READ FAILURE" here, which the service's log
    // answers with a reconnect, as for every other statement.
    if (e.what() != lastError_) log_.WriteLog(999, std::string("<Events>") + e.what());
    lastError_ = e.what();
    return false;
  }
}

bool EventOutbox::Ensure() {
  const DbConnection* conn = db_.Connection();
  if (!conn) return false;
  if (ensured_ == conn) return true;
  // trans_event comes with the first stored row; a stream started on a
  // database that has none yet makes it, the same way.
  const std::string id = db_.Dialect() == "postgresql" ? "bigint" : "integer";
  if (!Run(TransactionEvent::TableSql(db_.Dialect()) +
               ";\ncreate table if not exists event_position (stream text primary key, last_id " + id +
               " not null);\ncreate table if not exists trans_event_day (day text primary key, last_id " + id +
               " not null)",
           nullptr))
    return false;
  ensured_ = conn;
  return true;
}

bool EventOutbox::Read(std::int64_t after, int limit, std::vector<TransactionEvent>& out) {
  DbRows r;
  if (!Ensure() || !Run(TransactionEvent::SelectSql(after, limit), &r)) return false;
  out = TransactionEvent::FromRows(r.columns, r.rows);
  return true;
}

bool EventOutbox::Newest(std::int64_t& id) {
  DbRows r;
  if (!Ensure() || !Run("select max(id) from trans_event", &r)) return false;
  id = Id(r);
  return true;
}

bool EventOutbox::LoadPosition(const std::string& stream, std::int64_t& id, bool& found) {
  DbRows r;
  if (!Ensure() || !Run("select last_id from event_position where stream = " + SqlQuote(stream), &r)) return false;
  found = !r.rows.empty();
  id = Id(r);
  return true;
}

bool EventOutbox::SavePosition(const std::string& stream, std::int64_t id) {
  return Ensure() && Run("insert into event_position (stream, last_id) values (" + SqlQuote(stream) + ", " +
                             SqlQuote(std::to_string(id)) +
                             ") on conflict (stream) do update set last_id = excluded.last_id",
                         nullptr);
}

bool EventOutbox::UnitStates(std::map<std::string, std::string>& states) {
  DbRows r;
  if (!Run("select tag_name, state from rdrmain", &r)) return false;
  for (const auto& row : r.rows)
    if (row.size() == 2 && (row[1] == "UP" || row[1] == "DOWN")) states[row[0]] = row[1];
  return true;
}

bool EventOutbox::Purge(const DateTime& today, int retentionDays, std::int64_t keepAfter, bool& more) {
  more = false;
  if (retentionDays <= 0) return true;
  if (!Ensure()) return false;
  const std::string day = SqlQuote(FormatDateTime("yyyymmdd", today));
  const std::string cutoff = SqlQuote(FormatDateTime("yyyymmdd", today.AddDays(-retentionDays)));
  DbRows r;
  // ("where true": SQLite would read the "on" as a join's.)
  if (!Run("insert into trans_event_day (day, last_id) select " + day +
               ", coalesce(max(id), 0) from trans_event where true on conflict (day) do nothing",
           nullptr) ||
      !Run("select max(last_id) from trans_event_day where day < " + cutoff, &r))
    return false;
  std::int64_t upTo = Id(r);
  if (keepAfter >= 0 && keepAfter < upTo) upTo = keepAfter;
  if (upTo <= 0) return true;
  const std::string bound = SqlQuote(std::to_string(upTo));
  if (!Run("select id from trans_event where id <= " + bound + " order by id limit " +
               std::to_string(kPurgeSlice),
           &r))
    return false;
  if (r.rows.empty()) {
    // Marks that have done their work; the newest stays as the floor.
    return Run("delete from trans_event_day where day < " + cutoff + " and last_id < " + bound, nullptr);
  }
  more = static_cast<int>(r.rows.size()) == kPurgeSlice;
  return Run("delete from trans_event where id <= " + SqlQuote(r.rows.back()[0]), nullptr);
}

}  // namespace px
