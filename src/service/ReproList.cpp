#include "service/ReproList.h"

#include "common/StrUtil.h"

namespace px {

bool TReproList::push_back(const std::string& entry) {
  if (!waiting_.emplace(entry, 1).second) return false;
  list_.push_back(entry);
  if (!deep_ && list_.size() > kReportDepth) {
    deep_ = true;
    if (log_)
      log_->WriteLog(999, "Reprocessing list holds " + IntToStr(static_cast<long long>(list_.size())) +
                              " requests: the attendance library falls behind");
  }
  return true;
}

void TReproList::pop_front() {
  if (list_.empty()) return;
  waiting_.erase(list_.front());
  list_.pop_front();
  if (deep_ && list_.size() <= kReportDepth / 2) {
    deep_ = false;
    if (log_)
      log_->WriteLog(999, "Reprocessing list down to " + IntToStr(static_cast<long long>(list_.size())) +
                              " requests");
  }
}

void TReproList::clear() {
  list_.clear();
  waiting_.clear();
  deep_ = false;
}

}  // namespace px
