#include "platform/EventLoop.h"

#include <asio/post.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <string>
#include <memory>

namespace px {

EventLoop::EventLoop() : work_(asio::make_work_guard(ctx_)) {}

EventLoop::~EventLoop() {
  Stop();
  work_.reset();
}

void EventLoop::HandlerFailed(std::exception_ptr e) {
  // One handler's fault must not end the process: every module's timers and
  // sockets run on this loop.
  std::string what = "unknown exception";
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    what = ex.what();
  } catch (...) {
  }
  try {
    if (ILog* log = log_.load()) log->WriteLog(999, "<EvLoop>" + what);
    else std::fprintf(stderr, "<EvLoop>%s\n", what.c_str());
  } catch (...) {
  }
}

void EventLoop::Run() {
  loopThread_ = std::this_thread::get_id();
  while (!stopped_) {
    try {
      ctx_.run();
    } catch (...) {
      // run() may be called again at once after a handler threw.
      HandlerFailed(std::current_exception());
      continue;
    }
    if (!stopped_) ctx_.restart();
  }
}

void EventLoop::Stop() {
  stopped_ = true;
  ctx_.stop();
}

bool EventLoop::InLoopThread() const {
  auto id = loopThread_.load();
  return id == std::thread::id{} ? false : id == std::this_thread::get_id();
}

void EventLoop::Post(std::function<void()> fn) { asio::post(ctx_, std::move(fn)); }

namespace {
struct SyncState {
  std::mutex m;
  std::condition_variable cv;
  bool started = false, done = false, abandoned = false;
};
}  // namespace

bool EventLoop::Synchronize(const std::function<void()>& fn) {
  if (InLoopThread()) {
    fn();
    return true;
  }
  if (stopped_) return false;
  auto st = std::make_shared<SyncState>();
  // The handler owns a copy: a caller released by Stop() may be gone when a
  // last poll of the loop still runs it.
  asio::post(ctx_, [this, st, fn] {
    {
      std::lock_guard<std::mutex> g(st->m);
      if (st->abandoned) return;  // the caller and what fn refers to are gone
      st->started = true;
    }
    try {
      fn();
    } catch (...) {
      // Reported here; the caller on another thread is released as usual.
      HandlerFailed(std::current_exception());
    }
    std::lock_guard<std::mutex> g(st->m);
    st->done = true;
    st->cv.notify_all();
  });
  std::unique_lock<std::mutex> lk(st->m);
  while (!st->done) {
    if (st->cv.wait_for(lk, std::chrono::milliseconds(50), [&] { return st->done; })) break;
    // A call the loop has begun is always waited for; one it has not begun
    // is given up once the loop stops.
    if (stopped_ && !st->started) {
      st->abandoned = true;
      return false;
    }
  }
  return true;
}

void EventLoop::ProcessMessages() {
  if (!InLoopThread() || depth_ >= kMaxDepth || stopped_) return;
  ++depth_;
  try {
    ctx_.poll();
  } catch (...) {
    // The waiting handler goes on; the one that threw is over.
    HandlerFailed(std::current_exception());
  }
  if (ctx_.stopped() && !stopped_) ctx_.restart();
  --depth_;
}

void EventLoop::Sleep(int ms) {
  if (ms < 0) ms = 0;
  if (!InLoopThread() || depth_ >= kMaxDepth || stopped_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  ++depth_;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  try {
    ctx_.poll();
  } catch (...) {
    HandlerFailed(std::current_exception());
  }
  while (!stopped_) {
    auto now = std::chrono::steady_clock::now();
    if (now >= until) break;
    try {
      ctx_.run_one_until(until);
    } catch (...) {
      HandlerFailed(std::current_exception());
    }
    if (ctx_.stopped()) {
      if (stopped_) break;
      ctx_.restart();
    }
  }
  --depth_;
}

bool EventLoop::WaitUntil(const std::function<bool()>& done, int stepMs, int maxSteps,
                          const std::function<bool()>& abort) {
  ProcessMessages();
  for (int i = 0; i < maxSteps; ++i) {
    if (done()) return true;
    if (abort && abort()) break;
    if (stopped_) break;
    Sleep(stepMs);
  }
  return done();
}

}  // namespace px
