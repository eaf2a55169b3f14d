#include "serial/ComThread.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "serial/ComDevice.h"

namespace px {

namespace {

// How often modem lines and a draining output queue are looked at; only
// while there is something to look at (a pty has neither).
constexpr int kRecheckMs = 20;

constexpr TEvents Bit(TEvent e) { return 1u << e; }

constexpr TEvents kModemEvents = Bit(evCTS) | Bit(evDSR) | Bit(evRing) | Bit(evRLSD);

// The fixed delivery order of the bits of one mask.
constexpr TEvent kOrder[] = {evRxChar, evTxEmpty, evBreak, evRing,  evCTS,
                             evDSR,    evRxFlag,  evRLSD,  evError, evRx80Full};

std::function<void(TComPort&)> TComPort::*HandlerOf(TEvent e) {
  switch (e) {
    case evTxEmpty: return &TComPort::OnTxEmpty;
    case evBreak: return &TComPort::OnBreak;
    case evRing: return &TComPort::OnRing;
    case evCTS: return &TComPort::OnCTS;
    case evDSR: return &TComPort::OnDSR;
    case evRxFlag: return &TComPort::OnRxFlag;
    case evRLSD: return &TComPort::OnRLSD;
    case evError: return &TComPort::OnError;
    case evRx80Full: return &TComPort::OnRx80Full;
    default: return nullptr;
  }
}

}  // namespace

TComThread::TComThread(TComPort& port, TComDevice& dev, EventLoop& loop, TEvents events, TSyncMethod sync)
    : port_(port), dev_(dev), loop_(loop), events_(events), sync_(sync), sh_(std::make_shared<Shared>()) {}

TComThread::~TComThread() {
  Stop();
  for (int& fd : pipe_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void TComThread::Start() {
  if (::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC) < 0) {
    const int e = errno;
    pipe_[0] = pipe_[1] = -1;
    throw EComPort("Unable to set com state: " + std::to_string(e));
  }
  dev_.SetWakeFd(pipe_[1]);
  if (events_ & kModemEvents) {
    const int fd = dev_.Request().fd;
    int lines = 0;
    // Devices without modem lines (a pty) refuse this; their modem events
    // simply never come.
    if (fd >= 0 && ::ioctl(fd, TIOCMGET, &lines) == 0) {
      modemWatch_ = true;
      modemLines_ = lines;
    }
  }
  th_ = std::thread(&TComThread::Run, this);
  // Notified under the lock: once it is released this object may already be
  // gone (a handler closed the port on the event thread).
  std::lock_guard<std::mutex> g(sh_->m);
  sh_->started = true;
  sh_->cv.notify_all();
}

void TComThread::Stop() {
  if (stopCalled_) return;
  stopCalled_ = true;
  sh_->stop = true;
  {
    std::lock_guard<std::mutex> g(sh_->m);
  }
  sh_->cv.notify_all();
  dev_.SetWakeFd(-1);
  if (pipe_[1] >= 0) {
    const char c = 's';
    (void)!::write(pipe_[1], &c, 1);
  }
  if (!th_.joinable()) return;
  if (OnOwnThread()) {
    selfOwned_ = true;
    th_.detach();
  } else {
    th_.join();
  }
}

bool TComThread::DeliveryPending() const { return sh_->waiting.load(); }

void TComThread::DeliverMask(TComPort& port, TEvents mask, const std::atomic<bool>& stop) {
  for (TEvent e : kOrder) {
    if (!(mask & Bit(e))) continue;
    if (stop) return;
    try {
      if (e == evRxChar) {
        auto handler = port.OnRxChar;
        if (!handler) continue;
        int inQue = 0;
        try {
          inQue = port.InputCount();
        } catch (const EComPort&) {
          // The device went away meanwhile; the hang-up report follows.
        }
        handler(port, inQue);
      } else {
        auto handler = port.*HandlerOf(e);
        if (handler) handler(port);
      }
    } catch (const std::exception& ex) {
      // A handler's failure must not end the loop or the event thread.
      if (port.Log) port.Log->WriteLog(999, std::string("<ComEvent> ") + ex.what());
    }
  }
}

void TComThread::RunOnLoop(std::function<void()> fn) {
  auto sh = sh_;
  {
    std::lock_guard<std::mutex> g(sh->m);
    sh->done = false;
  }
  sh->waiting = true;
  loop_.Post([sh, fn = std::move(fn)] {
    // Abandoned: the port was closed (perhaps destroyed) while this waited.
    if (!sh->stop) fn();
    {
      std::lock_guard<std::mutex> g(sh->m);
      sh->done = true;
    }
    sh->cv.notify_all();
  });
  std::unique_lock<std::mutex> lk(sh->m);
  while (!sh->done && !sh->stop) {
    if (sh->cv.wait_for(lk, std::chrono::milliseconds(50), [&] { return sh->done || sh->stop.load(); })) break;
    // A stopped loop never runs the step; nothing more can be delivered.
    if (loop_.Stopped()) sh->stop = true;
  }
  sh->waiting = false;
}

void TComThread::Deliver(TEvents mask) {
  if (sync_ == smNone) {
    DeliverMask(port_, mask, sh_->stop);
    return;
  }
  TComPort* port = &port_;
  auto sh = sh_;
  if (sync_ == smWindow) {
    // One step per event, as one window message per mask bit.
    for (TEvent e : kOrder) {
      if (!(mask & Bit(e))) continue;
      if (sh->stop) return;
      RunOnLoop([port, sh, e] { DeliverMask(*port, Bit(e), sh->stop); });
    }
    return;
  }
  RunOnLoop([port, sh, mask] { DeliverMask(*port, mask, sh->stop); });
}

void TComThread::ReportLost() {
  // The loop thread owns the port's state: it stops this thread, closes the
  // device and tells the owner, unless the port was closed first.
  TComPort* port = &port_;
  auto sh = sh_;
  loop_.Post([port, sh] {
    if (!sh->stop) port->HandleDeviceLost();
  });
}

uint32_t TComThread::ModemEvents(int fd) {
  int lines = 0;
  if (::ioctl(fd, TIOCMGET, &lines) < 0) {
    modemWatch_ = false;
    return 0;
  }
  const int changed = lines ^ modemLines_;
  modemLines_ = lines;
  uint32_t ev = 0;
  if (changed & TIOCM_CTS) ev |= Bit(evCTS);
  if (changed & TIOCM_DSR) ev |= Bit(evDSR);
  if (changed & TIOCM_CD) ev |= Bit(evRLSD);
  if ((changed & TIOCM_RI) && (lines & TIOCM_RI)) ev |= Bit(evRing);
  return ev;
}

void TComThread::Run() {
  {
    // th_ is read on this thread (a handler closing the port); wait until
    // Start has stored it.
    std::unique_lock<std::mutex> lk(sh_->m);
    sh_->cv.wait(lk, [&] { return sh_->started; });
  }
  while (!sh_->stop) {
    const auto req = dev_.Request();
    if (req.fd < 0) break;
    pollfd fds[2] = {{req.fd, req.events, 0}, {pipe_[0], POLLIN, 0}};
    const int timeout = (req.timed || modemWatch_) ? kRecheckMs : -1;
    const int r = ::poll(fds, 2, timeout);
    if (sh_->stop) break;
    if (r < 0) {
      if (errno == EINTR) continue;
      ReportLost();
      break;
    }
    if (fds[1].revents & POLLIN) {
      char buf[64];
      while (::read(pipe_[0], buf, sizeof buf) > 0) {
      }
    }
    bool lost = false;
    uint32_t bits = dev_.Service(fds[0].revents, lost);
    if (modemWatch_ && !lost) bits |= ModemEvents(req.fd);
    bits &= events_;
    if (bits) Deliver(bits);
    if (lost) {
      if (!sh_->stop) ReportLost();
      break;
    }
  }
  if (selfOwned_) {
    // Closed from a handler on this thread: the device may already serve a
    // new session, so it is not touched again.
    delete this;
    return;
  }
  dev_.Purge();
}

}  // namespace px
