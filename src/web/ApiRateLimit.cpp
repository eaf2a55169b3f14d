#include "web/ApiRateLimit.h"

#include <algorithm>
#include <cmath>

namespace px {

ApiRateLimit::ApiRateLimit(int perMinute)
    : perSecond_(std::max(1, perMinute) / 60.0), capacity_(std::max(1.0, std::max(1, perMinute) / 10.0)) {}

int ApiRateLimit::Take(const std::string& name, Clock::time_point now) {
  std::lock_guard<std::mutex> g(m_);
  auto [it, fresh] = buckets_.try_emplace(name);
  Bucket& b = it->second;
  if (fresh) {
    b.level = capacity_;
  } else if (now > b.at) {
    const double seconds = std::chrono::duration<double>(now - b.at).count();
    b.level = std::min(capacity_, b.level + seconds * perSecond_);
  }
  b.at = std::max(b.at, now);
  if (b.level >= 1.0) {
    b.level -= 1.0;
    return 0;
  }
  return std::max(1, static_cast<int>(std::ceil((1.0 - b.level) / perSecond_)));
}

}  // namespace px
