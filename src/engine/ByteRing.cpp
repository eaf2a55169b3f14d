#include "engine/ByteRing.h"

#include "common/Format.h"

namespace px {

ByteRing::ByteRing(std::string name, ILog* log, size_t size)
    : buf_(size + 1), name_(std::move(name)), log_(log) {}

size_t ByteRing::Put(std::string_view bytes) {
  size_t stored = 0;
  for (char c : bytes) {
    size_t n = Next(put_);
    if (n == get_) break;
    buf_[put_] = c;
    put_ = n;
    ++stored;
  }
  if (stored < bytes.size() && log_)
    log_->WriteLog(999, Format("<RxFull> %s full, %zu bytes dropped", name_.c_str(), bytes.size() - stored));
  return stored;
}

bool ByteRing::GetChar(char& c) {
  if (Empty()) return false;
  c = buf_[get_];
  get_ = Next(get_);
  return true;
}

std::string ByteRing::Drain() {
  std::string s = PeekAll();
  get_ = put_;
  return s;
}

std::string ByteRing::PeekAll() const {
  std::string s;
  s.reserve(Count());
  for (size_t i = get_; i != put_; i = Next(i)) s += buf_[i];
  return s;
}

size_t ByteRing::Count() const {
  size_t slots = buf_.size() - 1;  // indexes 1..slots
  return put_ >= get_ ? put_ - get_ : slots - get_ + put_;
}

}  // namespace px
