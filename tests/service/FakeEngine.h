#pragma once
#include <string>
#include <vector>

#include "engine/NullEngine.h"

namespace px::test {

// Records what the service asks of the engine.
class FakeEngine : public NullEngine {
public:
  struct Spawn {
    int bus, baud, com;
  };
  struct Enable {
    int bus, unit;
    bool on;
  };
  struct SpawnIP {
    bool wasDown, enabled;
    int port;
    std::string model, ip;
    int unit;
  };
  std::vector<Spawn> spawns;
  std::vector<Enable> enables;
  std::vector<SpawnIP> ipSpawns;
  std::vector<std::string> commands;
  std::vector<std::string> lines;  // handed out by GetNextTransaction
  bool failSpawn = false;
  bool singleSocketStarted = false;
  bool ipPending = false;

  bool SpawnAccessComm(int bus, int baud, int com) override {
    spawns.push_back({bus, baud, com});
    return !failSpawn;
  }
  bool EnableCtrl(int bus, int unit, bool e) override {
    enables.push_back({bus, unit, e});
    return true;
  }
  bool SpawnIPCtrl(bool wasDown, bool enabled, int port, const std::string& model, const std::string& ip,
                   int unit) override {
    ipSpawns.push_back({wasDown, enabled, port, model, ip, unit});
    return true;
  }
  bool Queue_IPCommandPending() override { return ipPending; }
  void StartSingleSocket() override { singleSocketStarted = true; }
  int SendCommand(const std::string& command, int bus, int unit, std::string& id, const std::string& params,
                  const std::string& ip) override {
    commands.push_back(command + " " + std::to_string(bus) + " " + std::to_string(unit) + " " + params + " " + ip);
    id = "120000000";
    return 0;
  }
  using IEngine::GetNextTransaction;
  int GetNextTransaction(std::string& line, std::uint64_t& seq) override {
    seq = 0;
    if (lines.empty()) return 1;
    line = lines.front();
    lines.erase(lines.begin());
    return 0;
  }
};

}  // namespace px::test
