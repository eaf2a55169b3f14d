#pragma once
#include <chrono>
#include <string>

namespace px {

// The event stream for integrators as the service drives it.
class IEventStream {
public:
  virtual ~IEventStream() = default;
  // Loop thread: rows may have been stored; publish what is new.
  virtual void AfterStorageTick() = 0;
  // Loop thread: a unit's state was written ("UP" / "DOWN").
  virtual void UnitState(const std::string& tag, const std::string& state) = 0;
  // Service thread, after the last rows were stored at a stop: publishes
  // what it can within `within`, records how far the broker acknowledged
  // and disconnects. Given less than kQuickStop it runs no statement (the
  // database may be what made the stop late) and only disconnects.
  static constexpr std::chrono::milliseconds kQuickStop{1000};
  virtual void Stop(std::chrono::milliseconds within) = 0;
};

}  // namespace px
