#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/Log.h"
#include "service/ServiceDb.h"
#include "service/TransSpool.h"

namespace px {

// Writes the rows of stored transactions (trans on the main database,
// ot_tmclk on the attendance database) and makes sure none is lost or stored
// twice when a database fails: a row its database did not take goes to the
// spool, and so does every later row for that database while older ones
// wait there, so the rows arrive in the order they were made. Replay stores
// the oldest spooled rows once the database answers again.
//
// Rows made from a line of the intake journal carry its number: each
// database keeps, in its table intake_mark, how far into the journal its
// rows reach per source, written in the same transaction as the rows. So
// after a crash the journal's lines past a database's mark are exactly those
// it does not have, and a commit whose answer was lost is decided by reading
// the mark back rather than by looking for rows that may have twins (a card
// presented twice in one minute).
//
// Within one tick (BeginTick .. EndTick) the trans rows are kept and go to
// the main database together at its end (or at Commit), in multi-row inserts
// inside one transaction with the marks: one round trip and one synced
// commit. Rows of a transaction that fails go to the spool, in order; the
// attendance rows of the tick follow in one transaction of their own after
// the main commit, so that two aliases on one database file never wait for
// each other's lock. A row the database keeps refusing while the rows after
// it are stored is moved to the spool's ".bad" file so that it cannot hold up
// the others. Loop thread only.
class TransRowWriter {
public:
  static constexpr const char* kMainAlias = "GDB1";
  static constexpr const char* kArqAlias = "ARQ1";
  // A transaction whose card lookup failed; stored when it is replayed.
  static constexpr const char* kDeferredKind = "card";
  static constexpr int kReplayPerTick = 50;  // per database
  // Each stored row is recorded on disk before the next: a long spool
  // must not stall a tick for longer than this.
  static constexpr std::chrono::milliseconds kReplayTimePerTick{50};
  static constexpr int kPoisonAfter = 3;
  static constexpr std::chrono::milliseconds kFirstBackoff{1000};
  static constexpr std::chrono::milliseconds kMaxBackoff{8000};

  TransRowWriter(ServiceDb& db, ILog& log, std::shared_ptr<Clock> clock, const std::string& spoolPath);

  // The journal line the rows made from now on come from. `skipMain` /
  // `skipArq`: that database has this line's rows already (a line read back
  // after a crash); `arqUnsure`: whether it has is not known yet (its
  // database did not answer at start), so the row is looked for first.
  struct Intake {
    std::uint64_t seq = 0;
    std::string source{};
    bool skipMain = false, skipArq = false, arqUnsure = false;
    static Intake Of(std::uint64_t seq, std::string source = {}) {
      Intake in;
      in.seq = seq;
      in.source = std::move(source);
      return in;
    }
  };
  void SetIntake(Intake in) { intake_ = std::move(in); }
  void ClearIntake() { intake_ = Intake{}; }
  // Whether rows for that database are made for the current line at all.
  bool Wanted(const std::string& alias) const {
    return alias == kArqAlias ? !intake_.skipArq : !intake_.skipMain;
  }

  // Turns a deferred transaction into its trans row at replay: false while
  // that cannot be done yet; `after` runs once the row is stored. It may
  // turn the entry itself into that plain trans row (a card that cannot be
  // looked up is stored as unknown after a few tries), which is then
  // replayed like any other row.
  using ResolveFn =
      std::function<bool(SpoolEntry&, std::vector<std::string>& transRow, std::function<void()>& after)>;
  ResolveFn ResolveDeferred;
  // An attendance row is in its database (at once, at its commit, or when
  // replayed from the spool, also after a restart).
  std::function<void(const std::vector<std::string>& row)> OnAttendanceStored;
  // The description of a transaction code, for the event of each trans row.
  std::function<std::string(const std::string& code)> DescribeCode;
  std::chrono::milliseconds ReplayTimePerTick = kReplayTimePerTick;

  void StoreTrans(const std::vector<std::string>& row) { Store("trans", row); }
  void StoreAttendance(const std::vector<std::string>& row) { Store("ot_tmclk", row); }
  void Defer(const std::vector<std::string>& fields, const std::string& what,
             const std::string& why = "card lookup failed");
  // At a stop: deferred transactions kept with one flush of the spool for
  // the whole batch (BeginSpoolBatch .. EndSpoolBatch), each logged at level
  // 10 only. False when the spool could not be written.
  void BeginSpoolBatch() { spoolBatch_ = true; }
  bool EndSpoolBatch();

  void BeginTick() { inTick_ = true; }
  // Commits the tick's rows, then writes its attendance rows.
  void EndTick();
  // Commits what the tick has stored so far (before statements that must
  // not be undone with it).
  void Commit();
  // A statement of the tick failed on the main database. The tick's rows are
  // not sent before its commit, so nothing of theirs is undone.
  void MainStatementFailed() {}
  // Stores up to kReplayPerTick spooled rows per database, oldest first,
  // stopping at the first failure; after a failure the database is left
  // alone for a while (1 s, doubling up to 8 s).
  void Replay();
  // Statements that failed so far (a stop gives up storing at the first).
  long long Failures() const { return failures_; }

  // How far each source's rows reach in a database (its intake_mark), and
  // what the spool holds for it; false when the database cannot tell.
  bool ReadMarks(const std::string& alias, std::map<std::string, std::uint64_t>& marks);
  void SpoolMarks(const std::string& alias, std::map<std::string, std::uint64_t>& marks);

  TransSpool& Spool() { return spool_; }
  static std::string InsertSql(const std::string& table, const std::vector<std::string>& row);
  // Rows from..from+count-1 in one statement.
  static std::string InsertSql(const std::string& table, const std::vector<std::vector<std::string>>& rows,
                               size_t from, size_t count);
  // The statement that moves a source's mark forward (never back).
  static std::string MarkSql(const std::string& key, std::uint64_t seq);
  // The mark's key in intake_mark: alias, ":", source.
  static std::string MarkKey(const std::string& alias, const std::string& source);
  static constexpr const char* kMarkTableSql =
      "create table if not exists intake_mark (source varchar(40) primary key, pos bigint not null)";
  // Rows of a tick per insert statement (both databases take far longer
  // statements; this keeps each well under a megabyte).
  static constexpr size_t kRowsPerStatement = 500;
  static std::string ExistsSql(const std::string& table, const std::vector<std::string>& row);

private:
  struct Backoff {
    std::chrono::system_clock::time_point nextTry{};
    std::chrono::milliseconds wait{0};
  };
  // A row of a tick with the journal line it came from.
  struct Row {
    std::vector<std::string> fields;
    std::uint64_t seq = 0;
    std::string source;
  };
  void Store(const std::string& table, const std::vector<std::string>& row);
  void Keep(SpoolEntry e, const std::string& text);
  // The rows of a transaction that did not land go to the spool, in order;
  // `witness` decides later whether it landed after all (seq 0: unknown).
  void SpoolRows(const std::string& alias, std::vector<Row> rows, bool mayBeStored, const Row& witness,
                 const std::string& why);
  void Landed(const std::string& table, const std::vector<std::string>& row);
  void Commit(const std::string& alias);
  // Runs the statements in one transaction with the rows' marks; true when
  // it committed. `lost` tells a failure whose outcome is unknown.
  bool RunWithMarks(const std::string& alias, const std::string& statements, const std::vector<Row>& rows,
                    bool& lost);
  bool EnsureMarkTable(const std::string& alias);
  // The events of trans rows (TransactionEvent), for the same transaction.
  std::string EventSql(const std::vector<std::vector<std::string>>& rows, size_t from, size_t count) const;
  // The transaction that carried `seq` of `source` landed: known, true or false.
  bool MarkReached(const std::string& alias, const std::string& source, std::uint64_t seq, bool& reached);
  int ReplayAlias(const std::string& alias, std::chrono::steady_clock::time_point deadline);
  bool TryStore(SpoolEntry& e, std::function<void()>& after);
  std::string Describe(const SpoolEntry& e) const;
  static std::string AliasOf(const std::string& kind);
  TQuery& QueryOf(const std::string& alias);
  bool Connected(const std::string& alias) const;
  TDatabase& DatabaseOf(const std::string& alias);

  ServiceDb& db_;
  ILog& log_;
  std::shared_ptr<Clock> clock_;
  TransSpool spool_;
  std::map<std::string, Backoff> backoff_;
  bool arqFirst_ = false;  // the two databases take turns at the replay time
  bool inTick_ = false;
  bool flushingAttendance_ = false;
  bool spoolBatch_ = false;
  long long failures_ = 0;
  Intake intake_;
  std::map<std::string, std::vector<Row>> tx_;  // per alias, sent at its commit
  std::vector<Row> tickAttendance_;             // written after the main commit
  std::map<std::string, const DbConnection*> markTable_;  // connection on which intake_mark is known to exist
};

}  // namespace px
