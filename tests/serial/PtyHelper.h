#pragma once
// A pseudo-terminal to stand in for a serial line, and an event loop
// running on its own thread.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/EventLoop.h"

namespace px::test {

struct Pty {
  int master = -1;
  int slave = -1;  // kept open so the line stays up while the port reopens
  std::string path;

  Pty() {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
  }
  ~Pty() {
    CloseMaster();
    if (slave >= 0) ::close(slave);
  }
  void CloseMaster() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  void Send(const std::string& s) const {
    size_t done = 0;
    while (done < s.size()) {
      const ssize_t n = ::write(master, s.data() + done, s.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  // Whatever the port sent, until `n` bytes or `ms` without new bytes.
  std::string Receive(size_t n, int ms = 500) const {
    std::string out;
    char buf[65536];
    while (out.size() < n) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) break;
      const ssize_t r = ::read(master, buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
};

struct LoopThread {
  EventLoop loop;
  std::thread th;
  LoopThread() : th([this] { loop.Run(); }) {}
  ~LoopThread() {
    loop.Stop();
    th.join();
  }
  // Runs fn on the loop thread and waits for it.
  void On(const std::function<void()>& fn) { loop.Synchronize(fn); }
};

// Waits for something another thread does (bounded).
inline bool WaitFor(const std::function<bool()>& pred, int ms = 3000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace px::test
