#pragma once
#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace px {

// Calls per token: a bucket per name that refills at `perMinute` a minute
// and holds at most a tenth of that (at least one), so a caller may burst
// briefly but not keep the loop busy for others. Safe from any thread.
class ApiRateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ApiRateLimit(int perMinute);

  // 0 when the call may go ahead (and is counted); otherwise the seconds
  // until it may.
  int Take(const std::string& name, Clock::time_point now);

 private:
  struct Bucket {
    double level = 0;
    Clock::time_point at{};
  };
  double perSecond_;
  double capacity_;
  std::mutex m_;
  std::map<std::string, Bucket> buckets_;  // one per configured token: bounded
};

}  // namespace px
