#pragma once
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace px::test {

// A program started by a test (the server, the simulator), killed at the
// end of the test if it is still running.
class ChildProcess {
public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // stdout and stderr go to outputFile when given.
  bool Start(const std::vector<std::string>& argv, const std::string& outputFile = "");
  void Signal(int sig);
  // Exit status (or 128 + signal), -1 on time-out.
  int Wait(std::chrono::milliseconds timeout);
  bool Running();
  pid_t Pid() const { return pid_; }

private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Polls until pred() holds or the time-out passes.
bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step = std::chrono::milliseconds(20));
// True when the file exists and contains the text.
bool FileContains(const std::string& path, const std::string& text);

}  // namespace px::test
