#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "common/DateTime.h"
#include "common/Log.h"
#include "platform/Timer.h"
#include "zk/ZkApi.h"
#include "zk/ZkCardList.h"
#include "zk/ZkCommandRing.h"
#include "zk/ZkCommands.h"
#include "zk/ZkHost.h"
#include "zk/ZkModuleState.h"
#include "zk/ZkSettings.h"
#include "zk/ZkTemplates.h"
#include "zk/ZkTransactions.h"
#include "zk/ZkWorker.h"

namespace px {

class EventLoop;

// The ZK terminal module: the installation's fingerprint terminals, one
// terminal control each, their attendance logs, their command queue and
// the template collection and installation.
//
// With an event loop, terminal work runs on the module's worker thread and
// the one-second timer on the loop; the module is created and destroyed on
// the loop thread. Without one (tests of the terminal steps) everything runs
// on the caller's thread and TickOneSecond is called by hand.
class TZKF7Form : public IZKModule {
public:
  struct Options {
    ZkSettings settings;
    EventLoop* loop = nullptr;
    std::shared_ptr<Clock> clock;
    const std::atomic<bool>* stopping = nullptr;  // the service is stopping
  };
  // Builds the terminal table from rdrmain (through the host, on the caller's thread).
  TZKF7Form(Options options, ILog& log, std::shared_ptr<IZkHost> host, ZkemFactory factory);
  ~TZKF7Form() override;

  bool SendQPut(const std::string& tag, const std::string& address, std::string& id, const std::string& type,
                const std::string& param, const std::string& user, const std::string& kind,
                const std::string& unit) override {
    return ring_.SendQPut(tag, address, id, type, param, user, kind, unit);
  }
  bool SendQGet(ZkCommand& cmd) override { return ring_.SendQGet(cmd); }
  bool Send(const ZkCommand& cmd, int& value) override { return commands_.Send(cmd, value); }
  bool GetTransactions(int unit, const std::string& tag, const std::string& address, bool& skipped) override {
    return transactions_.GetTransactions(unit, tag, address, skipped);
  }
  void SetMachineNumber(int n) override { mod_.machine = n; }
  void SetRedirectId(const std::string& key) override { mod_.redirectId = key; }
  bool UploadAll(const std::string& address, int port) override { return templates_.UploadAll(address, port); }
  bool UploadOne(const std::string& address, int port, const std::string& user) override {
    return templates_.UploadOne(address, port, user);
  }
  bool RunOffLoop(std::function<void()> work, std::function<void()> done) override {
    return worker_.Run(std::move(work), std::move(done));
  }
  bool Busy() const override { return worker_.Busy(); }

  void TickOneSecond();

  // For the service's own checks and tests.
  TZkModuleState& State() { return mod_; }
  TZkTemplates& Templates() { return templates_; }
  TZkCardList& Cards() { return cards_; }
  TZkCommands& Commands() { return commands_; }
  TZkCommandRing& Ring() { return ring_; }

private:
  ILog& log_;
  std::shared_ptr<IZkHost> host_;
  const std::atomic<bool>* stopping_;
  TZkWorker worker_;
  TZkModuleState mod_;
  TZkCardList cards_;
  TZkTransactions transactions_;
  TZkTemplates templates_;
  TZkCommands commands_;
  TZkCommandRing ring_;
  std::unique_ptr<TTimer> timer_;
};

}  // namespace px
