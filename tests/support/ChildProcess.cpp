#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "support/TestSupport.h"

namespace px::test {

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && Running()) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::milliseconds(2000));
  }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& outputFile) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (!outputFile.empty()) {
      int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
      }
    }
    execv(args[0], args.data());
    _exit(127);
  }
  pid_ = pid;
  status_ = -1;
  return true;
}

void ChildProcess::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

bool ChildProcess::Running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int st = 0;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  if (status_ >= 0) return status_;
  WaitFor([this] { return !Running(); }, timeout, std::chrono::milliseconds(10));
  return status_;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step) {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(step);
  }
}

bool FileContains(const std::string& path, const std::string& text) {
  return ReadFile(path).find(text) != std::string::npos;
}

}  // namespace px::test
