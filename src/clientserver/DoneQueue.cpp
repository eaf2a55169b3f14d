#include "clientserver/DoneQueue.h"

#include "common/StrUtil.h"

namespace px {

TDoneQueue::TDoneQueue(ILog& log) : log_(log), slots_(kSlots + 1) {}

bool TDoneQueue::Reclaim() {
  // Undelivered entries move up in their order; delivered ones are dropped,
  // so the free slots end up behind every waiting entry.
  size_t to = 1;
  for (size_t from = 1; from <= kSlots; ++from) {
    if (slots_[from] == kFetched) continue;
    if (to != from) slots_[to] = std::move(slots_[from]);
    ++to;
  }
  if (to > kSlots) return false;
  for (size_t i = to; i <= kSlots; ++i) slots_[i].clear();
  return true;
}

int TDoneQueue::Queue_PutDone(const std::string& entry) {
  try {
    // An empty or "*" entry would read as a free or delivered slot.
    if (entry.empty() || entry == kFetched) return 0;
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t i = 1; i <= kSlots; ++i) {
        if (slots_[i].empty()) {
          slots_[i] = entry;
          ++waiting_;
          return static_cast<int>(i);
        }
      }
      if (pass == 0 && !Reclaim()) break;
    }
    log_.WriteLog(999, "<QPutD> QDone Full !");
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<QPutD>") + e.what());
  }
  return 0;
}

int TDoneQueue::Queue_GetDone(const std::string& key, std::string& tag, std::string& yesNoOrMessage,
                              std::string& jobCode) {
  try {
    if (waiting_ == 0 || key.empty()) return 1;
    for (size_t i = 1; i <= kSlots; ++i) {
      std::string& e = slots_[i];
      if (e.empty() || e == kFetched || Copy(e, 1, 12) != key) continue;
      if (Copy(e, 13, 3) == "_S_") {
        tag = "_S_";
        jobCode = Copy(e, 16, 2);
        yesNoOrMessage = CopyFrom(e, 18);
      } else {
        tag = Copy(e, 13, 11);
        yesNoOrMessage = Copy(e, 24, 1);
        jobCode = Copy(e, 25, 2);
      }
      e = kFetched;
      --waiting_;
      return 0;
    }
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<QGetD>") + e.what());
  }
  return 1;
}

}  // namespace px
