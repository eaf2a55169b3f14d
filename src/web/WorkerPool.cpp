#include "web/WorkerPool.h"

namespace px {

namespace {
thread_local WorkerPool* tlPool = nullptr;
}

WorkerPool::WorkerPool(size_t threads, size_t cap) : cap_(cap) {
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

WorkerPool::~WorkerPool() { shutdown(); }

WorkerPool* WorkerPool::Current() { return tlPool; }

void WorkerPool::enqueue(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> g(m_);
    if (!stop_ && jobs_.size() + busy_ < cap_) {
      jobs_.push_back(std::move(fn));
      cv_.notify_one();
      return;
    }
  }
  fn();
}

void WorkerPool::shutdown() {
  {
    std::lock_guard<std::mutex> g(m_);
    if (stop_ && threads_.empty()) return;
    stop_ = true;
  }
  cv_.notify_all();
  for (auto& t : threads_) t.join();
  threads_.clear();
}

size_t WorkerPool::Waiting() const {
  std::lock_guard<std::mutex> g(m_);
  return jobs_.size();
}

void WorkerPool::Work() {
  tlPool = this;
  for (;;) {
    std::function<void()> fn;
    {
      std::unique_lock<std::mutex> lk(m_);
      cv_.wait(lk, [this] { return stop_ || !jobs_.empty(); });
      // Connections accepted before the stop are still served (briefly:
      // their workers see the server stopping).
      if (jobs_.empty()) return;
      fn = std::move(jobs_.front());
      jobs_.pop_front();
      ++busy_;
    }
    fn();
    std::lock_guard<std::mutex> g(m_);
    --busy_;
  }
}

}  // namespace px
