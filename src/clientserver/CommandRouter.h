#pragma once
#include <string>

#include "clientserver/CardUploadFile.h"
#include "common/Log.h"

namespace px {

struct ServiceContext;

// Routes one client command to its target: I/O points and door controllers
// through the engine, ZK terminals through their command queue. Loop thread.
class TCommandRouter {
public:
  TCommandRouter(ServiceContext& ctx, ILog& log);

  // The 5-letter command name of a 2-letter wire code, "" when unknown.
  static std::string CommandName(const std::string& code);

  // True with the command ID in `result`. A call while another is running
  // is refused (Refused() then reports it).
  bool TH_ExecClientCommand(const std::string& ctrl, const std::string& code, const std::string& params,
                            std::string& result);
  // forClient: the reply is awaited by a client, so the ID becomes the last
  // command ID whose reply is stored.
  bool RunCommCommand(const std::string& name, int bus, int unit, const std::string& ip,
                      const std::string& params, std::string& reply, bool forClient = true);

  bool Refused() const { return execRefused_; }
  // The ID of the client command most recently handed to the engine.
  const std::string& LastCommandID() const { return lastCommandID_; }
  // The ID of the last card upload ("RC"), until its reply is fetched.
  const std::string& LastCardUploadID() const { return lastCardUploadID_; }
  void ClearLastCardUploadID() { lastCardUploadID_.clear(); }
  const TCardUploadFile& CardUploadFile() const { return cardFile_; }

private:
  bool ExecZk(const std::string& ctrl, const std::string& type, const std::string& address12, int unit,
              const std::string& code, const std::string& params, std::string& result);
  ServiceContext& ctx_;
  ILog& log_;
  TCardUploadFile cardFile_;
  bool execBusy_ = false;
  bool execRefused_ = false;
  std::string lastCommandID_;
  std::string lastCardUploadID_;
};

}  // namespace px
