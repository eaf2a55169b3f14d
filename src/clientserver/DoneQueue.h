#pragma once
#include <string>
#include <vector>

#include "common/Log.h"

namespace px {

// Finished-job and progress notices waiting for the client whose address
// key begins each entry: 1000 slots, delivered on the client's polls in slot
// order. A delivered entry becomes "*" and keeps its slot until a full queue
// reclaims it. Loop thread only.
class TDoneQueue {
public:
  static constexpr int kSlots = 1000;
  explicit TDoneQueue(ILog& log);

  // The slot used (1..1000), 0 when the entry was dropped.
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
  bool Reclaim();
  ILog& log_;
  std::vector<std::string> slots_;  // index 0 unused
  int waiting_ = 0;                 // entries not yet delivered
};

}  // namespace px
