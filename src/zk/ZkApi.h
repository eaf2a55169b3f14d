#pragma once
#include <string>

namespace px {

// One queued ZK terminal command (a line of the ZK command ring).
struct ZkCommand {
  std::string tag, address, id, type, param, user, kind, unit;
};

// The ZK terminal module as the service and the client protocol see it.
class IZKModule {
public:
  virtual ~IZKModule() = default;
  virtual bool SendQPut(const std::string& tag, const std::string& address, std::string& id,
                        const std::string& type, const std::string& param, const std::string& user,
                        const std::string& kind, const std::string& unit) = 0;
  virtual bool SendQGet(ZkCommand& cmd) = 0;
  // Executes one command; `value` carries the verification style out of INS and into USR.
  virtual bool Send(const ZkCommand& cmd, int& value) = 0;
  virtual bool GetTransactions(int unit, const std::string& tag, const std::string& address) = 0;
  // Template collection from the master terminal.
  virtual void SetMachineNumber(int n) = 0;
  virtual void SetRedirectId(const std::string& key) = 0;
  virtual bool UploadAll(const std::string& address, int port) = 0;
  virtual bool UploadOne(const std::string& address, int port, const std::string& user) = 0;
};

}  // namespace px
