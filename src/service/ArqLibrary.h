#pragma once
#include <string>

#include "common/Log.h"
#include "service/AttendanceApi.h"
#include "service/Settings.h"

namespace px {

// The attendance-processing library: a shared library named by
// "Options"/"ARQLib" (relative to the program folder unless absolute) with
// the C entries ARQInit(), ARQProcess(from, to, staff) and ARQClose().
// Without one, each request is only logged at level 20. A library that
// cannot be loaded, or lacks an entry, is logged at level 999 and then
// treated as absent. Loop thread only.
class ArqLibrary : public IAttendanceLib {
public:
  ArqLibrary(const ServiceSettings& settings, ILog& log);
  ~ArqLibrary() override;
  ArqLibrary(const ArqLibrary&) = delete;
  ArqLibrary& operator=(const ArqLibrary&) = delete;

  void ARQInit() override;
  void ARQProcess(const std::string& fromDate, const std::string& toDate, const std::string& staff) override;
  void ARQClose() override;

  bool Loaded() const { return handle_ != nullptr; }
  const std::string& Path() const { return path_; }

private:
  void Unload();
  ILog& log_;
  std::string path_;
  void* handle_ = nullptr;
  void (*init_)() = nullptr;
  void (*process_)(const char*, const char*, const char*) = nullptr;
  void (*close_)() = nullptr;
};

}  // namespace px
