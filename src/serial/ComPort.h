#pragma once
// Serial port component on Linux termios with an event thread.
// API contract shared by the serial bus engine. The port keeps the settings
// and the open/close sequence; TComDevice holds the tty, its input queue and
// the pending operations; TComThread waits for line activity and delivers
// the events.
//
// Use a port from one thread, the event loop's (handlers with smNone run on
// the event thread instead). When the device goes away (a USB adapter
// unplugged, the far end of a pty closed) the event thread reports it: on
// the loop the port closes itself, Connected() turns false and OnError is
// called; the owner recovers with Close and Open. Events is read at Open.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/Log.h"
#include "platform/EventLoop.h"

namespace px {

class EComPort : public std::runtime_error {
public:
  explicit EComPort(const std::string& m) : std::runtime_error(m) {}
};

enum TBaudRate { br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400, br56000, br57600, br115200 };
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDtrFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRtsFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TEvent { evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full };
using TEvents = uint32_t;  // bit (1u << TEvent)
constexpr TEvents kAllEvents = (1u << 10) - 1;
enum TSyncMethod { smSynchronize, smWindow, smNone };

int BaudRateValue(TBaudRate b);           // br9600 -> 9600
bool BaudRateFromValue(int bps, TBaudRate& out);

class TComPort;

class TParity {
public:
  explicit TParity(TComPort* owner) : owner_(owner) {}
  TParityBits Bits() const { return bits_; }
  void SetBits(TParityBits v);
  bool Check() const { return check_; }
  void SetCheck(bool v);
  bool Replace() const { return replace_; }
  void SetReplace(bool v);
  uint8_t ReplaceChar() const { return replaceChar_; }
  void SetReplaceChar(uint8_t v);
  void Assign(const TParity& o);

private:
  TComPort* owner_;
  TParityBits bits_ = prNone;
  bool check_ = false, replace_ = false;
  uint8_t replaceChar_ = 0;
};

class TFlowControl {
public:
  explicit TFlowControl(TComPort* owner) : owner_(owner) {}
  bool OutCtsFlow() const { return outCts_; }
  void SetOutCtsFlow(bool v);
  bool OutDsrFlow() const { return outDsr_; }
  void SetOutDsrFlow(bool v);
  TDtrFlowControl ControlDtr() const { return dtr_; }
  void SetControlDtr(TDtrFlowControl v);
  TRtsFlowControl ControlRts() const { return rts_; }
  void SetControlRts(TRtsFlowControl v);
  bool XonXoffOut() const { return xout_; }
  void SetXonXoffOut(bool v);
  bool XonXoffIn() const { return xin_; }
  void SetXonXoffIn(bool v);
  void Assign(const TFlowControl& o);

private:
  TComPort* owner_;
  bool outCts_ = false, outDsr_ = false;
  TDtrFlowControl dtr_ = dtrDisable;
  TRtsFlowControl rts_ = rtsDisable;
  bool xout_ = false, xin_ = false;
};

class TComTimeouts {
public:
  explicit TComTimeouts(TComPort* owner) : owner_(owner) {}
  int32_t ReadInterval() const { return readInterval_; }
  void SetReadInterval(int32_t v);
  int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
  void SetReadTotalMultiplier(int32_t v);
  int32_t ReadTotalConstant() const { return readTotalConstant_; }
  void SetReadTotalConstant(int32_t v);
  int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
  void SetWriteTotalMultiplier(int32_t v);
  int32_t WriteTotalConstant() const { return writeTotalConstant_; }
  void SetWriteTotalConstant(int32_t v);
  void Assign(const TComTimeouts& o);

private:
  TComPort* owner_;
  int32_t readInterval_ = -1, readTotalMultiplier_ = 0, readTotalConstant_ = 0;
  int32_t writeTotalMultiplier_ = 100, writeTotalConstant_ = 1000;
};

class TComThread;

class TComPort {
public:
  // loop: where smSynchronize delivers events.
  explicit TComPort(EventLoop& loop);
  ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  int Tag = 0;
  // Where failures of event handlers are reported (level 999); optional.
  ILog* Log = nullptr;

  // COMn -> device path; by default /dev/ttyS(n-1). The bus engine installs
  // one built from the configuration's "Ports" section.
  std::function<std::string(int comNumber)> DevicePath;

  void Open();   // throws EComPort
  void Close();
  bool Connected() const { return connected_.load(); }

  // Bytes written, or -1 when the rest was left pending (wait == false); a
  // pending write goes on in the background while the event thread runs and
  // is bounded by WriteTotalMultiplier * size + WriteTotalConstant ms.
  int WriteStr(const std::string& data, bool wait = true);
  // Sets data to `count` bytes and reads into it; returns the number of valid
  // leading bytes, or -1 when left pending. A pending read keeps filling
  // `data`, which must live until WaitForLastOp, AbortAllAsync or Close.
  int ReadStr(std::string& data, int count, bool wait = true);
  // Bytes waiting in the input queue.
  int InputCount();
  // Bytes moved by the newest pending operation, -2 when none is pending.
  int WaitForLastOp();
  // Purges both directions and drops every pending operation.
  void AbortAllAsync();
  int PendingCount() const;

  TBaudRate BaudRate() const { return baud_; }
  void SetBaudRate(TBaudRate v);
  int Port() const { return port_; }  // 1..96 for COM1..COM96
  void SetPort(int comNumber);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits v);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits v);
  bool DiscardNull() const { return discardNull_; }
  void SetDiscardNull(bool v);
  uint8_t EventChar() const { return eventChar_; }
  void SetEventChar(uint8_t v);
  TEvents Events() const { return events_; }
  void SetEvents(TEvents v);
  int32_t WriteBufSize() const { return writeBufSize_; }
  void SetWriteBufSize(int32_t v);
  int32_t ReadBufSize() const { return readBufSize_; }
  void SetReadBufSize(int32_t v);
  TSyncMethod SyncMethod() const { return sync_; }
  void SetSyncMethod(TSyncMethod v);  // throws while connected
  TParity& Parity() { return parity_; }
  TComTimeouts& Timeouts() { return timeouts_; }
  TFlowControl& FlowControl() { return flow_; }

  std::function<void(TComPort&, int inQue)> OnRxChar;
  std::function<void(TComPort&)> OnTxEmpty, OnBreak, OnRing, OnCTS, OnDSR, OnRLSD, OnError, OnRxFlag,
      OnOpen, OnClose, OnRx80Full;

  // Internal: re-apply settings after a property change while connected.
  void ApplyDCB();
  void ApplyTimeouts();
  void ApplyBuffers();
  // How many times the device settings were applied (tests check that an
  // unchanged value does not touch the device).
  int ApplyCount() const { return applyCount_; }
  // True while the event thread waits for the loop to run a delivery.
  bool EventDeliveryPending() const;

private:
  friend class TComThread;
  // Loop thread: the event thread found the device gone.
  void HandleDeviceLost();
  void StopThread();
  struct Impl;
  std::unique_ptr<Impl> impl_;
  EventLoop& loop_;
  std::atomic<bool> connected_{false};
  TBaudRate baud_ = br9600;
  int port_ = 1;
  TStopBits stopBits_ = sbOneStopBit;
  TDataBits dataBits_ = dbEight;
  bool discardNull_ = false;
  uint8_t eventChar_ = 0;
  TEvents events_ = kAllEvents;
  int32_t writeBufSize_ = 1024, readBufSize_ = 1024;
  TSyncMethod sync_ = smSynchronize;
  TParity parity_{this};
  TComTimeouts timeouts_{this};
  TFlowControl flow_{this};
  int applyCount_ = 0;
};

}  // namespace px
