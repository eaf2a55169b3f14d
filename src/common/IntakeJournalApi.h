#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace px {

// The write-ahead journal of everything controllers and terminals hand over.
//
// A device deletes a record once the host's next exchange tells it the
// record arrived. So every record is appended here, and made durable, before
// that exchange goes out; the service stores it later and reports it
// consumed, and after a crash the records not yet consumed are stored from
// the journal at the next start.
//
// Sources: each queue a record passes through has a name ("B1".."B8" for
// serial buses, "IP1".."IP12" for IP channels, "SS" for the single socket,
// "ZK" + the terminal's 12-digit address key for a terminal). Within a source
// records are consumed in the order they were appended.
//
// Units: a controller that may hold a block of records the journal does not
// have yet (a poll that asks for records is about to go out, or a repeat is
// owed) is marked "owed" under its unit key ("B1U03", or the 12-digit address
// key, "U" and the unit for IP and single-socket controllers). A unit owed at
// a crash or stop gets a repeat request (QR) as its first poll after the
// restart, so its controller sends that block again instead of deleting it.
//
// Every call is safe from any thread.
class IIntakeJournal {
public:
  using Seq = std::uint64_t;
  virtual ~IIntakeJournal() = default;

  // Appends the lines one device handed over in one exchange as one entry:
  // after a crash either all of them are there or none. With `clearOwed` the
  // same entry clears the unit's owed mark. Returns the sequence number of
  // the last line (the lines have consecutive numbers); 0 when the journal
  // takes nothing now (see Accepting): the caller then refuses the block, so
  // that the device keeps it.
  virtual Seq Append(const std::string& source, const std::vector<std::string>& lines,
                     const std::string& unitKey = "", bool clearOwed = false) = 0;
  // Marks or clears a unit's owed mark; returns the entry's number, 0 when
  // the mark was already so (nothing to wait for) or cannot be written.
  virtual Seq SetOwed(const std::string& source, const std::string& unitKey, bool owed) = 0;
  // The owed mark as it stands (read from the journal at start, then as set).
  virtual bool Owed(const std::string& unitKey) const = 0;
  // Appends a terminal's records as Append does and, in the same entry,
  // notes on `unitKey` what identifies them on the device (`note`), kept
  // across restarts until SetOwed(source, unitKey, false): a log that could
  // not be cleared is known again after a crash, and its records are not
  // taken twice.
  virtual Seq AppendNoted(const std::string& source, const std::vector<std::string>& lines,
                          const std::string& unitKey, const std::string& note) {
    (void)unitKey;
    (void)note;
    return Append(source, lines);
  }
  // The note of a unit ("" when none).
  virtual std::string Note(const std::string& unitKey) const {
    (void)unitKey;
    return {};
  }

  // Room left and the file writable: records may be asked for.
  virtual bool Accepting() const = 0;
  // Every entry of `source` appended so far is on disk (or, for lines, stored
  // by the service, or withdrawn). A transport sends nothing while it is not.
  virtual bool Settled(const std::string& source) const = 0;
  // Not on the event loop: waits until Settled(source) or `max` has passed.
  virtual bool WaitSettled(const std::string& source, std::chrono::milliseconds max) = 0;
  // Takes back entries first..last not yet written (a terminal whose log is
  // kept after all, an owed mark whose poll is not sent). True when none of
  // them will ever be read back from the journal; false when they are on
  // disk already.
  virtual bool Withdraw(Seq first, Seq last) = 0;

  // The service has stored the line (or kept it durably elsewhere): it is
  // never read back from the journal.
  virtual void Consumed(Seq seq) = 0;

  // The source a line not yet consumed was appended for ("" when unknown).
  virtual std::string SourceOf(Seq seq) const = 0;

  // Lines appended and not yet consumed, and the bytes of journal on disk.
  virtual std::uint64_t Depth() const = 0;
  virtual std::uint64_t Bytes() const = 0;

  // At start: the lines earlier runs left, in order, each counted as not
  // consumed until Consumed is called for it (the databases know which of
  // them they have). Taken once.
  struct Line {
    Seq seq = 0;
    std::string source;
    std::string text;
    std::int64_t timeMs = 0;  // when it was appended (the clock of the day)
  };
  virtual std::vector<Line> TakeRecovered() = 0;
  // New lines get numbers above `seq` (the highest a database has recorded).
  virtual void EnsureAbove(Seq seq) = 0;
};

}  // namespace px
