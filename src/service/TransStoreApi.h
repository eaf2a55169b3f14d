#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace px {

// Transaction storage as the periodic jobs and the ZK module call it.
class ITransStore {
public:
  virtual ~ITransStore() = default;
  // One status query and ten engine lines per tick, more with a backlog.
  virtual void CheckThCommTrans() = 0;
  virtual void Save_Trans(const std::string& tag, const std::string& record) = 0;
  virtual void GetTranCodeFromTable() = 0;
  // At a stop, once the engine starts no new exchange: stores the engine's
  // lines until `until`; true while lines remain. SpoolAtStop then keeps
  // whatever is still left in the spool, stored at the next start.
  virtual bool DrainAtStop(std::chrono::steady_clock::time_point until) {
    (void)until;
    return false;
  }
  virtual void SpoolAtStop() {}
  // At start, once the main database is open and before the controllers are
  // polled: reads how far each database got in the intake journal; what the
  // journal holds beyond that is stored before any new line. False when the
  // databases cannot tell yet (start-up tries again).
  virtual bool PrepareRecovery() { return true; }
  // Terminal lines taken from the journal, each with its number: "Z", the
  // tag, a tab, the record.
  virtual void StoreJournaled(const std::vector<std::pair<std::uint64_t, std::string>>& lines) {
    for (const auto& [seq, line] : lines) {
      const size_t tab = line.find('\t');
      if (line.size() > 1 && line[0] == 'Z' && tab != std::string::npos)
        Save_Trans(line.substr(1, tab - 1), line.substr(tab + 1));
    }
  }
};

}  // namespace px
