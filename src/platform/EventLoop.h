#pragma once
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "common/Log.h"

namespace px {

// The one event loop of the process. It runs what the original ran on its
// window-message loop: the service timers and sockets, the engine's timers and
// sockets, the IP channels, and every step that a bus thread or a serial event
// thread hands over with Synchronize.
class EventLoop {
public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  asio::io_context& Context() { return ctx_; }

  // Runs handlers on the calling thread until Stop().
  void Run();
  // Any thread. Pending and later Synchronize calls return false.
  void Stop();
  bool Stopped() const { return stopped_.load(); }
  bool InLoopThread() const;

  // Any thread: runs fn later on the loop.
  void Post(std::function<void()> fn);
  // Any thread: runs fn on the loop and waits until it has run. On the loop
  // thread it runs fn at once. Returns false (fn not run) when the loop has
  // stopped or stops while waiting.
  bool Synchronize(const std::function<void()>& fn);

  // Loop thread: runs the handlers that are ready now, without blocking.
  // Nesting is bounded so that waits inside waits cannot grow the stack.
  void ProcessMessages();
  // Loop thread: waits `ms` milliseconds while handlers keep running.
  // Off the loop thread it simply sleeps.
  void Sleep(int ms);
  // Loop thread: keeps the loop running in steps of stepMs until done()
  // is true, at most maxSteps steps or until abort() is true. Returns done().
  bool WaitUntil(const std::function<bool()>& done, int stepMs, int maxSteps,
                 const std::function<bool()>& abort = {});

  // Nesting depth of ProcessMessages/Sleep (0 outside any wait).
  int WaitDepth() const { return depth_; }

  // Where an exception that escapes a handler is logged (level 999); the
  // loop goes on either way. Without a log it goes to stderr.
  void SetLog(ILog* log) { log_ = log; }

private:
  void HandlerFailed(std::exception_ptr e);
  std::atomic<ILog*> log_{nullptr};
  asio::io_context ctx_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<bool> stopped_{false};
  std::atomic<std::thread::id> loopThread_{};
  int depth_ = 0;
  static constexpr int kMaxDepth = 6;
};

}  // namespace px
