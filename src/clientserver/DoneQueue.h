#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/Log.h"

namespace px {

// Finished-job and progress notices waiting for the client whose address
// key begins each entry: 1000 slots, delivered on the client's polls in slot
// order. A delivered entry becomes "*" and keeps its slot until a full queue
// reclaims it. Entries for a key that never polls must not fill the queue
// for good: an entry not fetched within ten minutes is given up, and a full
// queue makes room by giving up the oldest entry of the key that holds the
// most. Loop thread only.
class TDoneQueue {
public:
  static constexpr int kSlots = 1000;
  static constexpr std::chrono::minutes kKeepFor{10};
  // Without a clock the system clock is used.
  explicit TDoneQueue(ILog& log, std::shared_ptr<Clock> clock = nullptr);

  // The slot used (1..1000), 0 when the entry was refused (empty or "*").
  int Queue_PutDone(const std::string& entry);
  // 0 when an entry for the key was found and consumed, 1 otherwise. A
  // result entry gives tag, "Y"/"N" and job code; a progress entry gives
  // tag "_S_", the message and the job code.
  int Queue_GetDone(const std::string& key, std::string& tag, std::string& yesNoOrMessage, std::string& jobCode);

  // The text of a slot (1..1000), for inspection.
  const std::string& Slot(int n) const { return slots_[static_cast<size_t>(n)]; }
  int Waiting() const { return waiting_; }

private:
  static constexpr const char* kFetched = "*";
  bool Waits(size_t i) const { return !slots_[i].empty() && slots_[i] != kFetched; }
  void GiveUp(size_t i);
  void GiveUpExpired(std::chrono::system_clock::time_point now);
  void GiveUpOldestOfBiggestKey();
  bool Reclaim();
  ILog& log_;
  std::shared_ptr<Clock> clock_;
  std::vector<std::string> slots_;                          // index 0 unused
  std::vector<std::chrono::system_clock::time_point> put_;  // when each slot was filled
  int waiting_ = 0;                                         // entries not yet delivered
};

}  // namespace px
