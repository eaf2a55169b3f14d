#pragma once
#include <memory>
#include <string>

#include "common/DateTime.h"
#include "common/Log.h"
#include "platform/Database.h"

namespace px {

class ServiceDb;

// The audit trail of client actions: complete rows of date "yyyymmdd",
// time "hhmmss", action, detail and the source "_PXS_" in Audit_Trail.
class TAuditTrail {
public:
  TAuditTrail(ServiceDb* db, std::shared_ptr<Clock> clock, ILog& log);
  // A failure is logged ("<PXS.AuditTrail>") and the caller goes on.
  void WriteToAuditTrail(const std::string& action, const std::string& detail);

private:
  ServiceDb* db_;
  std::shared_ptr<Clock> clock_;
  ILog& log_;
  TQuery query_;  // its own, so an audit row never disturbs a caller's open query
};

}  // namespace px
