#include "web/SignInThrottle.h"

#include <algorithm>

namespace px {

SignInThrottle::SignInThrottle(int failures, std::chrono::seconds window, size_t maxAddresses)
    : failures_(static_cast<size_t>(std::max(1, failures))), window_(window), max_(std::max<size_t>(1, maxAddresses)) {}

void SignInThrottle::Forget(std::deque<Clock::time_point>& times, Clock::time_point now) const {
  while (!times.empty() && times.front() + window_ <= now) times.pop_front();
}

int SignInThrottle::RetryAfter(const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> g(m_);
  auto it = failed_.find(address);
  if (it == failed_.end()) return 0;
  Forget(it->second, now);
  if (it->second.size() < failures_) return 0;
  auto left = std::chrono::ceil<std::chrono::seconds>(it->second.front() + window_ - now).count();
  return static_cast<int>(std::max<long long>(1, left));
}

void SignInThrottle::Failed(const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> g(m_);
  if (!failed_.count(address) && failed_.size() >= max_) {
    for (auto it = failed_.begin(); it != failed_.end();) {
      Forget(it->second, now);
      it = it->second.empty() ? failed_.erase(it) : std::next(it);
    }
    if (failed_.size() >= max_) {
      auto oldest = std::min_element(failed_.begin(), failed_.end(),
                                     [](const auto& a, const auto& b) { return a.second.back() < b.second.back(); });
      failed_.erase(oldest);
    }
  }
  auto& times = failed_[address];
  Forget(times, now);
  times.push_back(now);
  // Only the newest failures matter.
  while (times.size() > failures_) times.pop_front();
}

}  // namespace px
