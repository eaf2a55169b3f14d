#pragma once
#include <functional>
#include <string>

#include "common/Log.h"
#include "common/RingQueue.h"

namespace px {

// The command queue of an IP channel or of the single socket: entries are
// the target address right-aligned in 15 characters followed by the queued
// command line (ID, then the frame).
class TIPCommandQueue {
public:
  static constexpr size_t kSlots = 5000;
  static constexpr int kAddressWidth = 15;

  TIPCommandQueue(const std::string& name, ILog* log);

  bool Put(const std::string& ip, const std::string& line);
  // The oldest command for `ip`. Entries for other addresses are put back
  // at the tail, each looked at once, so they keep their order and wait for
  // their own address.
  bool Get(const std::string& ip, std::string& line);
  // The oldest command whatever its address.
  bool GetAny(std::string& ip, std::string& line);
  bool Empty() const { return q_.Empty(); }
  size_t Count() const { return q_.Count(); }
  size_t PutIndex() const { return q_.PutIndex(); }
  size_t GetIndex() const { return q_.GetIndex(); }
  // Empties the queue; `dropped` gets each entry's address and line.
  void Clear(const std::function<void(const std::string& ip, const std::string& line)>& dropped);

  // Parts of a queued command line.
  static std::string IdOf(const std::string& line);
  static std::string FrameOf(const std::string& line);
  // Unit of the frame's address byte (byte - 207).
  static int UnitOf(const std::string& line);

private:
  static void Split(const std::string& entry, std::string& ip, std::string& line);
  RingQueue<std::string> q_;
};

}  // namespace px
