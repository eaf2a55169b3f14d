#include "clientserver/DoneQueue.h"

#include <unordered_map>

#include "common/StrUtil.h"

namespace px {

TDoneQueue::TDoneQueue(ILog& log, std::shared_ptr<Clock> clock)
    : log_(log),
      clock_(clock ? std::move(clock) : SystemClock::Instance()),
      slots_(kSlots + 1),
      put_(kSlots + 1) {}

void TDoneQueue::GiveUp(size_t i) {
  // Marked as delivered rather than emptied: an empty slot would be filled
  // ahead of later entries of the same key and change their order.
  slots_[i] = kFetched;
  --waiting_;
}

void TDoneQueue::GiveUpExpired(std::chrono::system_clock::time_point now) {
  if (waiting_ == 0) return;
  for (size_t i = 1; i <= kSlots; ++i) {
    if (!Waits(i)) continue;
    if (put_[i] > now) put_[i] = now;  // the clock was set back
    if (now - put_[i] >= kKeepFor) GiveUp(i);
  }
}

void TDoneQueue::GiveUpOldestOfBiggestKey() {
  std::unordered_map<std::string, int> perKey;
  std::string biggest;
  int most = 0;
  for (size_t i = 1; i <= kSlots; ++i) {
    if (!Waits(i)) continue;
    std::string key = Copy(slots_[i], 1, 12);
    int n = ++perKey[key];
    if (n > most) {
      most = n;
      biggest = key;
    }
  }
  // Slots are filled in order, so the key's first slot is its oldest entry.
  for (size_t i = 1; i <= kSlots; ++i) {
    if (Waits(i) && Copy(slots_[i], 1, 12) == biggest) {
      log_.WriteLog(999, "<QPutD> QDone Full ! Oldest of " + IntToStr(most) + " entries for " + biggest +
                             " given up");
      GiveUp(i);
      return;
    }
  }
}

bool TDoneQueue::Reclaim() {
  // Undelivered entries move up in their order; delivered ones are dropped,
  // so the free slots end up behind every waiting entry.
  size_t to = 1;
  for (size_t from = 1; from <= kSlots; ++from) {
    if (slots_[from] == kFetched) continue;
    if (to != from) {
      slots_[to] = std::move(slots_[from]);
      put_[to] = put_[from];
    }
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
    auto now = clock_->Now();
    GiveUpExpired(now);
    for (int pass = 0; pass < 3; ++pass) {
      for (size_t i = 1; i <= kSlots; ++i) {
        if (slots_[i].empty()) {
          slots_[i] = entry;
          put_[i] = now;
          ++waiting_;
          return static_cast<int>(i);
        }
      }
      if (!Reclaim()) GiveUpOldestOfBiggestKey();
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
    GiveUpExpired(clock_->Now());
    for (size_t i = 1; i <= kSlots; ++i) {
      if (!Waits(i)) continue;
      std::string& e = slots_[i];
      if (Copy(e, 1, 12) != key) continue;
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
