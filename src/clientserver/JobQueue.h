#pragma once
#include <string>

#include "common/Log.h"
#include "common/RingQueue.h"

namespace px {

// Template jobs (EOT requests) waiting for the service timer: a ring of
// 1000 slots. A full ring refuses the new job, so the jobs already waiting
// are kept. Loop thread only.
class TJobQueue {
public:
  static constexpr int kSlots = 1000;
  explicit TJobQueue(ILog& log);

  // 0 when queued, 1 when the ring was full ("<QPut> Buffer Overflow !").
  int Queue_PutCommand(const std::string& line);
  // 0 with the oldest line, 1 when empty.
  int Queue_GetCommand(std::string& line);
  size_t Count() const { return ring_.Count(); }

private:
  ILog& log_;
  // Slots numbered 1..1000 with the ring's own convention: empty when put
  // equals get, so at most 999 jobs wait.
  RingQueue<std::string> ring_;
};

}  // namespace px
