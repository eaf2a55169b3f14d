#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "common/Log.h"
#include "web/ApiBackend.h"

namespace px {

struct ServiceContext;

// The commands callers of the REST API sent: each is run as a
// workstation's STX command would be, and its reply is taken from the
// reply store as "SZ" takes it, then kept so that asking again gives the
// same answer. Only the token that sent a command may read it. Loop thread
// only.
//
// A reply can be lost for good: the service keeps the reply of the last
// command a client sent only, so once another command has gone out after
// ours without our reply having come, ours will never come; and the store
// lets a reply go after ten minutes. Such a command is reported failed with
// an empty reply.
class ApiCommands {
 public:
  static constexpr size_t kMaxKept = 1000;
  static constexpr std::chrono::minutes kKeepFor{10};
  using Clock = std::chrono::steady_clock;

  ApiCommands(ServiceContext& ctx, ILog& log) : ctx_(ctx), log_(log) {}

  // `params` are the bytes the controller gets (already checked).
  ApiCommandResult Issue(const std::string& tag, const std::string& code, const std::string& params,
                         const std::string& operatorName, std::string& id, Clock::time_point now = Clock::now());
  ApiCommandStatus Status(const std::string& id, const std::string& operatorName, Clock::time_point now = Clock::now());

 private:
  struct Entry {
    std::string id, engineId, owner;
    bool onlyLastKept = true;  // a controller's reply is kept for the last command only
    Clock::time_point issued, finished;
    ApiCommandStatus status;
  };
  // The registry's form of the tag when it names a target for `code`
  // ("" when none); `type` is the controller type of a controller tag.
  std::string Target(const std::string& tag, const std::string& code, std::string& type) const;
  void Forget(Clock::time_point now);
  Entry& Keep(Entry e);

  ServiceContext& ctx_;
  ILog& log_;
  std::deque<Entry> entries_;
  std::uint64_t seq_ = 0;
};

}  // namespace px
