#pragma once
#include <functional>
#include <memory>

#include "common/Log.h"
#include "platform/Database.h"
#include "platform/DbDriver.h"
#include "web/ApiBackend.h"
#include "web/ApiCommands.h"
#include "web/ApiUnits.h"

namespace px {

struct ServiceContext;

// The REST API's view of the service. Every call hops to the event loop
// (the registry, the engine, the client protocol and the main database live
// there) and does only the reading there: answers are built on the web
// server's thread.
class ApiLoopBackend : public IApiBackend {
 public:
  // Runs a function on the loop and waits for it; false when it did not run.
  using OnLoop = std::function<bool(const std::function<void()>&)>;
  ApiLoopBackend(ServiceContext& ctx, ILog& log, OnLoop onLoop);
  ~ApiLoopBackend() override;

  bool Units(std::vector<ApiUnit>& out) override;
  bool Transactions(std::int64_t after, int limit, const std::string& tag, const std::string& card,
                    std::vector<TransactionEvent>& out) override;
  ApiCommandResult Command(const std::string& tag, const std::string& code, const std::string& params,
                           const std::string& operatorName, std::string& id) override;
  ApiCommandStatus CommandStatus(const std::string& id, const std::string& operatorName) override;

 private:
  // Loop thread.
  bool ReadEvents(std::int64_t after, int limit, const std::string& tag, const std::string& card,
                  std::vector<TransactionEvent>& out);
  bool EventTableExists(bool& exists);

  ServiceContext& ctx_;
  OnLoop onLoop_;
  ApiUnits units_;
  ApiCommands commands_;
  std::unique_ptr<TQuery> query_;
  // The connection on which trans_event was seen: it is made by the first
  // stored transaction, and a read before that is an empty page.
  const DbConnection* tableSeenOn_ = nullptr;
};

}  // namespace px
