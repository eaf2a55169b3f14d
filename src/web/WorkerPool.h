#pragma once
#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace px {

// Worker threads for the HTTP server's connections, with a bounded number
// of connections waiting or served. A connection over the bound runs at
// once on the accepting thread, outside any worker (Current() is null
// there), where the server answers it with a refusal and closes it.
class WorkerPool : public httplib::TaskQueue {
public:
  WorkerPool(size_t threads, size_t cap);
  ~WorkerPool() override;

  void enqueue(std::function<void()> fn) override;
  void shutdown() override;

  // Connections accepted and not yet taken up by a worker. A worker holding
  // an idle kept-alive connection lets it go while this is above zero.
  size_t Waiting() const;
  // The pool whose worker runs the calling thread; null elsewhere.
  static WorkerPool* Current();

private:
  void Work();

  size_t cap_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  size_t busy_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace px
