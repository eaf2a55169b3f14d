#pragma once
#include <string>
#include <vector>

#include "common/Log.h"

namespace px {

// A fixed ring of preallocated slots with put and get indexes counted from 1
// and wrapping back to 1; empty when the indexes are equal. A ring of N slots
// therefore holds N - 1 entries. When it is full the newest entry is dropped
// and a level-999 line logged: unread entries are never overwritten.
template <typename T = std::string>
class RingQueue {
public:
  RingQueue(size_t slots, std::string name, ILog* log = nullptr)
      : slots_(slots + 1), name_(std::move(name)), log_(log) {}

  void SetLog(ILog* log) { log_ = log; }
  size_t Slots() const { return slots_.size() - 1; }
  size_t PutIndex() const { return put_; }
  size_t GetIndex() const { return get_; }
  bool Empty() const { return put_ == get_; }
  size_t Count() const { return put_ >= get_ ? put_ - get_ : Slots() - get_ + put_; }
  bool Full() const { return Next(put_) == get_; }
  void Clear() { put_ = get_ = 1; }

  bool Put(T v) {
    if (Full()) {
      if (log_) log_->WriteLog(999, "<QFull> " + name_ + " full, newest entry dropped");
      return false;
    }
    slots_[put_] = std::move(v);
    put_ = Next(put_);
    return true;
  }

  bool Get(T& out) {
    if (Empty()) return false;
    out = std::move(slots_[get_]);
    slots_[get_] = T{};
    get_ = Next(get_);
    return true;
  }

  // The oldest entry without taking it.
  const T* Peek() const { return Empty() ? nullptr : &slots_[get_]; }

private:
  size_t Next(size_t i) const { return i >= Slots() ? 1 : i + 1; }
  std::vector<T> slots_;  // index 0 unused
  size_t put_ = 1, get_ = 1;
  std::string name_;
  ILog* log_;
};

}  // namespace px
