#pragma once
// The event thread of an open port: waits for line activity and delivers it
// as the port's events, on the event loop (smSynchronize, smWindow) or on
// itself (smNone).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "serial/ComPort.h"

namespace px {

class TComDevice;

class TComThread {
public:
  TComThread(TComPort& port, TComDevice& dev, EventLoop& loop, TEvents events, TSyncMethod sync);
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  void Start();
  // Ends the thread and waits for it. Deliveries it is waiting on are
  // abandoned, so this is safe on the loop thread. Called on the event
  // thread itself (a handler closing the port with smNone), it cannot wait:
  // the thread is detached and frees itself when the handler returns; the
  // owner must then release() instead of deleting.
  void Stop();
  bool OnOwnThread() const { return std::this_thread::get_id() == th_.get_id(); }
  // True while a delivery has been handed to the loop and not yet run.
  bool DeliveryPending() const;

  // Calls the handlers for the set bits in delivery order; stops early when
  // `stop` becomes true (the port was closed by a handler).
  static void DeliverMask(TComPort& port, TEvents mask, const std::atomic<bool>& stop);

private:
  // What the thread shares with the steps it posts to the loop; those steps
  // may outlive both the thread and the port.
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> stop{false};
    std::atomic<bool> waiting{false};
    bool done = false;
    bool started = false;
  };

  void Run();
  void Deliver(TEvents mask);
  void RunOnLoop(std::function<void()> fn);
  void ReportLost();
  uint32_t ModemEvents(int fd);

  TComPort& port_;
  TComDevice& dev_;
  EventLoop& loop_;
  const TEvents events_;
  const TSyncMethod sync_;
  std::shared_ptr<Shared> sh_;
  int pipe_[2] = {-1, -1};
  std::thread th_;
  bool selfOwned_ = false;
  bool stopCalled_ = false;
  bool modemWatch_ = false;
  int modemLines_ = 0;
};

}  // namespace px
