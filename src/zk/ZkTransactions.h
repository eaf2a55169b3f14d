#pragma once
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "zk/ZkModuleState.h"

namespace px {

// Collection of one terminal's attendance log into the service's
// transactions, in the fixed-width form controller transactions use.
//
// The terminal is disabled from the read of its log until the log is
// cleared, so that nobody can clock in between and be erased by the clear.
// With the service's intake journal, the records read go to the journal as
// one entry and the log is cleared only once the journal holds them; the
// rows are then stored from the lines journaled. Without a journal they are
// stored before the clear.
class TZkTransactions {
public:
  explicit TZkTransactions(TZkModuleState& mod) : mod_(mod) {}

  // Reads, stores and clears the log of the terminal at `address` (12 digits
  // or dotted, optionally ":port"). `skipped` as IZKModule::GetTransactions.
  bool GetTransactions(int unit, const std::string& tag, const std::string& address, bool& skipped);

  // "ddmmhhmm" + six-digit user + mark; false when any field is out of range
  // or the user is 0 (or the text is longer than 15), or when `year` has no
  // such day (the year the store will give the record; 0 skips that check).
  static bool ValidTransaction(const std::string& text, int year = 0);
  // The direction mark of one record ("7", "9", "0" or "").
  std::string DirectionMark(int unit, int verifyMode, int inOutState) const;

  // Records handed to the loop at once: few hand-overs for a long log.
  static constexpr size_t kBatch = 200;
  // How long the terminal, held disabled, waits for the journal's sync.
  static constexpr std::chrono::milliseconds kJournalWait{10000};

private:
  struct Read {
    std::string raw;   // raw capture line
    std::string save;  // the record as stored; empty for a corrupt one
    std::string key;   // every field the terminal gave, to know the record again
    bool stored = false;  // stored at an earlier poll whose clear failed
  };
  bool Collect(int unit, const std::string& tag, const std::string& address, int port, bool& skipped);
  bool ReadFailed(const std::string& tag, const std::string& address, int port);
  bool ReadRecords(int unit, const std::string& address, std::vector<Read>& out, bool& corrupt);
  // Hands raw lines and rows to the loop, kBatch at a time; `seqLast` is the
  // journal number of the last row (0: no journal). False when a hand-over
  // did not complete.
  bool Store(const std::string& tag, const std::vector<Read>& reads, bool rows, IIntakeJournal::Seq seqLast);
  // Appends the rows to the journal and waits until they are durable.
  bool Journal(IIntakeJournal& journal, const std::string& source, const std::string& tag,
               const std::vector<Read>& reads, IIntakeJournal::Seq& last);
  void MarkCorrupt(const std::string& tag);
  // The record keys of a journal note, in log order.
  static std::vector<std::string> SplitNote(const std::string& note);

  TZkModuleState& mod_;
  // Per terminal: records stored whose clear then failed, in log order. The
  // next poll stores them again only when its log does not begin with them.
  std::map<std::string, std::vector<std::string>> unclearedHead_;
};

}  // namespace px
