#pragma once

namespace px {

// Sets a busy flag for the life of a scope and clears it on every way out,
// an exception included.
class TBusyMark {
public:
  explicit TBusyMark(bool& flag) : flag_(flag) { flag_ = true; }
  ~TBusyMark() { flag_ = false; }
  TBusyMark(const TBusyMark&) = delete;
  TBusyMark& operator=(const TBusyMark&) = delete;

private:
  bool& flag_;
};

}  // namespace px
