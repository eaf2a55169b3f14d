#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "events/TransactionEvent.h"

namespace px {

// One controller, terminal or template device as GET /api/v1/units lists it.
struct ApiUnit {
  std::string tag, type;
  std::string transport;  // "serial", "ip", "single_socket" or "terminal"
  int bus = 0;            // serial only
  std::string address;    // dotted address; not serial
  int unit = 0;
  bool active = false;  // polled by this server
  bool up = false;
  std::chrono::system_clock::time_point lastPoll{};  // zero: no good poll since start
  std::string doorStatus;                            // "" where the model reports none
};

// What a command request came to.
enum class ApiCommandResult {
  Queued,        // id set
  UnknownTag,    // no controller, terminal or I/O point of that tag
  NotForDevice,  // a terminal takes only SC, AT, AC and DC
  Busy,          // another command was being executed; try again
  Refused,       // the engine did not take it (unit not enabled, line not open)
  Unavailable,   // the service is not ready
};

struct ApiCommandStatus {
  enum class State { Unknown, Pending, Done, Failed } state = State::Unknown;
  std::string reply;
};

// The service's side of the REST API. Called from the web server's worker
// threads; an implementation does its work on the event loop.
class IApiBackend {
 public:
  virtual ~IApiBackend() = default;
  // False while the service cannot say (not started, stopping).
  virtual bool Units(std::vector<ApiUnit>& out) = 0;
  // Stored transactions after the cursor in storage order; false when the
  // database cannot be read now.
  virtual bool Transactions(std::int64_t after, int limit, const std::string& tag, const std::string& card,
                            std::vector<TransactionEvent>& out) = 0;
  // Runs a command for the named operator (a token's name).
  virtual ApiCommandResult Command(const std::string& tag, const std::string& code, const std::string& params,
                                   const std::string& operatorName, std::string& id) = 0;
  // A command's state; Unknown for an id this operator was never given.
  virtual ApiCommandStatus CommandStatus(const std::string& id, const std::string& operatorName) = 0;
};

}  // namespace px
