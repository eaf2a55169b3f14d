#include "web/ApiLoopBackend.h"

#include "service/ServiceContext.h"
#include "service/ServiceDb.h"

namespace px {

ApiLoopBackend::ApiLoopBackend(ServiceContext& ctx, ILog& log, OnLoop onLoop)
    : ctx_(ctx), onLoop_(std::move(onLoop)), units_(ctx), commands_(ctx, log) {}

ApiLoopBackend::~ApiLoopBackend() = default;

bool ApiLoopBackend::Units(std::vector<ApiUnit>& out) {
  bool ok = false;
  return onLoop_([&] { ok = units_.Read(out); }) && ok;
}

bool ApiLoopBackend::Transactions(std::int64_t after, int limit, const std::string& tag, const std::string& card,
                                  std::vector<TransactionEvent>& out) {
  bool ok = false;
  return onLoop_([&] { ok = ReadEvents(after, limit, tag, card, out); }) && ok;
}

ApiCommandResult ApiLoopBackend::Command(const std::string& tag, const std::string& code, const std::string& params,
                                         const std::string& operatorName, std::string& id) {
  ApiCommandResult r = ApiCommandResult::Unavailable;
  onLoop_([&] { r = commands_.Issue(tag, code, params, operatorName, id); });
  return r;
}

ApiCommandStatus ApiLoopBackend::CommandStatus(const std::string& id, const std::string& operatorName) {
  ApiCommandStatus s;
  onLoop_([&] { s = commands_.Status(id, operatorName); });
  return s;
}

bool ApiLoopBackend::EventTableExists(bool& exists) {
  TDatabase& db = ctx_.db->Database1;
  if (tableSeenOn_ && tableSeenOn_ == db.Connection()) return exists = true;
  const std::string sql = db.Dialect() == "postgresql"
                              ? "select case when to_regclass('trans_event') is null then 0 else 1 end as n"
                              : "select count(*) as n from sqlite_master where type = 'table' and name = 'trans_event'";
  ctx_.db->RunSQL(*query_, sql, true);
  if (!query_->Active()) return false;
  exists = query_->FieldOr("n") == "1";
  query_->Close();
  if (exists) tableSeenOn_ = db.Connection();
  return true;
}

bool ApiLoopBackend::ReadEvents(std::int64_t after, int limit, const std::string& tag, const std::string& card,
                                std::vector<TransactionEvent>& out) {
  if (!ctx_.db || !ctx_.db->Database1.Connected()) return false;
  if (!query_) query_ = std::make_unique<TQuery>(&ctx_.db->Database1);
  bool exists = false;
  if (!EventTableExists(exists)) return false;
  if (!exists) return true;
  ctx_.db->RunSQL(*query_, TransactionEvent::SelectSql(after, limit, tag, card), true);
  if (!query_->Active()) {
    tableSeenOn_ = nullptr;
    return false;
  }
  out = TransactionEvent::FromRows(query_->Rows().columns, query_->Rows().rows);
  query_->Close();
  return true;
}

}  // namespace px
