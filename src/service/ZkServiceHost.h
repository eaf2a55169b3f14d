#pragma once
#include "platform/Database.h"
#include "service/ServiceContext.h"
#include "zk/ZkHost.h"

namespace px {

// The service as the terminal module reaches it: its own query on the main
// database, transaction storage, the registry, the engine's raw capture and
// the client protocol's done queue and audit trail. Loop thread.
class ZkServiceHost : public IZkHost {
public:
  explicit ZkServiceHost(ServiceContext& ctx);

  bool Select(const std::string& sql, DbRows& rows) override;
  bool Exec(const std::string& sql) override;
  void Save_Trans(const std::string& tag, const std::string& record) override;
  void SetDeviceState(const std::string& tag, const std::string& state) override;
  void SetNoPoll(const std::string& tag, bool flag) override;
  void QueueForRawWrite(const std::string& line) override;
  void Queue_PutDone(const std::string& entry) override;
  void WriteToAuditTrail(const std::string& action, const std::string& detail) override;
  IIntakeJournal* Journal() override { return journal_; }
  void StoreJournaled(const std::vector<std::pair<IIntakeJournal::Seq, std::string>>& lines) override;

private:
  ServiceContext& ctx_;
  TQuery query_;
  IIntakeJournal* const journal_;  // read from the terminal worker too
};

}  // namespace px
