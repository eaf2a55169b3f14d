#pragma once
#include <string>

namespace px {

// The one leveled log every module writes to. Levels: 0 routine, 10/20/21/30
// more and more detail, 999 errors and milestones (always written).
class ILog {
public:
  virtual ~ILog() = default;
  virtual void WriteLog(int level, const std::string& text) = 0;
};

// A log that drops everything; for modules built alone.
class NullLog : public ILog {
public:
  void WriteLog(int, const std::string&) override {}
};

}  // namespace px
