#pragma once
// The open tty of a port: its input queue, its pending operations and the
// timeouts that bound them. Everything here runs under one mutex, because
// the port's caller and its event thread both reach the device: the caller
// for reads, writes and status, the event thread to move arriving bytes
// into the input queue and to push out the rest of pending writes.
#include <cstdint>
#include <mutex>
#include <string>

#include "serial/InputDecoder.h"
#include "serial/LineSettings.h"
#include "serial/Stack.h"

namespace px {

struct TComTimeoutValues {
  // Win32 meaning; all ones is "maximum".
  uint32_t readInterval = 0xFFFFFFFFu;
  uint32_t readTotalMultiplier = 0;
  uint32_t readTotalConstant = 0;
  uint32_t writeTotalMultiplier = 100;
  uint32_t writeTotalConstant = 1000;
};

struct TPendingOp;

class TComDevice {
public:
  TComDevice() = default;
  ~TComDevice();
  TComDevice(const TComDevice&) = delete;
  TComDevice& operator=(const TComDevice&) = delete;

  // Takes ownership of an open tty descriptor.
  void Attach(int fd);
  // Drops pending operations and the input queue and closes the tty.
  void CloseFd();
  bool IsOpen() const;

  // Returns 0 or errno.
  int ApplyLine(const TLineSettings& line, const TInputDecoder::Options& input);
  void SetTimeouts(const TComTimeoutValues& t);
  void SetQueueSize(int32_t readBufSize);

  // The port's operations; results and messages as TComPort documents them.
  int Write(const std::string& data, bool wait);
  int Read(std::string& data, int count, bool wait);
  int InputCount();
  int WaitForLastOp();
  void AbortAll();
  int PendingCount() const;

  // Event thread side.
  struct PollRequest {
    int fd = -1;
    short events = 0;
    bool timed = false;  // something needs a look even without fd activity
  };
  PollRequest Request();
  // Handles what poll() reported; returns the event bits (1u << TEvent) that
  // have arisen since the last call. lost: the device is gone.
  uint32_t Service(short revents, bool& lost);
  // Abort and clear both directions.
  void Purge();
  // A descriptor written to whenever the event thread should look again
  // (-1: none).
  void SetWakeFd(int fd);

private:
  int PumpLocked(bool fromThread);
  size_t TakeLocked(char* dst, size_t n);
  void ProgressLocked(TPendingOp* extra, bool includeReads);
  void TryWriteLocked(TPendingOp& op);
  void TryFillLocked(TPendingOp& op);
  void WaitOpLocked(TPendingOp& op);
  int WaitLastLocked();
  bool HasUnfinishedWritesLocked() const;
  size_t QueueCapLocked() const;
  void NotifyLocked() const;

  mutable std::mutex m_;
  int fd_ = -1;
  int wakeFd_ = -1;
  std::string queue_;
  TInputDecoder decoder_;
  TStack pending_;
  TComTimeoutValues timeouts_;
  int32_t readBufSize_ = 1024;
  uint32_t events_ = 0;
  bool txWatch_ = false;  // bytes were written; transmit-empty not yet seen
};

}  // namespace px
