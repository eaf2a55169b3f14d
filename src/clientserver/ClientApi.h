#pragma once
#include <string>

namespace px {

// What the rest of the service calls in the client request protocol.
class IClientProtocol {
public:
  virtual ~IClientProtocol() = default;
  // Stores a command reply under its ID for the client to fetch.
  virtual void PutReplyByID(const std::string& id, const std::string& reply) = 0;
  // The ID of the command most recently handed to the engine by RunCommCommand.
  virtual std::string LastCommandID() const = 0;
  // Hands a command to the engine; true with the command ID in reply.
  virtual bool RunCommCommand(const std::string& name, int bus, int unit, const std::string& ip,
                              const std::string& params, std::string& reply) = 0;
  // Template jobs: 0 with the oldest line, 1 when empty; 0 when the job succeeded.
  virtual int Queue_GetCommand(std::string& line) = 0;
  virtual int Queue_ExecCommand(const std::string& line) = 0;

  // Answers one unscrambled request from the client at remoteAddress
  // (dotted IPv4 text); an empty reply means nothing is sent back.
  virtual std::string ReplyToClientQuery(const std::string& request, const std::string& remoteAddress) {
    return {};
  }
  // A finished-job or progress notice for the client whose address key
  // begins the entry; the slot number used, 0 when it was dropped.
  virtual int Queue_PutDone(const std::string& entry) { return 0; }
  // One row of the audit trail, stamped with the current local time.
  virtual void WriteToAuditTrail(const std::string& action, const std::string& detail) {}

  // A controller command run as a workstation's STX request runs it, for a
  // caller known by name rather than by connection (the REST API): the same
  // parameter check and routing, plus an audit row naming the operator.
  // True with the command ID; false when refused, CommandBusy() telling
  // whether because another command was being executed.
  virtual bool RunCommandFor(const std::string& operatorName, const std::string& ctrl, const std::string& code,
                             const std::string& params, std::string& id) {
    return false;
  }
  virtual bool CommandBusy() const { return false; }
  // A command's reply as "SZ" hands it over (a card upload's card lines
  // included), taken from the store; false while it is not there.
  virtual bool TakeReply(const std::string& id, std::string& reply) { return false; }
};

}  // namespace px

namespace px {

// The listening socket for client programs (opened once start-up succeeded).
class IClientListener {
public:
  virtual ~IClientListener() = default;
  virtual bool Open(int port) = 0;  // false with the failure logged
  virtual void Close() = 0;
  virtual bool Active() const = 0;
};

}  // namespace px
