#include "clientserver/AuditTrail.h"

#include "platform/Sql.h"
#include "service/ServiceDb.h"

namespace px {

TAuditTrail::TAuditTrail(ServiceDb* db, std::shared_ptr<Clock> clock, ILog& log)
    : db_(db), clock_(std::move(clock)), log_(log), query_(db ? &db->Database1 : nullptr) {}

void TAuditTrail::WriteToAuditTrail(const std::string& action, const std::string& detail) {
  try {
    if (!db_) throw std::runtime_error("no database");
    DateTime now = clock_ ? clock_->LocalNow() : SystemClock().LocalNow();
    std::string sql = "insert into Audit_Trail values(" + SqlQuote(FormatDateTime("yyyymmdd", now)) + "," +
                      SqlQuote(FormatDateTime("hhnnss", now)) + "," + SqlQuote(action) + "," + SqlQuote(detail) +
                      "," + SqlQuote("_PXS_") + ")";
    // The statement runner logs the database's own message.
    if (!db_->RunSQL(query_, sql, false)) log_.WriteLog(999, "<PXS.AuditTrail>" + action + " row not stored");
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<PXS.AuditTrail>") + e.what());
  }
}

}  // namespace px
