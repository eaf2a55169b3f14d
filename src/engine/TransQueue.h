#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "common/IntakeJournalApi.h"
#include "common/Log.h"
#include "common/RingQueue.h"

namespace px {

// The transaction queue of a bus, an IP channel or the single socket.
// A record a controller has handed over is deleted there once the next poll
// (other than a repeat request) arrives, so the queue must never drop one:
// when it fills past the high-water mark the transport stops asking for
// records (no QA or QR, status polls only) until the service has taken it
// down to the low-water mark; the controllers keep their records meanwhile.
// The same holds while the service cannot keep what it takes (`held`) and
// while the intake journal takes no records.
// A reply whose records do not fit is refused whole and asked for again.
//
// With a journal, every line is appended to it before it is queued (the
// records of one reply as one entry), and carries its journal number to the
// service; the transport sends nothing while its lines are not settled
// there (`Settled`). Loop thread only.
class TransQueue {
public:
  using Seq = IIntakeJournal::Seq;
  TransQueue(size_t slots, std::string name, ILog& log, const std::atomic<bool>* held = nullptr,
             IIntakeJournal* journal = nullptr, std::string source = "");

  size_t HighWater() const { return ring_.Slots() / 2; }
  size_t LowWater() const { return ring_.Slots() / 4; }

  // Up/down lines: as any ring, the newest is dropped when full.
  bool Put(const std::string& line);
  // The records of one reply of `unitKey`, whose owed mark they clear (a
  // reply without records leaves it); false (none queued, the unit keeps
  // them) when they do not fit or the journal refuses them.
  bool PutRecords(const std::vector<std::string>& lines, const std::string& unitKey = "");
  bool Get(std::string& line, Seq& seq);
  bool Get(std::string& line) {
    Seq seq = 0;
    return Get(line, seq);
  }
  bool Empty() const { return ring_.Empty(); }
  size_t Count() const { return ring_.Count(); }
  // Room for the records of one reply and an up/down line after them.
  bool HasRoom(size_t records) const { return ring_.Count() + records + 1 <= ring_.Slots(); }
  // Whether the transport may ask for records now. Logs (level 999) when
  // asking stops at the high-water mark and when it resumes at the low one.
  bool MayAsk();
  // Logs (level 999) that a reply was refused for want of room.
  void Refused(const std::string& who, size_t records);

  IIntakeJournal* Journal() const { return journal_; }
  const std::string& Source() const { return source_; }
  // Every line queued here is durable (or stored): the transport may send.
  bool Settled() const { return !journal_ || journal_->Settled(source_); }
  // A poll that asks `unitKey` for records is about to go out: its owed mark
  // is set first. `wait` is the mark's number, to wait for, or 0 when there
  // is nothing to wait for (already owed, or no journal). False when the mark
  // cannot be written: then no poll may ask for records.
  bool MarkOwed(const std::string& unitKey, Seq& wait);
  // A reply without records (or a repeat cleared): the unit owes nothing.
  void ClearOwed(const std::string& unitKey);
  bool Owed(const std::string& unitKey) const { return journal_ && journal_->Owed(unitKey); }

private:
  struct Line {
    std::string text;
    Seq seq = 0;
  };
  RingQueue<Line> ring_;
  std::string name_;
  ILog& log_;
  const std::atomic<bool>* held_;
  IIntakeJournal* journal_;
  std::string source_;
  bool full_ = false;
};

}  // namespace px
