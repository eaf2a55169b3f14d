#pragma once
#include <string>

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
};

}  // namespace px
