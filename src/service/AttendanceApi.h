#pragma once
#include <string>

namespace px {

// The attendance-processing library: initialised at start, handed one
// reprocessing request at a time, closed at stop. Its results are not used.
class IAttendanceLib {
public:
  virtual ~IAttendanceLib() = default;
  virtual void ARQInit() = 0;
  virtual void ARQProcess(const std::string& fromDate, const std::string& toDate, const std::string& staff) = 0;
  virtual void ARQClose() = 0;
};

}  // namespace px
