#include "engine/IPCommandQueue.h"

#include "common/Format.h"
#include "common/StrUtil.h"
#include "engine/Protocol.h"

namespace px {

TIPCommandQueue::TIPCommandQueue(const std::string& name, ILog* log) : q_(kSlots, name, log) {}

bool TIPCommandQueue::Put(const std::string& ip, const std::string& line) {
  return q_.Put(Format("%15s", ip.c_str()) + line);
}

void TIPCommandQueue::Split(const std::string& entry, std::string& ip, std::string& line) {
  ip = Trim(Copy(entry, 1, kAddressWidth));
  line = CopyFrom(entry, kAddressWidth + 1);
}

bool TIPCommandQueue::Get(const std::string& ip, std::string& line) {
  const std::string want = Trim(ip);
  for (size_t n = q_.Count(); n > 0; --n) {
    std::string entry, addr, rest;
    if (!q_.Get(entry)) break;
    Split(entry, addr, rest);
    if (addr == want) {
      line = rest;
      return true;
    }
    // Just taken from the head, so there is room at the tail.
    q_.Put(std::move(entry));
  }
  return false;
}

bool TIPCommandQueue::GetAny(std::string& ip, std::string& line) {
  std::string entry;
  if (!q_.Get(entry)) return false;
  Split(entry, ip, line);
  return true;
}

void TIPCommandQueue::Clear(const std::function<void(const std::string&, const std::string&)>& dropped) {
  std::string ip, line;
  while (GetAny(ip, line))
    if (dropped) dropped(ip, line);
}

std::string TIPCommandQueue::IdOf(const std::string& line) { return Copy(line, 1, 9); }
std::string TIPCommandQueue::FrameOf(const std::string& line) { return CopyFrom(line, 10); }
int TIPCommandQueue::UnitOf(const std::string& line) { return UnitOfAddress(CharAt(line, 10)); }

}  // namespace px
