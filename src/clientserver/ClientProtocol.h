#pragma once
#include <string>

#include "clientserver/AuditTrail.h"
#include "clientserver/ClientApi.h"
#include "clientserver/CommandRouter.h"
#include "clientserver/DoneQueue.h"
#include "clientserver/JobQueue.h"
#include "clientserver/ReplyStore.h"
#include "clientserver/TemplateJobs.h"
#include "common/Log.h"
#include "platform/Database.h"

namespace px {

struct ServiceContext;

// The client request protocol: answers each request at once from the
// registry, the monitor and its stores, and sets commands and template jobs
// in motion; their outcomes wait in the reply store and the done queue.
// Everything runs on the loop thread.
class TClientProtocol : public IClientProtocol {
public:
  TClientProtocol(ServiceContext& ctx, ILog& log);

  std::string ReplyToClientQuery(const std::string& request, const std::string& remoteAddress) override;

  void PutReplyByID(const std::string& id, const std::string& reply) override { replies_.PutReplyByID(id, reply); }
  bool GetReplyByID(const std::string& id, std::string& reply) { return replies_.GetReplyByID(id, reply); }
  std::string LastCommandID() const override { return router_.LastCommandID(); }
  // The service's own commands (clock updates): nobody fetches their
  // replies, so they are not stored.
  bool RunCommCommand(const std::string& name, int bus, int unit, const std::string& ip, const std::string& params,
                      std::string& reply) override {
    return router_.RunCommCommand(name, bus, unit, ip, params, reply, false);
  }
  bool TH_ExecClientCommand(const std::string& ctrl, const std::string& code, const std::string& params,
                            std::string& result) {
    return router_.TH_ExecClientCommand(ctrl, code, params, result);
  }

  int Queue_PutCommand(const std::string& line) { return jobs_.Queue_PutCommand(line); }
  int Queue_GetCommand(std::string& line) override { return jobs_.Queue_GetCommand(line); }
  int Queue_ExecCommand(const std::string& line) override { return templateJobs_.Queue_ExecCommand(line); }
  int Queue_PutDone(const std::string& entry) override { return done_.Queue_PutDone(entry); }
  int Queue_GetDone(const std::string& key, std::string& tag, std::string& yesNoOrMessage, std::string& jobCode) {
    return done_.Queue_GetDone(key, tag, yesNoOrMessage, jobCode);
  }
  bool ServerUploadTemplate(const std::string& mode, const std::string& ctrl, const std::string& clientKey,
                            const std::string& user, const std::string& unit, const std::string& target) {
    return templateJobs_.ServerUploadTemplate(mode, ctrl, clientKey, user, unit, target);
  }
  void WriteToAuditTrail(const std::string& action, const std::string& detail) override {
    audit_.WriteToAuditTrail(action, detail);
  }
  bool RunCommandFor(const std::string& operatorName, const std::string& ctrl, const std::string& code,
                     const std::string& params, std::string& id) override;
  bool CommandBusy() const override { return router_.Refused(); }
  bool TakeReply(const std::string& id, std::string& reply) override;

  const TCommandRouter& Router() const { return router_; }
  const TDoneQueue& DoneQueue() const { return done_; }
  const TJobQueue& JobQueue() const { return jobs_; }
  bool Busy() const { return busy_; }

private:
  void Poll(const std::string& s, const std::string& remote, std::string& reply);
  void Mobile(const std::string& s, const std::string& remote, std::string& reply);
  void MobileLogin(const std::string& s, std::string& reply);
  void Workstation(std::string s, const std::string& remote, std::string& reply);
  // True (and logged) when the parameters could put a frame of their own on a bus.
  bool RefuseParams(const std::string& ctrl, const std::string& code, const std::string& params,
                    const std::string& remote);
  void FetchReply(const std::string& s, std::string& reply);

  ServiceContext& ctx_;
  ILog& log_;
  TReplyStore replies_;
  TDoneQueue done_;
  TJobQueue jobs_;
  TCommandRouter router_;
  TTemplateJobs templateJobs_;
  TAuditTrail audit_;
  TQuery query_;  // the login look-up
  bool busy_ = false;
};

}  // namespace px
