#pragma once
#include <string>

#include "engine/EngineApi.h"

namespace px {

// An engine with no controllers: every entry succeeds or reports "nothing".
// The base of the stand-in engines of benchmarks and tests, which override
// only what they watch.
class NullEngine : public IEngine {
public:
  bool SpawnAccessComm(int, int, int) override { return true; }
  bool EnableCtrl(int, int, bool) override { return true; }
  bool SpawnIPCtrl(bool, bool, int, const std::string&, const std::string&, int) override { return true; }
  void EnableIPCtrl(const std::string&, int, bool) override {}
  bool Queue_IPCommandPending() override { return false; }
  void OnOffPollingThread(const std::string&, const std::string&) override {}
  void StartSingleSocket() override {}
  int SendCommand(const std::string&, int, int, std::string&, const std::string&, const std::string&) override {
    return 1;
  }
  int GetNextTransaction(std::string&, std::uint64_t&) override { return 1; }
  int GetDoorStatus(std::string&) override { return 1; }
  void QueueForRawWrite(const std::string&) override {}
};

}  // namespace px
