#pragma once
#include <vector>
#include <cstddef>
#include <string_view>

namespace px {

// The receive ring of the template server link. It never overwrites bytes
// that have not been taken: a burst that does not fit is refused whole and
// the caller ends the exchange. The room holds the longest legal reply (99
// fingers, about 76 KB) arriving in one piece, with room to spare.
class TKX6KSRing {
public:
  static constexpr size_t kDefaultSize = 128 * 1024;
  explicit TKX6KSRing(size_t size = kDefaultSize) : buf_(size) {}

  // False (nothing stored) when the bytes do not fit beside the unread ones.
  bool Put(std::string_view bytes) {
    if (bytes.size() > buf_.size() - count_) return false;
    for (char c : bytes) {
      buf_[tail_] = c;
      tail_ = (tail_ + 1) % buf_.size();
    }
    count_ += bytes.size();
    return true;
  }
  bool Get(char& c) {
    if (count_ == 0) return false;
    c = buf_[head_];
    head_ = (head_ + 1) % buf_.size();
    --count_;
    return true;
  }
  void Clear() { head_ = tail_ = count_ = 0; }
  size_t Unread() const { return count_; }

private:
  std::vector<char> buf_;
  size_t head_ = 0, tail_ = 0, count_ = 0;
};

}  // namespace px
