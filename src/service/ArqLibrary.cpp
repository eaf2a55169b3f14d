#include "service/ArqLibrary.h"

#include <dlfcn.h>

namespace px {

namespace {
std::string DlError() {
  const char* e = dlerror();
  return e ? e : "unknown error";
}
}  // namespace

ArqLibrary::ArqLibrary(const ServiceSettings& settings, ILog& log) : log_(log) {
  if (settings.ARQLib.empty()) return;
  path_ = settings.ARQLib[0] == '/' ? settings.ARQLib : settings.AppDir + settings.ARQLib;
  handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    log_.WriteLog(999, "ARQ library not loaded: " + DlError());
    return;
  }
  auto symbol = [this](const char* name) -> void* {
    dlerror();
    void* p = dlsym(handle_, name);
    if (!p) log_.WriteLog(999, "ARQ library " + path_ + " has no " + name + ": " + DlError());
    return p;
  };
  void* init = symbol("ARQInit");
  void* process = symbol("ARQProcess");
  void* close = symbol("ARQClose");
  if (!init || !process || !close) {
    Unload();
    return;
  }
  init_ = reinterpret_cast<void (*)()>(init);
  process_ = reinterpret_cast<void (*)(const char*, const char*, const char*)>(process);
  close_ = reinterpret_cast<void (*)()>(close);
}

ArqLibrary::~ArqLibrary() { Unload(); }

void ArqLibrary::Unload() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
  init_ = nullptr;
  process_ = nullptr;
  close_ = nullptr;
}

void ArqLibrary::ARQInit() {
  if (init_) init_();
  else log_.WriteLog(20, "ARQ: init");
}

void ArqLibrary::ARQProcess(const std::string& fromDate, const std::string& toDate, const std::string& staff) {
  if (process_) process_(fromDate.c_str(), toDate.c_str(), staff.c_str());
  else log_.WriteLog(20, "ARQ: " + fromDate + " " + toDate + " " + staff);
}

void ArqLibrary::ARQClose() {
  if (close_) close_();
  else log_.WriteLog(20, "ARQ: close");
}

}  // namespace px
