#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/DateTime.h"
#include "common/IntakeJournalApi.h"
#include "common/Log.h"

namespace px {

// The intake journal on disk: a folder of segment files, each named by the
// first sequence number it may hold ("%020llu.jnl"). An entry is one line,
// checked by a CRC, so an entry torn by a power cut is recognised and
// dropped (it was never reported durable). Appends are gathered by one
// writer thread: whatever arrived since its last sync goes out in one write
// and one fdatasync, so a bus never waits for more than its own records and
// the event loop never waits at all.
//
// A segment grown past `segmentBytes` is followed by a new one, which starts
// with the owed marks as they stand, so the marks never depend on a segment
// that has been deleted. A segment is deleted once every line in it has been
// consumed. Past `maxBytes` (or while the folder cannot be written) the
// journal takes no new records; the transports then ask for none, as with a
// full queue, and the controllers keep them.
class TIntakeJournal : public IIntakeJournal {
public:
  struct Options {
    std::string dir;                               // the journal's folder; created when missing
    std::uint64_t maxBytes = 64ull << 20;
    std::uint64_t segmentBytes = 1ull << 20;
    std::chrono::milliseconds retryAfter{1000};   // a failed write is tried again after this
    std::shared_ptr<Clock> clock;                 // stamps the entries; the system's when null
  };

  // Reads what earlier runs left, then starts the writer.
  TIntakeJournal(Options options, ILog& log);
  ~TIntakeJournal() override;  // writes what is pending (one try), then stops
  TIntakeJournal(const TIntakeJournal&) = delete;
  TIntakeJournal& operator=(const TIntakeJournal&) = delete;

  std::vector<Line> TakeRecovered() override;
  void EnsureAbove(Seq seq) override;
  std::string SourceOf(Seq seq) const override;
  // Writes everything pending and waits for it (at most `max`): a stop.
  bool Flush(std::chrono::milliseconds max);

  Seq Append(const std::string& source, const std::vector<std::string>& lines, const std::string& unitKey = "",
             bool clearOwed = false) override;
  Seq SetOwed(const std::string& source, const std::string& unitKey, bool owed) override;
  bool Owed(const std::string& unitKey) const override;
  Seq AppendNoted(const std::string& source, const std::vector<std::string>& lines, const std::string& unitKey,
                  const std::string& note) override;
  std::string Note(const std::string& unitKey) const override;
  bool Accepting() const override;
  bool Settled(const std::string& source) const override;
  bool WaitSettled(const std::string& source, std::chrono::milliseconds max) override;
  bool Withdraw(Seq first, Seq last) override;
  void Consumed(Seq seq) override;
  std::uint64_t Depth() const override;
  std::uint64_t Bytes() const override;

  // For tests and the status line.
  std::uint64_t Syncs() const;
  size_t Segments() const;
  const std::string& Dir() const { return opt_.dir; }

  // One entry's text, and reading it back (false: not an entry, or torn).
  struct Entry {
    // 'L' lines (the unit's owed mark cleared when `clear`), 'N' lines that
    // also note `note` on the unit, 'O'/'o' owed set/cleared, 'S' the owed
    // marks as they stand ("key" or "key\x1fnote" per line).
    char kind = 'L';
    Seq first = 0, last = 0;
    std::int64_t timeMs = 0;
    std::string source, unitKey;
    bool clear = false;
    std::vector<std::string> lines;  // 'S': the owed unit keys
    std::string note;                // 'N'
  };
  static std::string Encode(const Entry& e);
  static bool Decode(const std::string& text, Entry& e);

private:
  struct Pending {
    Entry entry;
    std::string text;
    size_t consumed = 0;
  };
  struct Segment {
    Seq first = 0;
    std::string path;
    std::uint64_t bytes = 0;
    Seq maxSeq = 0;  // highest line number written to it
  };
  void Load();
  void LoadSegment(Segment& seg, std::map<std::string, std::string>& owed);
  Seq AppendEntry(char kind, const std::string& source, const std::vector<std::string>& lines,
                  const std::string& unitKey, bool clearOwed, const std::string& note);
  void WriterMain();
  bool WriteBatch(std::vector<Pending>& batch);
  bool OpenCurrent(Seq firstOfNew, bool rotate);
  void ReleaseSegments();
  bool CurrentSpent();
  Seq Push(Entry e);
  bool SettledLocked(const std::string& source) const;
  void NoteAccepting();
  void Fail(const std::string& what);
  void WriteFail(const std::string& what);  // writer thread

  Options opt_;
  ILog& log_;
  mutable std::mutex m_;
  std::condition_variable cv_;       // the writer's wake-up
  std::condition_variable doneCv_;   // a batch finished
  std::deque<Pending> pending_;      // appended, not yet taken by the writer
  std::vector<Pending> inflight_;    // being written
  std::uint64_t pendingBytes_ = 0;
  Seq next_ = 1;
  std::map<std::string, std::string> owed_;         // owed units and their notes, as appended
  std::map<std::string, std::string> durableOwed_;  // the same as written (writer only)
  std::map<Seq, size_t> unconsumed_;         // first line number -> lines of that entry not consumed
  std::map<Seq, Seq> entryLast_;             // first -> last, for the same entries
  std::map<Seq, std::string> entrySource_;   // first -> source, for the same entries
  std::uint64_t depth_ = 0;
  std::vector<Line> recovered_;
  std::deque<Segment> segments_;             // writer (and start) only, but read under m_ for Bytes
  std::uint64_t bytes_ = 0;
  int fd_ = -1;
  bool failing_ = false;
  bool full_ = false;
  bool accepting_ = true;   // as last logged
  bool stop_ = false;
  std::uint64_t syncs_ = 0;
  std::chrono::steady_clock::time_point retryAt_{};
  std::thread writer_;
};

}  // namespace px
