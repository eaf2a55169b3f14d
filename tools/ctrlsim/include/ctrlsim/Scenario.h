#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace px::sim {

class SerialSim;
class TcpSim;

// One line of a scenario file:
//   [at TIME] [serial | tcp ADDR[:PORT]] unit LIST ACTION [ARGS...]
//   [at TIME] [serial | tcp ADDR[:PORT]] ACTION            (whole transport)
// Blank lines and lines starting with '#' are skipped.
struct ScenarioStep {
  long atMs = 0;
  std::string target;            // "" = the serial bus, else the first TCP address
  bool serialTarget = false;
  std::vector<int> units;        // empty for a transport action
  std::string action;
  std::vector<std::string> args;
  int line = 0;
};

// Timed changes to running simulators, for demos and manual tests.
class Scenario {
public:
  struct Targets {
    SerialSim* serial = nullptr;
    std::vector<TcpSim*> tcp;
  };
  using LogFn = std::function<void(const std::string&)>;

  static bool Parse(const std::string& text, Scenario& out, std::string* error);
  static bool ParseFile(const std::string& path, Scenario& out, std::string* error);
  // The actions and their arguments, for --help.
  static std::string Help();

  const std::vector<ScenarioStep>& Steps() const { return steps_; }

  // Carries out one step now.
  static bool Apply(const ScenarioStep& step, const Targets& targets, std::string* error);

  // Runs the steps at their times, counted from this call, on a thread.
  void Start(Targets targets, LogFn log);
  void Stop();
  ~Scenario() { Stop(); }

private:
  std::vector<ScenarioStep> steps_;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
};

}  // namespace px::sim
