#include "serial/ComDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "serial/ComPort.h"

namespace px {

using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;
// The input queue holds at least this much whatever ReadBufSize says: the
// size is only a hint to the driver, and bytes must not be refused early.
constexpr size_t kMinQueueCap = 64 * 1024;
// Longer totals than this are treated as "no limit" (and cannot overflow).
constexpr uint64_t kMaxTimeoutMs = 0x7FFFFFFFull;
// How often a wait that has no fd activity to watch looks again.
constexpr int kRecheckMs = 20;

[[noreturn]] void Fail(const char* prefix, int err) {
  throw EComPort(std::string(prefix) + std::to_string(err));
}

constexpr uint32_t Bit(TEvent e) { return 1u << e; }

}  // namespace

// One started operation. A read fills the caller's string in place, as the
// Win32 overlapped read fills the caller's buffer: the string has to live
// until the operation is waited for or dropped.
struct TPendingOp : TStackItem {
  bool isWrite = false;
  std::string out;  // write: the whole data
  std::string* target = nullptr;  // read: where the bytes go
  size_t want = 0;
  size_t done = 0;
  bool immediate = false;  // read returns at once with what is buffered
  bool anyByte = false;    // read returns as soon as one byte is there
  bool hasDeadline = false;
  SteadyClock::time_point deadline{};
  int intervalMs = 0;
  SteadyClock::time_point lastByte{};
  bool finished = false;
  int err = 0;

  void SetTotal(uint64_t ms, SteadyClock::time_point now) {
    if (ms == 0 || ms > kMaxTimeoutMs) return;
    hasDeadline = true;
    deadline = now + std::chrono::milliseconds(ms);
  }
};

TComDevice::~TComDevice() { CloseFd(); }

void TComDevice::Attach(int fd) {
  std::lock_guard<std::mutex> g(m_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  queue_.clear();
  decoder_.Reset();
  pending_.Clear();
  events_ = 0;
  txWatch_ = false;
}

void TComDevice::CloseFd() {
  std::lock_guard<std::mutex> g(m_);
  pending_.Clear();
  queue_.clear();
  decoder_.Reset();
  events_ = 0;
  txWatch_ = false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TComDevice::IsOpen() const {
  std::lock_guard<std::mutex> g(m_);
  return fd_ >= 0;
}

int TComDevice::ApplyLine(const TLineSettings& line, const TInputDecoder::Options& input) {
  std::lock_guard<std::mutex> g(m_);
  if (fd_ < 0) return EBADF;
  if (int e = ApplyLineSettings(fd_, line)) return e;
  decoder_.SetOptions(input);
  return 0;
}

void TComDevice::SetTimeouts(const TComTimeoutValues& t) {
  std::lock_guard<std::mutex> g(m_);
  timeouts_ = t;
}

void TComDevice::SetQueueSize(int32_t readBufSize) {
  std::lock_guard<std::mutex> g(m_);
  readBufSize_ = readBufSize;
}

size_t TComDevice::QueueCapLocked() const {
  return std::max(kMinQueueCap, static_cast<size_t>(std::max<int32_t>(readBufSize_, 0)));
}

void TComDevice::NotifyLocked() const {
  if (wakeFd_ < 0) return;
  const char c = 'w';
  // A full pipe already means "look again"; nothing is lost.
  (void)!::write(wakeFd_, &c, 1);
}

void TComDevice::SetWakeFd(int fd) {
  std::lock_guard<std::mutex> g(m_);
  wakeFd_ = fd;
}

// Moves what the tty holds into the input queue. Returns 0 or the errno of
// a failed read (EIO once the device has gone).
int TComDevice::PumpLocked(bool fromThread) {
  if (fd_ < 0) return EBADF;
  const size_t cap = QueueCapLocked();
  const size_t before = queue_.size();
  TInputDecoder::Result seen;
  int err = 0;
  char buf[4096];
  while (queue_.size() < cap) {
    const size_t room = std::min(sizeof buf, cap - queue_.size());
    const ssize_t n = ::read(fd_, buf, room);
    if (n > 0) {
      const auto r = decoder_.Feed(buf, static_cast<size_t>(n), queue_);
      seen.sawBreak |= r.sawBreak;
      seen.sawError |= r.sawError;
      seen.sawEventChar |= r.sawEventChar;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) err = errno;
    break;
  }
  uint32_t ev = 0;
  if (queue_.size() > before) ev |= Bit(evRxChar);
  if (seen.sawEventChar) ev |= Bit(evRxFlag);
  if (seen.sawBreak) ev |= Bit(evBreak);
  if (seen.sawError) ev |= Bit(evError);
  const size_t full80 = static_cast<size_t>(std::max<int32_t>(readBufSize_, 0)) * 8 / 10;
  if (full80 > 0 && before < full80 && queue_.size() >= full80) ev |= Bit(evRx80Full);
  if (ev) {
    events_ |= ev;
    if (!fromThread) NotifyLocked();
  }
  return err;
}

size_t TComDevice::TakeLocked(char* dst, size_t n) {
  const bool wasFull = queue_.size() >= QueueCapLocked();
  n = std::min(n, queue_.size());
  if (n == 0) return 0;
  std::memcpy(dst, queue_.data(), n);
  queue_.erase(0, n);
  // The event thread stops watching for input while the queue is full.
  if (wasFull) NotifyLocked();
  return n;
}

void TComDevice::TryWriteLocked(TPendingOp& op) {
  while (op.done < op.out.size()) {
    const ssize_t n = ::write(fd_, op.out.data() + op.done, op.out.size() - op.done);
    if (n > 0) {
      op.done += static_cast<size_t>(n);
      txWatch_ = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    op.err = n < 0 ? errno : EIO;
    op.finished = true;
    return;
  }
  op.finished = true;
}

void TComDevice::TryFillLocked(TPendingOp& op) {
  const auto now = SteadyClock::now();
  if (int e = PumpLocked(false)) {
    op.err = e;
    op.finished = true;
    return;
  }
  // The caller may have touched its string meanwhile; never write past it.
  if (op.target->size() < op.want) op.target->resize(op.want);
  const size_t n = TakeLocked(op.target->data() + op.done, op.want - op.done);
  if (n > 0) {
    op.done += n;
    op.lastByte = now;
  }
  if (op.done >= op.want || op.immediate || (op.anyByte && op.done > 0) ||
      (op.hasDeadline && now >= op.deadline) ||
      (op.intervalMs > 0 && op.done > 0 && n == 0 &&
       now - op.lastByte >= std::chrono::milliseconds(op.intervalMs)))
    op.finished = true;
}

// Moves every pending operation on as far as it can go now, oldest first:
// bytes leave and arrive in the order the operations were started.
void TComDevice::ProgressLocked(TPendingOp* extra, bool includeReads) {
  std::vector<TPendingOp*> ops;
  pending_.ForEach([&](TStackItem& it) { ops.push_back(static_cast<TPendingOp*>(&it)); });
  std::reverse(ops.begin(), ops.end());
  if (extra) ops.push_back(extra);
  const auto now = SteadyClock::now();
  bool writeBlocked = false, readBlocked = false;
  for (TPendingOp* op : ops) {
    if (op->finished) continue;
    if (op->isWrite) {
      if (writeBlocked) continue;
      TryWriteLocked(*op);
      // A write whose total time is up completes with what it got.
      if (!op->finished && op->hasDeadline && now >= op->deadline) op->finished = true;
      if (!op->finished) writeBlocked = true;
    } else {
      if (!includeReads || readBlocked) continue;
      TryFillLocked(*op);
      if (!op->finished) readBlocked = true;
    }
  }
}

bool TComDevice::HasUnfinishedWritesLocked() const {
  bool any = false;
  pending_.ForEach([&](TStackItem& it) {
    const auto& op = static_cast<TPendingOp&>(it);
    if (op.isWrite && !op.finished) any = true;
  });
  return any;
}

void TComDevice::WaitOpLocked(TPendingOp& op) {
  for (;;) {
    ProgressLocked(&op, true);
    if (op.finished) return;
    int timeout = -1;
    const auto now = SteadyClock::now();
    auto until = [&](SteadyClock::time_point t) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - now).count();
      const int v = static_cast<int>(std::clamp<long long>(ms, 0, kMaxTimeoutMs));
      timeout = timeout < 0 ? v : std::min(timeout, v);
    };
    if (op.hasDeadline) until(op.deadline);
    if (op.intervalMs > 0 && op.done > 0) until(op.lastByte + std::chrono::milliseconds(op.intervalMs));
    // Older operations ahead of this one may finish by their own deadlines.
    if (pending_.Count() > 0 && (timeout < 0 || timeout > kRecheckMs)) timeout = kRecheckMs;
    pollfd p{fd_, static_cast<short>(op.isWrite ? POLLOUT : POLLIN), 0};
    const int r = ::poll(&p, 1, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      op.err = errno;
      op.finished = true;
      return;
    }
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      ProgressLocked(&op, true);
      if (!op.finished) {
        op.err = EIO;
        op.finished = true;
      }
      return;
    }
  }
}

int TComDevice::WaitLastLocked() {
  if (pending_.Empty()) return -2;
  std::unique_ptr<TStackItem> item = pending_.Pop();
  auto& op = static_cast<TPendingOp&>(*item);
  if (!op.finished) WaitOpLocked(op);
  if (op.err) Fail("WaitLast.Operation failed: ", op.err);
  return static_cast<int>(op.done);
}

int TComDevice::Write(const std::string& data, bool wait) {
  std::lock_guard<std::mutex> g(m_);
  if (fd_ < 0) Fail("WriteStr.Operation failed: ", EBADF);
  auto op = std::make_unique<TPendingOp>();
  TPendingOp* raw = op.get();
  raw->isWrite = true;
  raw->out = data;
  raw->want = data.size();
  raw->SetTotal(uint64_t{timeouts_.writeTotalMultiplier} * data.size() + timeouts_.writeTotalConstant,
                SteadyClock::now());
  pending_.Push(std::move(op));
  ProgressLocked(nullptr, false);
  if (raw->finished) {
    auto done = pending_.Pop();
    if (raw->err) Fail("WriteStr.Operation failed: ", raw->err);
    NotifyLocked();
    return static_cast<int>(raw->done);
  }
  if (wait) return WaitLastLocked();
  NotifyLocked();  // the event thread pushes the rest out as the line drains
  return -1;
}

int TComDevice::Read(std::string& data, int count, bool wait) {
  std::lock_guard<std::mutex> g(m_);
  data.assign(static_cast<size_t>(std::max(count, 0)), '\0');
  if (fd_ < 0) Fail("ReadStr.Operation aborted: ", EBADF);
  if (count <= 0) return 0;
  auto op = std::make_unique<TPendingOp>();
  TPendingOp* raw = op.get();
  raw->target = &data;
  raw->want = static_cast<size_t>(count);
  const auto& t = timeouts_;
  const auto now = SteadyClock::now();
  if (t.readInterval == kMaxDword && t.readTotalMultiplier == 0 && t.readTotalConstant == 0) {
    raw->immediate = true;
  } else if (t.readInterval == kMaxDword && t.readTotalMultiplier == kMaxDword &&
             t.readTotalConstant > 0 && t.readTotalConstant < kMaxDword) {
    raw->anyByte = true;
    raw->SetTotal(t.readTotalConstant, now);
  } else {
    raw->SetTotal(uint64_t{t.readTotalMultiplier} * static_cast<uint64_t>(count) + t.readTotalConstant, now);
    if (t.readInterval != kMaxDword && t.readInterval > 0)
      raw->intervalMs = static_cast<int>(std::min<uint64_t>(t.readInterval, kMaxTimeoutMs));
  }
  pending_.Push(std::move(op));
  ProgressLocked(nullptr, true);
  if (raw->finished) {
    auto done = pending_.Pop();
    if (raw->err) Fail("ReadStr.Operation aborted: ", raw->err);
    return static_cast<int>(raw->done);
  }
  if (wait) return WaitLastLocked();
  return -1;
}

int TComDevice::InputCount() {
  std::lock_guard<std::mutex> g(m_);
  if (fd_ < 0) Fail("Unable to read com status: ", EBADF);
  int n = 0;
  if (::ioctl(fd_, FIONREAD, &n) < 0) Fail("Unable to read com status: ", errno);
  return static_cast<int>(queue_.size()) + n;
}

int TComDevice::WaitForLastOp() {
  std::lock_guard<std::mutex> g(m_);
  return WaitLastLocked();
}

void TComDevice::AbortAll() {
  std::lock_guard<std::mutex> g(m_);
  if (pending_.Empty()) return;
  if (fd_ < 0 || ::tcflush(fd_, TCIOFLUSH) < 0) Fail("Abort.Cannot abort operation: ", fd_ < 0 ? EBADF : errno);
  pending_.Clear();
}

int TComDevice::PendingCount() const {
  std::lock_guard<std::mutex> g(m_);
  return static_cast<int>(pending_.Count());
}

TComDevice::PollRequest TComDevice::Request() {
  std::lock_guard<std::mutex> g(m_);
  PollRequest r;
  r.fd = fd_;
  if (fd_ < 0) return r;
  if (queue_.size() < QueueCapLocked()) r.events |= POLLIN;
  if (HasUnfinishedWritesLocked()) r.events |= POLLOUT;
  r.timed = txWatch_;
  return r;
}

uint32_t TComDevice::Service(short revents, bool& lost) {
  std::lock_guard<std::mutex> g(m_);
  lost = false;
  if (fd_ < 0) return 0;
  const bool gone = (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  if ((revents & POLLIN) || gone) {
    if (PumpLocked(true) != 0) lost = true;
  }
  if ((revents & POLLOUT) && !gone) ProgressLocked(nullptr, false);
  if (gone) lost = true;
  // Transmit-empty: everything written has left the driver's output queue.
  if (txWatch_ && !lost && !HasUnfinishedWritesLocked()) {
    int outq = 0;
    if (::ioctl(fd_, TIOCOUTQ, &outq) < 0 || outq <= 0) {
      txWatch_ = false;
      events_ |= Bit(evTxEmpty);
    }
  }
  const uint32_t ev = events_;
  events_ = 0;
  return ev;
}

void TComDevice::Purge() {
  std::lock_guard<std::mutex> g(m_);
  if (fd_ >= 0) (void)::tcflush(fd_, TCIOFLUSH);
  queue_.clear();
  decoder_.Reset();
}

}  // namespace px
