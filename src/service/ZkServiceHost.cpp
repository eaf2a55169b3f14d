#include "service/ZkServiceHost.h"

#include "clientserver/ClientApi.h"
#include "engine/EngineApi.h"
#include "service/Registry.h"
#include "service/ServiceDb.h"
#include "service/TransStoreApi.h"

namespace px {

ZkServiceHost::ZkServiceHost(ServiceContext& ctx)
    : ctx_(ctx), query_(&ctx.db->Database1), journal_(ctx.journal) {}

void ZkServiceHost::StoreJournaled(const std::vector<std::pair<IIntakeJournal::Seq, std::string>>& lines) {
  if (ctx_.store) ctx_.store->StoreJournaled(lines);
}

bool ZkServiceHost::Select(const std::string& sql, DbRows& rows) {
  rows = DbRows{};
  ctx_.db->RunSQL(query_, sql, true);
  // A select that failed leaves the query closed; one without rows does not.
  bool ok = query_.Active();
  if (ok) rows = query_.Rows();
  query_.Close();
  return ok;
}

bool ZkServiceHost::Exec(const std::string& sql) { return ctx_.db->RunSQL(query_, sql, false); }

void ZkServiceHost::Save_Trans(const std::string& tag, const std::string& record) {
  if (ctx_.store) ctx_.store->Save_Trans(tag, record);
}

void ZkServiceHost::SetDeviceState(const std::string& tag, const std::string& state) {
  if (ctx_.registry) ctx_.registry->SetDeviceState(tag, state);
}

void ZkServiceHost::SetNoPoll(const std::string& tag, bool flag) {
  if (ctx_.registry) ctx_.registry->SetNoPoll(tag, flag);
}

void ZkServiceHost::QueueForRawWrite(const std::string& line) {
  if (ctx_.engine) ctx_.engine->QueueForRawWrite(line);
}

void ZkServiceHost::Queue_PutDone(const std::string& entry) {
  if (ctx_.client) ctx_.client->Queue_PutDone(entry);
}

void ZkServiceHost::WriteToAuditTrail(const std::string& action, const std::string& detail) {
  if (ctx_.client) ctx_.client->WriteToAuditTrail(action, detail);
}

}  // namespace px
