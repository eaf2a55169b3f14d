#pragma once
#include <atomic>
#include <string>

#include "common/Log.h"
#include "common/RingQueue.h"

namespace px {

// The transaction queue of a bus, an IP channel or the single socket.
// A record a controller has handed over is deleted there once the next poll
// (other than a repeat request) arrives, so the queue must never drop one:
// when it fills past the high-water mark the transport stops asking for
// records (no QA or QR, status polls only) until the service has taken it
// down to the low-water mark; the controllers keep their records meanwhile.
// The same holds while the service cannot keep what it takes (`held`).
// A reply whose records do not fit is refused whole and asked for again.
// Loop thread only.
class TransQueue {
public:
  TransQueue(size_t slots, std::string name, ILog& log, const std::atomic<bool>* held = nullptr);

  size_t HighWater() const { return ring_.Slots() / 2; }
  size_t LowWater() const { return ring_.Slots() / 4; }

  // Up/down lines: as any ring, the newest is dropped when full.
  bool Put(const std::string& line) { return ring_.Put(line); }
  bool Get(std::string& line) { return ring_.Get(line); }
  bool Empty() const { return ring_.Empty(); }
  size_t Count() const { return ring_.Count(); }
  // Room for the records of one reply and an up/down line after them.
  bool HasRoom(size_t records) const { return ring_.Count() + records + 1 <= ring_.Slots(); }
  // Whether the transport may ask for records now. Logs (level 999) when
  // asking stops at the high-water mark and when it resumes at the low one.
  bool MayAsk();
  // Logs (level 999) that a reply was refused for want of room.
  void Refused(const std::string& who, size_t records);

private:
  RingQueue<std::string> ring_;
  std::string name_;
  ILog& log_;
  const std::atomic<bool>* held_;
  bool full_ = false;
};

}  // namespace px
