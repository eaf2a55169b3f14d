#pragma once
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>

#include "common/Log.h"

namespace px {

// The attendance reprocessing requests waiting for the library, oldest
// first (one is handed over a second). A request equal to one still waiting
// is not queued again: the waiting one runs after the new row is written
// and so covers it. Under a sustained stream of clockings the list would
// otherwise grow without bound. Loop thread only.
class TReproList {
public:
  // The depth that is reported (level 999) when the list grows past it.
  static constexpr size_t kReportDepth = 1000;

  void SetLog(ILog* log) { log_ = log; }
  // False when an equal request is already waiting.
  bool push_back(const std::string& entry);
  const std::string& front() const { return list_.front(); }
  const std::string& operator[](size_t i) const { return list_[i]; }
  void pop_front();
  bool empty() const { return list_.empty(); }
  size_t size() const { return list_.size(); }
  void clear();

private:
  std::deque<std::string> list_;
  std::unordered_map<std::string, int> waiting_;  // entry -> copies in list_ (0 or 1)
  ILog* log_ = nullptr;
  bool deep_ = false;
};

}  // namespace px
