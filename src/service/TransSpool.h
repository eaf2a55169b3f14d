#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "common/Log.h"

namespace px {

// One row that could not be written to its database when it was made.
struct SpoolEntry {
  std::uint64_t id = 0;            // unique and increasing over the life of the spool
  std::string alias;               // database: "GDB1" or "ARQ1"
  std::string kind;                // what the fields are (a table row, or a deferred transaction)
  std::vector<std::string> fields;
  // Replay bookkeeping of this run (not stored).
  int failures = 0;
  // The row may already be in the database (the previous run may have
  // stopped between storing it and recording that): look before storing.
  bool mayExist = false;
  // The intake journal line the row was made from (0: none); the database's
  // mark for that source moves with the row, in the same transaction.
  std::uint64_t seq = 0;
  std::string source{};
  // With mayExist, the transaction the row went out in: it landed exactly
  // when the database's mark for `witnessSource` reached `witnessSeq`. 0: the
  // row itself is looked up instead.
  std::uint64_t witnessSeq = 0;
  std::string witnessSource{};
};

// A durable first-in first-out store of rows waiting for their database,
// kept in the program folder so that neither a database outage nor a
// restart loses them.
//
// Files: `path` holds one line per entry, appended and flushed to disk
// (fdatasync) before Append returns; lines are never rewritten in place. An
// entry that may already be in its database (the commit that carried it
// failed with an unknown outcome) keeps that mark in its line.
// `path`.pos records, per alias, the id of the newest entry already stored:
// two fixed 128-byte slots with a sequence number and a checksum, written
// alternately with pwrite + fdatasync, so a torn write leaves the other
// slot valid. Entries up to that id are skipped when the spool is read
// again. The spool file is emptied once nothing waits and compacted (temp
// file + rename) when mostly done lines have piled up. `path`.bad keeps, as
// SQL text an operator can run, the rows that the database refused for good.
//
// Each alias is its own queue: an attendance database that is down does not
// hold back the transaction rows. Loop thread only.
class TransSpool {
public:
  TransSpool(std::string path, ILog& log);
  ~TransSpool();
  TransSpool(const TransSpool&) = delete;
  TransSpool& operator=(const TransSpool&) = delete;

  bool Empty() const { return Size() == 0; }
  size_t Size() const;
  bool Empty(const std::string& alias) const { return Size(alias) == 0; }
  size_t Size(const std::string& alias) const;
  // The i-th waiting entry of an alias, oldest first; null past the end.
  SpoolEntry* At(const std::string& alias, size_t i);

  // Gives the entry its id and appends it durably (unless `sync` is false:
  // then Sync makes a batch durable with one flush). False when the file
  // could not be written; the entry still waits in memory for this run,
  // and the spool is not Healthy until Retry has written it out.
  bool Append(SpoolEntry entry, bool sync = true);
  bool Sync();
  // Every waiting entry is on disk.
  bool Healthy() const { return healthy_; }
  // Rewrites the file from the waiting entries; true once it is healthy.
  bool Retry();
  // The oldest n entries of the alias are stored: forget them and record it.
  void Done(const std::string& alias, size_t n);
  // Keeps an entry the database will never take, with the statement that
  // failed (or a description of it), in the side file.
  void SaveBad(const SpoolEntry& entry, const std::string& statement);

  const std::string& Path() const { return path_; }
  std::string BadPath() const { return path_ + ".bad"; }
  std::string PosPath() const { return path_ + ".pos"; }

  static std::string EncodeLine(const SpoolEntry& e);
  // False when the line is not an entry.
  static bool DecodeLine(const std::string& line, SpoolEntry& e);

private:
  struct Stream {
    std::deque<SpoolEntry> waiting;
    std::uint64_t done = 0;  // newest stored id
  };
  void Load();
  void LoadProgress();
  void WriteProgress();
  bool OpenForAppend();
  bool Compact();
  void Fail(const std::string& what);

  std::string path_;
  ILog& log_;
  std::map<std::string, Stream> streams_;
  std::uint64_t nextId_ = 1;
  std::uint64_t progressSeq_ = 0;
  size_t staleLines_ = 0;  // lines in the file that are already stored
  int fd_ = -1;
  int posFd_ = -1;
  bool healthy_ = true;
};

}  // namespace px
