#pragma once
#include <chrono>
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
// ot_tmclk on the attendance database) and makes sure none is lost when a
// database fails: a row its database did not take goes to the spool, and
// so does every later row for that database while older ones wait there,
// so the rows arrive in the order they were made. Replay stores the oldest
// spooled rows once the database answers again.
//
// Replay is safe against a restart: the spool records each stored row
// before the next is tried. The one window left is a stop between a row's
// insert and that record; the first row of each database read back from an
// earlier run is therefore looked up before it is stored again (a row that
// is there already counts as stored; should an identical row, such as a
// card presented twice within the same minute and stored within the same
// 10 ms, already exist, the two are then taken for one). A row the
// database keeps refusing while the rows after it are stored is moved to
// the spool's ".bad" file so that it cannot hold up the others. A row whose
// commit failed with an unknown outcome keeps that mark in the spool, so it
// is looked up first too, after a restart as well.
//
// Within one tick (BeginTick .. EndTick) the trans rows are kept and go to
// the main database together at its end (or at Commit), in one multi-row
// insert, which saves a round trip and a commit per row. Rows of a statement
// that fails go to the spool, in order; the
// attendance rows of the tick follow in one transaction of their own after
// the main commit, so that two aliases on one database file never wait for
// each other's lock. A stop in the middle of a tick loses the uncommitted
// rows of that tick; at a stop the service therefore ends with whole ticks
// (TTransStore::DrainAtStop). How a committed row survives a power failure
// is the database's own setting.
// Loop thread only.
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
  std::chrono::milliseconds ReplayTimePerTick = kReplayTimePerTick;

  void StoreTrans(const std::vector<std::string>& row) { Store("trans", row); }
  void StoreAttendance(const std::vector<std::string>& row) { Store("ot_tmclk", row); }
  void Defer(const std::vector<std::string>& fields, const std::string& what,
             const std::string& why = "card lookup failed");
  // At a stop: deferred transactions kept with one flush of the spool for
  // the whole batch (BeginSpoolBatch .. EndSpoolBatch), each logged at level
  // 10 only.
  void BeginSpoolBatch() { spoolBatch_ = true; }
  void EndSpoolBatch();

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

  TransSpool& Spool() { return spool_; }
  static std::string InsertSql(const std::string& table, const std::vector<std::string>& row);
  // Rows from..from+count-1 in one statement.
  static std::string InsertSql(const std::string& table, const std::vector<std::vector<std::string>>& rows,
                               size_t from, size_t count);
  // Rows of a tick per insert statement (both databases take far longer
  // statements; this keeps each well under a megabyte).
  static constexpr size_t kRowsPerStatement = 500;
  static std::string ExistsSql(const std::string& table, const std::vector<std::string>& row);

private:
  struct Backoff {
    std::chrono::system_clock::time_point nextTry{};
    std::chrono::milliseconds wait{0};
  };
  void Store(const std::string& table, const std::vector<std::string>& row);
  void Keep(SpoolEntry e, const std::string& text);
  // The tick's rows that were not stored go to the spool, in order.
  void SpoolRows(const std::string& alias, std::vector<std::vector<std::string>> rows, bool mayBeStored,
                 const std::string& why);
  void Landed(const std::string& table, const std::vector<std::string>& row);
  void Commit(const std::string& alias);
  // One database's rows of the tick, sent at its commit.
  struct Tx {
    std::vector<std::vector<std::string>> rows;
  };
  int ReplayAlias(const std::string& alias, std::chrono::steady_clock::time_point deadline);
  bool TryStore(SpoolEntry& e, std::function<void()>& after);
  std::string Describe(const SpoolEntry& e) const;
  static std::string AliasOf(const std::string& kind);
  TQuery& QueryOf(const std::string& alias);
  bool Connected(const std::string& alias) const;

  ServiceDb& db_;
  ILog& log_;
  std::shared_ptr<Clock> clock_;
  TransSpool spool_;
  std::map<std::string, Backoff> backoff_;
  bool arqFirst_ = false;  // the two databases take turns at the replay time
  bool inTick_ = false;
  bool flushingAttendance_ = false;
  bool spoolBatch_ = false;
  std::map<std::string, Tx> tx_;
  std::vector<std::vector<std::string>> tickAttendance_;  // written after the main commit
};

}  // namespace px
