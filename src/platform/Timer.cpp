#include "platform/Timer.h"

#include <asio/steady_timer.hpp>
#include <chrono>

namespace px {

struct TTimer::State {
  explicit State(asio::io_context& ctx) : timer(ctx) {}
  asio::steady_timer timer;
  unsigned long generation = 0;
  TTimer* owner = nullptr;
};

TTimer::TTimer(EventLoop& loop, int intervalMs, bool enabled)
    : loop_(loop), st_(std::make_shared<State>(loop.Context())), interval_(intervalMs) {
  st_->owner = this;
  if (enabled) SetEnabled(true);
}

TTimer::~TTimer() {
  st_->owner = nullptr;
  ++st_->generation;
  st_->timer.cancel();
}

void TTimer::SetInterval(int ms) {
  if (ms == interval_) return;
  interval_ = ms;
  if (enabled_) Arm();
}

void TTimer::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  if (on) {
    Arm();
  } else {
    ++st_->generation;
    st_->timer.cancel();
  }
}

void TTimer::Arm() {
  auto gen = ++st_->generation;
  st_->timer.expires_after(std::chrono::milliseconds(interval_ > 0 ? interval_ : 1));
  std::weak_ptr<State> weak = st_;
  st_->timer.async_wait([weak, gen](const std::error_code& ec) {
    auto st = weak.lock();
    if (!st || ec || st->generation != gen || !st->owner) return;
    TTimer* t = st->owner;
    if (!t->enabled_) return;
    // Re-arm first, as a periodic timer does; a handler that disables itself
    // cancels this again.
    t->Arm();
    if (t->OnTimer) t->OnTimer();
  });
}

}  // namespace px
