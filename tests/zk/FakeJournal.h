#pragma once
// An intake journal in memory that can refuse, stay unsynced or keep what it
// was given, and remembers every entry.
#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/IntakeJournalApi.h"

namespace px::test {

class FakeJournal : public IIntakeJournal {
public:
  struct Entry {
    std::string source;
    std::vector<std::string> lines;
    Seq first = 0, last = 0;
    bool withdrawn = false;
  };
  bool accept = true;       // Append takes entries
  bool settle = true;       // WaitSettled sees them durable
  bool withdrawable = true; // Withdraw can still take them back
  std::function<void()> onAppend;
  std::vector<Entry> entries;
  std::set<Seq> consumed;
  Seq next = 1;

  Seq Append(const std::string& source, const std::vector<std::string>& lines, const std::string& = "",
             bool = false) override {
    if (!accept || lines.empty()) return 0;
    Entry e{source, lines, next, next + lines.size() - 1};
    next = e.last + 1;
    entries.push_back(e);
    if (onAppend) onAppend();
    return e.last;
  }
  Seq SetOwed(const std::string&, const std::string&, bool) override { return 0; }
  bool Owed(const std::string&) const override { return false; }
  bool Accepting() const override { return accept; }
  bool Settled(const std::string&) const override { return settle; }
  bool WaitSettled(const std::string&, std::chrono::milliseconds) override { return settle; }
  bool Withdraw(Seq first, Seq last) override {
    if (!withdrawable) return false;
    for (Entry& e : entries)
      if (e.first == first && e.last == last) e.withdrawn = true;
    return true;
  }
  void Consumed(Seq seq) override { consumed.insert(seq); }
  std::string SourceOf(Seq seq) const override {
    for (const Entry& e : entries)
      if (seq >= e.first && seq <= e.last) return e.source;
    return "";
  }
  std::vector<Line> TakeRecovered() override { return {}; }
  void EnsureAbove(Seq seq) override { next = std::max(next, seq + 1); }
  std::uint64_t Depth() const override { return 0; }
  std::uint64_t Bytes() const override { return 0; }
};

}  // namespace px::test
