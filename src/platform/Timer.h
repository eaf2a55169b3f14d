#pragma once
#include <functional>
#include <memory>

#include "platform/EventLoop.h"

namespace px {

// A periodic timer component on the event loop: while Enabled it calls
// OnTimer every Interval milliseconds. Enabling it (or changing the interval)
// starts the count afresh. Handlers disable their timer on entry and re-arm
// it at the end, so a tick never overlaps the next. Use on the loop thread.
class TTimer {
public:
  explicit TTimer(EventLoop& loop, int intervalMs = 1000, bool enabled = false);
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  int Interval() const { return interval_; }
  void SetInterval(int ms);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on);
  int Tag = 0;
  std::function<void()> OnTimer;

private:
  void Arm();
  struct State;
  EventLoop& loop_;
  std::shared_ptr<State> st_;
  int interval_;
  bool enabled_ = false;
};

}  // namespace px
