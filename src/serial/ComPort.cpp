#include "serial/ComPort.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <tuple>

#include "serial/ComDevice.h"
#include "serial/ComThread.h"

namespace px {

namespace {

constexpr int kBaudValues[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};

// "COM" plus the number, at most five characters (COM12).
std::string PortName(int comNumber) { return ("COM" + std::to_string(comNumber)).substr(0, 5); }

[[noreturn]] void FailState(int err) { throw EComPort("Unable to set com state: " + std::to_string(err)); }

}  // namespace

int BaudRateValue(TBaudRate b) {
  const int i = static_cast<int>(b);
  if (i < 0 || i >= static_cast<int>(std::size(kBaudValues))) return 0;
  return kBaudValues[i];
}

bool BaudRateFromValue(int bps, TBaudRate& out) {
  for (size_t i = 0; i < std::size(kBaudValues); ++i) {
    if (kBaudValues[i] == bps) {
      out = static_cast<TBaudRate>(i);
      return true;
    }
  }
  return false;
}

// ---- sub-objects: store a changed value, re-apply while connected --------

#define PX_SETTER(Class, Name, Type, field, apply) \
  void Class::Set##Name(Type v) {                  \
    if (field == v) return;                        \
    field = v;                                     \
    if (owner_ && owner_->Connected()) owner_->apply(); \
  }

PX_SETTER(TParity, Bits, TParityBits, bits_, ApplyDCB)
PX_SETTER(TParity, Check, bool, check_, ApplyDCB)
PX_SETTER(TParity, Replace, bool, replace_, ApplyDCB)
PX_SETTER(TParity, ReplaceChar, uint8_t, replaceChar_, ApplyDCB)
PX_SETTER(TFlowControl, OutCtsFlow, bool, outCts_, ApplyDCB)
PX_SETTER(TFlowControl, OutDsrFlow, bool, outDsr_, ApplyDCB)
PX_SETTER(TFlowControl, ControlDtr, TDtrFlowControl, dtr_, ApplyDCB)
PX_SETTER(TFlowControl, ControlRts, TRtsFlowControl, rts_, ApplyDCB)
PX_SETTER(TFlowControl, XonXoffOut, bool, xout_, ApplyDCB)
PX_SETTER(TFlowControl, XonXoffIn, bool, xin_, ApplyDCB)
PX_SETTER(TComTimeouts, ReadInterval, int32_t, readInterval_, ApplyTimeouts)
PX_SETTER(TComTimeouts, ReadTotalMultiplier, int32_t, readTotalMultiplier_, ApplyTimeouts)
PX_SETTER(TComTimeouts, ReadTotalConstant, int32_t, readTotalConstant_, ApplyTimeouts)
PX_SETTER(TComTimeouts, WriteTotalMultiplier, int32_t, writeTotalMultiplier_, ApplyTimeouts)
PX_SETTER(TComTimeouts, WriteTotalConstant, int32_t, writeTotalConstant_, ApplyTimeouts)

#define PX_PORT_SETTER(Name, Type, field, apply) \
  void TComPort::Set##Name(Type v) {             \
    if (field == v) return;                      \
    field = v;                                   \
    if (Connected()) apply();                    \
  }

PX_PORT_SETTER(BaudRate, TBaudRate, baud_, ApplyDCB)
PX_PORT_SETTER(StopBits, TStopBits, stopBits_, ApplyDCB)
PX_PORT_SETTER(DataBits, TDataBits, dataBits_, ApplyDCB)
PX_PORT_SETTER(DiscardNull, bool, discardNull_, ApplyDCB)
PX_PORT_SETTER(EventChar, uint8_t, eventChar_, ApplyDCB)
PX_PORT_SETTER(WriteBufSize, int32_t, writeBufSize_, ApplyBuffers)
PX_PORT_SETTER(ReadBufSize, int32_t, readBufSize_, ApplyBuffers)

#undef PX_SETTER
#undef PX_PORT_SETTER

// Copies every field at once and re-applies once, only when something changed.
template <class Mine, class Theirs>
void AssignFields(Mine mine, const Theirs& theirs, TComPort* owner, void (TComPort::*apply)()) {
  if (mine == theirs) return;
  mine = theirs;
  if (owner && owner->Connected()) (owner->*apply)();
}

void TParity::Assign(const TParity& o) {
  AssignFields(std::tie(bits_, check_, replace_, replaceChar_),
               std::tie(o.bits_, o.check_, o.replace_, o.replaceChar_), owner_, &TComPort::ApplyDCB);
}

void TFlowControl::Assign(const TFlowControl& o) {
  AssignFields(std::tie(outCts_, outDsr_, dtr_, rts_, xout_, xin_),
               std::tie(o.outCts_, o.outDsr_, o.dtr_, o.rts_, o.xout_, o.xin_), owner_, &TComPort::ApplyDCB);
}

void TComTimeouts::Assign(const TComTimeouts& o) {
  AssignFields(std::tie(readInterval_, readTotalMultiplier_, readTotalConstant_, writeTotalMultiplier_,
                        writeTotalConstant_),
               std::tie(o.readInterval_, o.readTotalMultiplier_, o.readTotalConstant_, o.writeTotalMultiplier_,
                        o.writeTotalConstant_),
               owner_, &TComPort::ApplyTimeouts);
}

// ---- the port ---------------------------------------------------------------

struct TComPort::Impl {
  TComDevice dev;
  std::unique_ptr<TComThread> thread;
};

TComPort::TComPort(EventLoop& loop) : impl_(std::make_unique<Impl>()), loop_(loop) {}

TComPort::~TComPort() { Close(); }

void TComPort::SetPort(int comNumber) { port_ = comNumber; }

void TComPort::SetEvents(TEvents v) { events_ = v & kAllEvents; }

void TComPort::SetSyncMethod(TSyncMethod v) {
  if (sync_ == v) return;
  if (Connected()) throw EComPort("Cannot set SyncMethod while connected");
  sync_ = v;
}

void TComPort::ApplyBuffers() {
  if (!Connected()) return;
  ++applyCount_;
  // The tty's queues have a fixed size; the read size still decides when
  // the input queue counts as 80% full.
  impl_->dev.SetQueueSize(readBufSize_);
}

void TComPort::ApplyDCB() {
  if (!Connected()) return;
  ++applyCount_;
  TLineSettings line;
  line.baud = BaudRateValue(baud_);
  line.dataBits = static_cast<int>(dataBits_) + 5;
  line.stopBits = static_cast<int>(stopBits_);
  line.parity = static_cast<int>(parity_.Bits());
  line.parityCheck = parity_.Check();
  line.outCtsFlow = flow_.OutCtsFlow();
  line.outDsrFlow = flow_.OutDsrFlow();
  line.dtrControl = static_cast<int>(flow_.ControlDtr());
  line.rtsControl = static_cast<int>(flow_.ControlRts());
  line.xonXoffOut = flow_.XonXoffOut();
  line.xonXoffIn = flow_.XonXoffIn();
  TInputDecoder::Options in;
  in.discardNull = discardNull_;
  in.replaceErrors = parity_.Replace();
  // The error character is only set when replacement is on.
  in.replaceChar = parity_.Replace() ? parity_.ReplaceChar() : 0;
  in.eventChar = eventChar_;
  if (int e = impl_->dev.ApplyLine(line, in)) FailState(e);
}

void TComPort::ApplyTimeouts() {
  if (!Connected()) return;
  ++applyCount_;
  TComTimeoutValues t;
  t.readInterval = static_cast<uint32_t>(timeouts_.ReadInterval());
  t.readTotalMultiplier = static_cast<uint32_t>(timeouts_.ReadTotalMultiplier());
  t.readTotalConstant = static_cast<uint32_t>(timeouts_.ReadTotalConstant());
  t.writeTotalMultiplier = static_cast<uint32_t>(timeouts_.WriteTotalMultiplier());
  t.writeTotalConstant = static_cast<uint32_t>(timeouts_.WriteTotalConstant());
  impl_->dev.SetTimeouts(t);
}

void TComPort::Open() {
  Close();
  const std::string path = DevicePath ? DevicePath(port_) : "/dev/ttyS" + std::to_string(port_ - 1);
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw EComPort("Unable to open com port: " + PortName(port_));
  // Not shared: later opens by others are refused (where the device allows).
  (void)::ioctl(fd, TIOCEXCL);
  impl_->dev.Attach(fd);
  connected_ = true;
  // A failure from here on leaves the port connected with the device open;
  // the next Close (or Open) releases it.
  ApplyBuffers();
  ApplyDCB();
  ApplyTimeouts();
  if (events_ != 0) {
    impl_->thread = std::make_unique<TComThread>(*this, impl_->dev, loop_, events_, sync_);
    impl_->thread->Start();
  }
  if (OnOpen) OnOpen(*this);
}

void TComPort::StopThread() {
  auto& t = impl_->thread;
  if (!t) return;
  const bool own = t->OnOwnThread();
  t->Stop();
  if (own)
    (void)t.release();  // frees itself once the running handler returns
  else
    t.reset();
}

void TComPort::Close() {
  if (!Connected()) return;
  try {
    AbortAllAsync();
  } catch (const EComPort&) {
    // A device that cannot be purged any more is still closed below.
  }
  StopThread();
  impl_->dev.CloseFd();
  connected_ = false;
  if (OnClose) OnClose(*this);
}

void TComPort::HandleDeviceLost() {
  if (!Connected()) return;
  StopThread();
  impl_->dev.CloseFd();
  connected_ = false;
  if (OnError) OnError(*this);
}

int TComPort::WriteStr(const std::string& data, bool wait) { return impl_->dev.Write(data, wait); }

int TComPort::ReadStr(std::string& data, int count, bool wait) { return impl_->dev.Read(data, count, wait); }

int TComPort::InputCount() { return impl_->dev.InputCount(); }

int TComPort::WaitForLastOp() { return impl_->dev.WaitForLastOp(); }

void TComPort::AbortAllAsync() { impl_->dev.AbortAll(); }

int TComPort::PendingCount() const { return impl_->dev.PendingCount(); }

bool TComPort::EventDeliveryPending() const { return impl_->thread && impl_->thread->DeliveryPending(); }

}  // namespace px
