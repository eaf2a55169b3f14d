#include "engine/IPChannel.h"

#include <algorithm>

#include "common/Format.h"
#include "common/IpKey.h"
#include "common/StrUtil.h"
#include "engine/EngineLines.h"
#include "engine/Protocol.h"
#include "engine/TemplateHandoff.h"

namespace px {

TIPChannel::TIPChannel(EngineContext& ctx, int channel, int port)
    : ctx_(ctx), ctrl_(ctx, channel), timer_(ctx.loop, ctx.cfg.ipTimerMs > 0 ? ctx.cfg.ipTimerMs : 10) {
  MakeSocket("", port);
  timer_.Tag = channel;
  timer_.OnTimer = [this] { IPTimerTimer(); };
  timer_.SetEnabled(true);
}

TIPChannel::~TIPChannel() {
  timer_.SetEnabled(false);
  sock_->Close();
}

void TIPChannel::MakeSocket(const std::string& ip, int port) {
  sock_ = std::make_unique<TClientSocket>(ctx_.loop);
  sock_->Address = ip;
  sock_->Port = port;
  sock_->Tag = Channel();
  sock_->OnRead = [this](TClientSocket& s) { CSock1Read(s); };
  sock_->OnError = [this](TClientSocket& s, TErrorEvent ev, int& code) { CSock1Error(s, ev, code); };
  sock_->OnConnect = [this](TClientSocket& s) { CSock1Connect(s); };
  sock_->OnDisconnect = [this](TClientSocket& s) { Csock1Disconnect(s); };
}

// ---------------------------------------------------------------- the timer

void TIPChannel::IPTimerTimer() {
  timer_.SetEnabled(false);
  if (ctx_.stopping) {
    sock_->Close();
    sock_->Address.clear();
    return;
  }
  if (ctx_.Winding()) {
    const char st = ctrl_.State();
    const bool underWay = st == 'W' || st == 'E' || st == 'C' || (st == 'S' && !suspended_);
    if (!underWay) {
      sock_->Close();
      return;
    }
  }
  try {
    switch (ctrl_.State()) {
      case 'R':
        Recreate();
        break;
      case 'N':
      case '1':
      case '2':
      case '3':
      case '4': {
        bool noneEnabled = false;
        Next n = GetNextIPController(noneEnabled);
        // With nothing to try, the channel looks again at a slower pace.
        const bool waiting = n == Next::Waiting;
        if (waiting != waitingPace_) {
          waitingPace_ = waiting;
          const int tickMs = ctx_.cfg.ipTimerMs > 0 ? ctx_.cfg.ipTimerMs : 10;
          timer_.SetInterval(waiting ? std::max(tickMs, kWaitingTickMs) : tickMs);
        }
        if (waiting) {
        } else if (n == Next::Failed && !noneEnabled) {
          ctrl_.Led(CommMonitor::kRed);
          ctrl_.RefreshIPDownCount(ctrl_.CurSlot(), false);
        } else if (n == Next::Ready) {
          ctrl_.Led(CommMonitor::kBlack);
        }
        break;
      }
      case 'I':
        IdleStep();
        break;
      case 'W':
        if (wait_ <= 0) AnswerTimedOut();
        break;
      case 'S':
        // A frame begun and never ended gets the time-out of its exchange; a
        // channel suspended for the template server waits to be resumed.
        if (!suspended_ && wait_ <= 0) AnswerTimedOut();
        break;
      case 'E':
        TakeAnswer();
        break;
      case 'C':
        ctrl_.HandleRCData();
        ctrl_.Led(CommMonitor::kGreen);
        ctrl_.SetState('N');
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    Log(999, Format("<IPTimer%d> ", Channel()) + e.what());
    ctrl_.SetState('N');
  }
  if (!ctx_.stopping && !freed_) timer_.SetEnabled(true);
}

TIPChannel::Next TIPChannel::GetNextIPController(bool& noneEnabled) {
  noneEnabled = false;
  if (ctrl_.State() == 'N') {
    if (!ctrl_.AnyEnabled()) {
      Log(30, Format("%d: None enabled.", Channel()));
      noneEnabled = true;
      return Next::Failed;
    }
    if (!ChooseReachableSlot()) return Next::Waiting;
    ctrl_.SetState('1');
    ctx_.monitor.SetIpBox(Channel(), ctrl_.Cur().ip);
  }
  const TIPSlot& slot = ctrl_.Cur();
  if (connecting_) {
    if (sock_->Connected()) {
      connecting_ = false;
      Log(20, Format("%d: ", Channel()) + slot.ip + " - Connected");
      ctrl_.SetState('I');
      return Next::Ready;
    }
    if (sock_->Active() && wait_ > 0) return Next::Pending;
    const bool timedOut = sock_->Active();
    connecting_ = false;
    sock_->Close();
    ConnectFailed(slot.ip, slot.port);
    ctrl_.Led(CommMonitor::kRed);
    if (timedOut)
      Log(0, Format("%d: Network Timeout ", Channel()) + slot.ip + " Unit " + IntToStr(ctrl_.CurUnit()));
    else
      Log(30, Format("%d: Connect ", Channel()) + slot.ip + " - Failed.");
    ctrl_.SetState('N');
    return Next::Failed;
  }
  if (sock_->Address != slot.ip || sock_->Port != slot.port) {
    if (sock_->Connected() && ctrl_.State() == '1') {
      wait_ = kConnectWait;
      std::string old = sock_->Address;
      // Closing is immediate here: the socket is gone when Close returns.
      sock_->Close();
      Log(20, Format("%d: Close ", Channel()) + old + " - OK.");
      ctrl_.SetState('3');
    } else if (!sock_->Connected()) {
      ctrl_.SetState('3');
    }
  }
  if (sock_->Connected()) {
    ctrl_.SetState('I');
    return Next::Ready;
  }
  wait_ = kConnectWait;
  StartConnect(slot.ip, slot.port);
  connecting_ = true;
  ctrl_.SetState('3');
  return Next::Pending;
}

bool TIPChannel::ChooseReachableSlot() {
  for (int i = 0; i < TIPController::kSlots; ++i) {
    if (!ctrl_.ChooseNextSlot()) return false;
    const TIPSlot& s = ctrl_.Cur();
    if ((sock_->Connected() && sock_->Address == s.ip && sock_->Port == s.port) || MayConnect(s.ip, s.port))
      return true;
  }
  return false;
}

bool TIPChannel::MayConnect(const std::string& ip, int port) const {
  auto it = tries_.find(ip + ":" + IntToStr(port));
  if (it == tries_.end() || !it->second.failed) return true;
  const auto now = ctx_.clock->Now();
  // A clock set back must not shut the address out for longer.
  return now >= it->second.began + kConnectWindow || now < it->second.began;
}

void TIPChannel::StartConnect(const std::string& ip, int port) {
  tries_[ip + ":" + IntToStr(port)] = {ctx_.clock->Now(), false};
  sock_->Address = ip;
  sock_->Port = port;
  sock_->Open();
}

void TIPChannel::ConnectFailed(const std::string& ip, int port) {
  tries_[ip + ":" + IntToStr(port)].failed = true;
  // The other slots at that address are not tried before the window is
  // over either; they fail with it, so that they too are reported down.
  for (int s = 1; s <= TIPController::kSlots; ++s) {
    const TIPSlot& slot = ctrl_.Slot(s);
    if (s != ctrl_.CurSlot() && slot.rec.Enabled && slot.ip == ip && slot.port == port)
      ctrl_.RefreshIPDownCount(s, false);
  }
}

void TIPChannel::IdleStep() {
  if (cmdConnecting_) {
    ContinueCommandConnect();
    return;
  }
  if (!awaitedPoll_.empty()) {
    SendAwaitedPoll();
    return;
  }
  // Nothing goes out before the records this channel took are on disk: the
  // next poll tells their controller it may delete them. The timer looks
  // again on its next tick.
  if (!ctrl_.TransLines().Settled()) return;
  wait_ = kPollWait;
  std::string line;
  if (ctrl_.Queue_GetIPCommand(sock_->Address, line)) {
    StartCommand(line);
    return;
  }
  if (ctx_.scanningStopped) return;
  const int sleepCount = ctx_.settings.ipSleepCount;
  const int tickMs = ctx_.cfg.ipTimerMs > 0 ? ctx_.cfg.ipTimerMs : 10;
  if (sleepCount >= 1) {
    if (++idle_ < sleepCount) {
      // Each idle tick also stands for the 5 ms pause the poll pacing adds;
      // a longer tick does that without holding up the loop.
      timer_.SetInterval(tickMs + tickMs / 2);
      return;
    }
    idle_ = 0;
    timer_.SetInterval(tickMs);
  }
  std::string frame;
  if (!ctrl_.IPSendPoll(frame)) {
    // A slot disabled while current: move on rather than stay idle on it.
    ctrl_.SetState('N');
    return;
  }
  if (ctrl_.Awaited() != 0) {
    // The unit's owed mark goes to disk first; the poll waits for it.
    awaitedPoll_ = frame;
    awaitedMark_ = ctrl_.Awaited();
    awaitedSince_ = std::chrono::steady_clock::now();
    return;
  }
  ctrl_.BeginPoll();
  if (!frame.empty()) sock_->SendText(frame);
  ctrl_.SetState('W');
}

void TIPChannel::DropAwaitedPoll() {
  if (awaitedPoll_.empty()) return;
  awaitedPoll_.clear();
  // Taken back when still unwritten; once on disk the unit simply gets a
  // repeat request first at the next start.
  if (ctx_.journal) ctx_.journal->Withdraw(awaitedMark_, awaitedMark_);
}

void TIPChannel::SendAwaitedPoll() {
  const bool settled = ctrl_.TransLines().Settled();
  if (!settled && std::chrono::steady_clock::now() - awaitedSince_ < kMarkWait) return;
  const std::string frame = std::move(awaitedPoll_);
  awaitedPoll_.clear();
  // A mark the journal could not write in time is taken back, and the poll
  // with it; one that reached the disk after all lets the poll go.
  if (!settled && ctx_.journal && ctx_.journal->Withdraw(awaitedMark_, awaitedMark_)) {
    ctrl_.SetState('N');
    return;
  }
  wait_ = kPollWait;
  ctrl_.BeginPoll();
  if (!frame.empty()) sock_->SendText(frame);
  ctrl_.SetState('W');
}

void TIPChannel::StartCommand(const std::string& line) {
  const std::string id = TIPCommandQueue::IdOf(line);
  std::string frame = TIPCommandQueue::FrameOf(line);
  const std::string ip = sock_->Address;
  if (frame.empty()) {
    Log(999, Format("<IPCmd> channel %d: empty command line dropped", Channel()));
    return;
  }
  frame = PrepareFrameForSend(frame, ctx_.clock->LocalNow());
  const int unit = UnitOfAddress(frame[0]);
  const std::string code = Copy(frame, 2, 2);
  ctrl_.BeginCommand(id, unit);
  Log(0, Format("IPT%d: ", Channel()) + GetCmdDesc(code) + " to IP=" + ip + " " + IntToStr(unit));
  if (ctx_.cfg.kx6ksEnable && ctx_.templates && (code == "AC" || code == "DC")) {
    sock_->Close();
    const bool ok = TTemplateHandoff(ctx_.log, *ctx_.templates).HandleKX6KSTemplates(frame, unit, ip);
    if (!ok || suspended_) {
      ctx_.putReplyQ(IpFailLine(unit, id, ip));
      ctrl_.SetCommandInFlight(false);
      if (!suspended_) ctrl_.SetState('N');
      return;
    }
  }
  pendingLine_ = line;
  pendingFrame_ = frame;
  ctrl_.SetState('I');
  if (!sock_->Connected()) {
    sockError_ = false;
    StartConnect(sock_->Address, sock_->Port);
    cmdConnecting_ = true;
    wait_ = kConnectWait;
    return;
  }
  SendCommandFrame();
}

void TIPChannel::ContinueCommandConnect() {
  if (sock_->Connected()) {
    cmdConnecting_ = false;
    SendCommandFrame();
    return;
  }
  const bool failed = sockError_ || !sock_->Active();
  if (!failed && wait_ > 0) return;
  if (failed) Log(0, "IPT: " + sock_->Address + " " + IntToStr(Channel()) + " Sock Error");
  cmdConnecting_ = false;
  sock_->Close();
  ConnectFailed(sock_->Address, sock_->Port);
  ctrl_.Led(CommMonitor::kRed);
  ctrl_.Queue_PutIPCommand(sock_->Address, pendingLine_);
  Log(0, "Socket not connected: keep command.");
  // The command waits in the queue; the channel goes on with its slots
  // instead of retrying this one address on every tick.
  ctrl_.SetState('N');
}

void TIPChannel::SendCommandFrame() {
  ctrl_.Led(CommMonitor::kGreen);
  wait_ = kCommandWait;
  sock_->SendText(pendingFrame_);
  ctrl_.SetCommandInFlight(true);
  ctrl_.SetState('W');
}

void TIPChannel::TakeAnswer() {
  ctrl_.ProcessIPData();
  wait_ = kPollWait;
  timeouts_ = 0;
  ctrl_.Led(CommMonitor::kGreen);
  ctrl_.SetState('N');
}

void TIPChannel::AnswerTimedOut() {
  ctrl_.Led(CommMonitor::kRed);
  const std::string ip = sock_->Address;
  if (!ctrl_.CommandInFlight()) {
    Log(21, Format("IPT%d: ", Channel()) + ip + " " + IntToStr(ctrl_.CurUnit()) + " - P.TO");
    TUnitRecord& r = ctrl_.Cur().rec;
    if (r.LastPollWasQ) {
      ctrl_.RefreshIPDownCount(ctrl_.CurSlot(), false);
      r.RepeatRequest = true;
    }
  } else {
    Log(0, Format("IPT%d: ", Channel()) + ip + " " + IntToStr(ctrl_.CurUnit()) + " - C.TO");
    ctx_.putReplyQ(IpFailLine(ctrl_.CommandUnit(), ctrl_.CommandId(), ip));
    ctrl_.SetCommandInFlight(false);
  }
  ctrl_.Receiver().Abandon();
  if (sock_->Connected() && ++timeouts_ > kRecreateAfter) {
    ctrl_.SetState('R');
    timeouts_ = 0;
    return;
  }
  ctrl_.SetState('N');
}

void TIPChannel::Recreate() {
  DropAwaitedPoll();
  std::string line;
  if (ctrl_.Queue_GetIPCommand(sock_->Address, line))
    ctx_.putReplyQ(IpFailLine(TIPCommandQueue::UnitOf(line), TIPCommandQueue::IdOf(line), sock_->Address));
  if (ReCreateIP())
    ctrl_.SetState('N');
  else
    Log(0, "Failed to reestablish socket.");
}

bool TIPChannel::ReCreateIP() {
  // The old socket goes at once; nothing of it can fire any more, so there
  // is no need to wait for it as a message-driven socket would.
  sock_->Close();
  connecting_ = false;
  cmdConnecting_ = false;
  MakeSocket(ctrl_.Slot(1).ip, ctrl_.Slot(1).port);
  ++recreated_;
  Log(0, Format("%d: Socket Reestablished", Channel()));
  return true;
}

// ---------------------------------------------------------------- socket events

void TIPChannel::CSock1Read(TClientSocket& s) {
  std::string bytes = s.ReceiveText();
  // Only an exchange under way takes bytes: a late answer to one that timed
  // out must not be taken for new data (its records come again after the
  // repeat request). In express mode the controllers send unasked, so what
  // arrives between two listening turns is kept as well.
  char st = ctrl_.State();
  if (ctx_.settings.expressMode && st == 'E' && !suspended_) {
    // A frame the controller sent unasked right behind the one still to be
    // read would be lost here: the one in the ring is read first.
    TakeAnswer();
    st = ctrl_.State();
  }
  const bool listening = st == 'W' || st == 'S' ||
                         (ctx_.settings.expressMode && (st == 'N' || st == '1' || st == 'I'));
  if (!listening || suspended_) return;
  ctrl_.Receiver().Receive(bytes);
  // A card upload has no natural end but its CR: while records flow the
  // controller is alive, so its time-out starts again.
  if (ctrl_.Receiver().CardMode()) wait_ = kCommandWait;
}

void TIPChannel::CSock1Error(TClientSocket& s, TErrorEvent ev, int& code) {
  (void)s;
  (void)ev;
  const int c = code;
  code = 0;
  ctrl_.RefreshIPDownCount(ctrl_.CurSlot(), false);
  if (!sockError_)
    Log(999, Format("Socket [%d] error managed: (%d) State[%d]=%c", Channel(), c, Channel(), ctrl_.State()));
  sockError_ = true;
}

void TIPChannel::CSock1Connect(TClientSocket& s) {
  (void)s;
  sockError_ = false;
}

void TIPChannel::Csock1Disconnect(TClientSocket& s) { (void)s; }

// ---------------------------------------------------------------- services

void TIPChannel::OnOffPolling(bool on) {
  if (!on) {
    DropAwaitedPoll();
    // Whatever was under way is given up; a command in flight gets its
    // answer now rather than never.
    if (ctrl_.CommandInFlight()) {
      ctx_.putReplyQ(IpFailLine(ctrl_.CommandUnit(), ctrl_.CommandId(), sock_->Address));
      ctrl_.SetCommandInFlight(false);
    }
    if (cmdConnecting_) {
      ctrl_.Queue_PutIPCommand(sock_->Address, pendingLine_);
      cmdConnecting_ = false;
    }
    connecting_ = false;
    ctrl_.Receiver().Abandon();
    sock_->Close();
    suspended_ = true;
    ctrl_.SetState('S');
    Log(21, Format("TH%d.Suspended", Channel()));
    return;
  }
  if (suspended_) {
    // The channel connects again by itself when it chooses its next slot.
    suspended_ = false;
    ctrl_.SetState('N');
  }
  Log(21, Format("TH%d.Resume", Channel()));
  if (!ctx_.stopping && !freed_) timer_.SetEnabled(true);
}

void TIPChannel::Free() {
  freed_ = true;
  DropAwaitedPoll();
  timer_.SetEnabled(false);
  sock_->Close();
  connecting_ = cmdConnecting_ = false;
  ctrl_.Receiver().Abandon();
  ctrl_.EnableAll(false);
  sock_->Address.clear();
  ctrl_.Slot(1).ip.clear();
}

}  // namespace px
