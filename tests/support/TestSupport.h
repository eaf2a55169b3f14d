#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "common/Log.h"

namespace px::test {

// A fresh temporary folder, removed with its contents at destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& text) const;
  std::string Read(const std::string& name) const;
  bool Exists(const std::string& name) const;

private:
  std::string path_;
};

// A log that keeps every line with its level (thread-safe).
class CaptureLog : public ILog {
public:
  void WriteLog(int level, const std::string& text) override;
  std::vector<std::pair<int, std::string>> Lines() const;
  bool Has(const std::string& text) const;                // exact line
  bool HasSubstr(const std::string& part) const;
  int Count(const std::string& text) const;               // exact matches
  int CountSubstr(const std::string& part) const;
  void Clear();
  std::string Dump() const;

private:
  mutable std::mutex m_;
  std::vector<std::pair<int, std::string>> lines_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// A TCP port free on a loopback address at the moment of asking (nobody
// listens on it).
int FreeLoopbackPort(const char* addr = "127.0.0.1");

}  // namespace px::test
