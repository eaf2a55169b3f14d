#pragma once
#include <string>

#include "common/DateTime.h"
#include "common/Log.h"
#include "common/RingQueue.h"
#include "zk/ZkApi.h"

namespace px {

// The terminal command queue: 200 fixed-width lines, filled by client
// requests and drained one per tick by the periodic job. Loop thread only.
//
// Line: tag 12, address 21, unit 4, kind 6, user 10, parameter 2, command
// ID 9, type 10, each right-aligned. The address column is wider than the
// twelve digits so that a terminal's ":port" (or a dotted address) travels
// with its commands.
class TZkCommandRing {
public:
  static constexpr int kSlots = 200;
  TZkCommandRing(ILog& log, std::shared_ptr<Clock> clock);

  // False, with a level-999 line, when a field does not fit its column or
  // holds a control character, or when the ring is full: the command is
  // refused, never queued into shifted columns or dropped later.
  bool SendQPut(const std::string& tag, const std::string& address, std::string& id, const std::string& type,
                const std::string& param, const std::string& user, const std::string& kind,
                const std::string& unit);
  bool SendQGet(ZkCommand& cmd);
  size_t Waiting() const { return ring_.Count(); }

private:
  ILog& log_;
  std::shared_ptr<Clock> clock_;
  RingQueue<std::string> ring_;
};

}  // namespace px
