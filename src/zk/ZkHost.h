#pragma once
#include <string>
#include <utility>
#include <vector>

#include "common/IntakeJournalApi.h"
#include "platform/DbDriver.h"

namespace px {

// What the terminal module asks of the service. Loop thread only: the module
// calls these from its worker through TZkWorker::OnLoop.
class IZkHost {
public:
  virtual ~IZkHost() = default;
  // A select on the main database; false when it failed (the failure is logged).
  virtual bool Select(const std::string& sql, DbRows& rows) = 0;
  virtual bool Exec(const std::string& sql) = 0;
  virtual void Save_Trans(const std::string& tag, const std::string& record) = 0;
  virtual void SetDeviceState(const std::string& tag, const std::string& state) = 0;
  virtual void SetNoPoll(const std::string& tag, bool flag) = 0;
  virtual void QueueForRawWrite(const std::string& line) = 0;
  virtual void Queue_PutDone(const std::string& entry) = 0;
  virtual void WriteToAuditTrail(const std::string& action, const std::string& detail) = 0;

  // The journal a terminal's records go to before its log is cleared; null
  // when the service keeps none. Set once: safe to read from the worker.
  virtual IIntakeJournal* Journal() { return nullptr; }
  // A terminal record line as it is journaled and stored: "Z", the tag, a
  // tab, then the record as Save_Trans takes it.
  static std::string TerminalLine(const std::string& tag, const std::string& record) { return "Z" + tag + "\t" + record; }
  // Stores journaled terminal lines in one go, each with its journal number
  // (0 when it has none), and reports them consumed once they are durable.
  virtual void StoreJournaled(const std::vector<std::pair<IIntakeJournal::Seq, std::string>>& lines) {
    for (const auto& [seq, line] : lines) {
      const size_t tab = line.find('\t');
      if (line.size() > 1 && line[0] == 'Z' && tab != std::string::npos)
        Save_Trans(line.substr(1, tab - 1), line.substr(tab + 1));
    }
  }
};

}  // namespace px
