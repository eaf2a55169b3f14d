#pragma once
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "common/Log.h"

namespace px {

class EventLoop;

// The one thread that talks to terminals. A terminal can take seconds to
// answer (or to hand over 50,000 records), so its I/O never runs on the event
// loop; what must stay on the loop (the database, transaction storage, the
// registry) is handed back with OnLoop, in order, and waited for.
//
// Without a loop (tests of the terminal steps) everything runs on the calling
// thread at once.
class TZkWorker {
public:
  TZkWorker(EventLoop* loop, ILog& log);
  ~TZkWorker();  // finishes the running task, drops the rest, then runs the exit task
  TZkWorker(const TZkWorker&) = delete;
  TZkWorker& operator=(const TZkWorker&) = delete;

  // Loop thread. At most `kMaxPending` tasks wait; beyond that false.
  bool Run(std::function<void()> work, std::function<void()> done);
  // Loop thread: tasks handed over whose `done` has not run yet.
  bool Busy() const { return pending_ > 0; }
  // Worker thread: runs fn on the loop and waits for it. False (fn not run or
  // not finished) when the loop or the worker is stopping, or when fn threw
  // (logged "<ZK.OnLoop>").
  bool OnLoop(const std::function<void()>& fn);
  // Set once the worker is being shut down: long walks stop early.
  bool Stopping() const { return stopping_; }
  // Runs on the worker thread as it exits (closing the terminal connections).
  std::function<void()> OnExit;
  // Stops and joins; the destructor does it too.
  void Shutdown();

  static constexpr size_t kMaxPending = 16;

private:
  struct Task {
    std::function<void()> work, done;
  };
  struct Call;
  void ThreadMain();

  EventLoop* loop_;
  ILog& log_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
  std::shared_ptr<Call> current_;  // the OnLoop call the worker waits on
  std::atomic<bool> stopping_{false};
  int pending_ = 0;  // loop thread only
  std::shared_ptr<std::atomic<bool>> alive_;
  std::thread thread_;
};

}  // namespace px
