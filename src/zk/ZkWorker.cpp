#include "zk/ZkWorker.h"

#include <chrono>

#include "platform/EventLoop.h"

namespace px {

// One hand-over to the loop. It outlives the waiting worker when the worker
// gives up, so the posted function checks `abandoned` before touching the
// caller's data.
struct TZkWorker::Call {
  std::mutex m;
  std::condition_variable cv;
  bool done = false, abandoned = false, ok = false;
};

TZkWorker::TZkWorker(EventLoop* loop, ILog& log)
    : loop_(loop), log_(log), alive_(std::make_shared<std::atomic<bool>>(true)) {
  if (loop_) thread_ = std::thread([this] { ThreadMain(); });
}

TZkWorker::~TZkWorker() { Shutdown(); }

void TZkWorker::Shutdown() {
  *alive_ = false;
  {
    std::lock_guard lk(m_);
    stopping_ = true;
    tasks_.clear();
    if (current_) {
      std::lock_guard ck(current_->m);
      current_->cv.notify_all();
    }
  }
  cv_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  } else if (!loop_ && OnExit) {
    auto exit = std::move(OnExit);
    OnExit = nullptr;
    exit();
  }
}

bool TZkWorker::Run(std::function<void()> work, std::function<void()> done) {
  if (!loop_) {
    work();
    if (done) done();
    return true;
  }
  std::lock_guard lk(m_);
  if (stopping_ || tasks_.size() >= kMaxPending) return false;
  tasks_.push_back({std::move(work), std::move(done)});
  ++pending_;
  cv_.notify_all();
  return true;
}

bool TZkWorker::OnLoop(const std::function<void()>& fn) {
  if (!loop_ || loop_->InLoopThread()) {
    try {
      fn();
      return true;
    } catch (const std::exception& e) {
      log_.WriteLog(999, std::string("<ZK.OnLoop>") + e.what());
      return false;
    }
  }
  auto call = std::make_shared<Call>();
  {
    std::lock_guard lk(m_);
    if (stopping_) return false;
    current_ = call;
  }
  ILog* log = &log_;
  loop_->Post([call, &fn, log] {
    std::lock_guard lk(call->m);
    if (call->abandoned) return;  // the worker no longer waits: fn's data is gone
    // A throw still ends the call, as not done: the worker must never wait
    // for a hand-over that will not finish.
    try {
      fn();
      call->ok = true;
    } catch (const std::exception& e) {
      log->WriteLog(999, std::string("<ZK.OnLoop>") + e.what());
    } catch (...) {
      log->WriteLog(999, "<ZK.OnLoop> unknown exception");
    }
    call->done = true;
    call->cv.notify_all();
  });
  std::unique_lock lk(call->m);
  while (!call->done) {
    if (stopping_ || loop_->Stopped()) {
      call->abandoned = true;
      break;
    }
    call->cv.wait_for(lk, std::chrono::milliseconds(100));
  }
  bool ok = call->done && call->ok;
  lk.unlock();
  std::lock_guard ml(m_);
  current_.reset();
  return ok;
}

void TZkWorker::ThreadMain() {
  for (;;) {
    Task t;
    {
      std::unique_lock lk(m_);
      cv_.wait(lk, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) break;
      t = std::move(tasks_.front());
      tasks_.pop_front();
    }
    try {
      t.work();
    } catch (const std::exception& e) {
      log_.WriteLog(999, std::string("<ZK.Work>") + e.what());
    }
    // `done` and the busy count belong to the loop.
    auto alive = alive_;
    loop_->Post([this, alive, done = std::move(t.done)] {
      if (!*alive) return;
      --pending_;
      if (done) done();
    });
  }
  if (OnExit) {
    try {
      OnExit();
    } catch (const std::exception& e) {
      log_.WriteLog(999, std::string("<ZK.Exit>") + e.what());
    }
  }
}

}  // namespace px
