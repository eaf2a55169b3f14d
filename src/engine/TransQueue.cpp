#include "engine/TransQueue.h"

#include "common/StrUtil.h"

namespace px {

TransQueue::TransQueue(size_t slots, std::string name, ILog& log, const std::atomic<bool>* held)
    : ring_(slots, name, &log), name_(std::move(name)), log_(log), held_(held) {}

bool TransQueue::MayAsk() {
  const size_t n = ring_.Count();
  if (!full_ && n >= HighWater()) {
    full_ = true;
    log_.WriteLog(999, name_ + " holds " + IntToStr(static_cast<long long>(n)) +
                           " lines: records are not asked for until it drains");
  } else if (full_ && n <= LowWater()) {
    full_ = false;
    log_.WriteLog(999, name_ + " drained to " + IntToStr(static_cast<long long>(n)) +
                           " lines: records are asked for again");
  }
  return !full_ && !(held_ && held_->load());
}

void TransQueue::Refused(const std::string& who, size_t records) {
  log_.WriteLog(999, name_ + " has no room for the " + IntToStr(static_cast<long long>(records)) + " records of " +
                         who + ": they are asked for again");
}

}  // namespace px
