#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "common/Log.h"

namespace px {

// The receive ring of a bus or channel: bytes with put and get indexes
// counted from 1 and wrapping back to 1, empty when they are equal. Unread
// bytes are never overwritten: when the ring is full the rest of a piece is
// dropped and one level-999 line says how much.
class ByteRing {
public:
  static constexpr size_t kDefaultSize = 40100;
  explicit ByteRing(std::string name, ILog* log = nullptr, size_t size = kDefaultSize);

  // Returns how many bytes were stored.
  size_t Put(std::string_view bytes);
  bool GetChar(char& c);
  // Takes everything that is stored.
  std::string Drain();
  // Looks at everything that is stored without taking it.
  std::string PeekAll() const;
  bool Empty() const { return put_ == get_; }
  size_t Count() const;
  size_t Capacity() const { return buf_.size() - 2; }
  void Clear() { put_ = get_ = 1; }

private:
  size_t Next(size_t i) const { return i >= buf_.size() - 1 ? 1 : i + 1; }
  std::vector<char> buf_;  // index 0 unused
  size_t put_ = 1, get_ = 1;
  std::string name_;
  ILog* log_;
};

}  // namespace px
