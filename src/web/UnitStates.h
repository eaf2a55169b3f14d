#pragma once
#include <chrono>
#include <string>
#include <vector>

namespace px {

struct ServiceContext;

// One enabled controller unit the engine polls, as /metrics reports it.
struct UnitState {
  const char* transport = "";  // "serial", "ip" or "single_socket"
  int line = 0;                // bus, IP channel, 1 for the single socket
  int point = 0;               // logical point
  std::string tag;             // its tag in the registry; "" when it has no row
  bool up = false;
  std::chrono::system_clock::time_point lastPoll{};  // its last answer; zero before the first
};

// The units of the serial buses, the IP channels and the single socket with
// their up/down state as the engine counts it (down after the failed polls
// that mark it). Loop thread only.
class UnitStates {
public:
  explicit UnitStates(ServiceContext& ctx) : ctx_(ctx) {}
  std::vector<UnitState> Read() const;

private:
  std::string TagOf(int point, const std::string& dottedIp) const;
  ServiceContext& ctx_;
};

}  // namespace px
