#pragma once
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace px {

// Slows down guessing the token: an address with `failures` failed
// sign-ins within the window is refused until the oldest of them is out of
// it. At most `maxAddresses` addresses are remembered; past that the one
// with the oldest failure is forgotten. Safe from any thread.
class SignInThrottle {
public:
  using Clock = std::chrono::steady_clock;
  SignInThrottle(int failures, std::chrono::seconds window, size_t maxAddresses = 4096);

  // Seconds before this address may try again; 0 when it may now.
  int RetryAfter(const std::string& address, Clock::time_point now);
  void Failed(const std::string& address, Clock::time_point now);

private:
  void Forget(std::deque<Clock::time_point>& times, Clock::time_point now) const;
  size_t failures_;
  std::chrono::seconds window_;
  size_t max_;
  std::mutex m_;
  std::map<std::string, std::deque<Clock::time_point>> failed_;
};

}  // namespace px
