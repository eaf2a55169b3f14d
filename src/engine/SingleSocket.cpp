#include "engine/SingleSocket.h"

#include "common/Format.h"
#include "common/IpKey.h"
#include "common/StrUtil.h"
#include "engine/EngineLines.h"
#include "engine/Protocol.h"
#include "common/Counters.h"

namespace px {

TSingleSocket::TSingleSocket(EngineContext& ctx)
    : ctx_(ctx),
      table_(ctx.ctrlTable),
      sock_(ctx.loop),
      timer_(ctx.loop, ctx.cfg.ipTimerMs > 0 ? ctx.cfg.ipTimerMs : 10),
      commands_("Single-socket command queue", &ctx.log),
      trans_(kTransSlots, "Single-socket transaction queue", ctx.log, ctx.recordsHeld, ctx.journal, "SS"),
      rx_(ctx, "Single-socket receive ring") {
  rx_.SetState('I');
  sock_.OnRead = [this](TClientSocket& s) { SingleSockRead(s); };
  sock_.OnError = [this](TClientSocket& s, TErrorEvent ev, int& code) { SingleSockError(s, ev, code); };
  timer_.OnTimer = [this] { SSTimerTimer(); };
}

TSingleSocket::~TSingleSocket() {
  timer_.SetEnabled(false);
  sock_.Close();
}

void TSingleSocket::Start() {
  // Controllers owed a repeat when the last run ended are asked for it first.
  for (int i = 1; table_ && i <= table_->Count(); ++i)
    if (Pollable((*table_)[i]) && trans_.Owed(UnitKey((*table_)[i]))) (*table_)[i].RepeatRequest = true;
  timer_.SetEnabled(true);
}

std::string TSingleSocket::UnitKey(const TCtrlRec& r) { return r.IPAddress + Format("U%d", r.LogicalPoint); }

void TSingleSocket::Stop() {
  timer_.SetEnabled(false);
  sock_.Close();
  rx_.Abandon();
}

bool TSingleSocket::Pollable(const TCtrlRec& r) {
  // Rows without an address (serial controllers) and ZK terminals have
  // nothing to say to this transport.
  return !KeyToIP(r.IPAddress).empty() && !IsTerminalType(r.CtrlType);
}

bool TSingleSocket::SST_GetNextCtrl(std::string& address, int& port, int& unit) {
  const int n = table_ ? table_->Count() : 0;
  for (int i = 0; i < n; ++i) {
    index_ = index_ >= n ? 1 : index_ + 1;
    const TCtrlRec& r = (*table_)[index_];
    if (!Pollable(r)) continue;
    address = KeyToIP(r.IPAddress);
    port = ctx_.cfg.singleSocketPort;
    unit = UnitOfPoint(r.LogicalPoint);
    return true;
  }
  return false;
}

TCtrlRec* TSingleSocket::Current() {
  if (!table_ || exchRow_ < 1 || exchRow_ > table_->Count()) return nullptr;
  return &(*table_)[exchRow_];
}

int TSingleSocket::GetDoorStatus(const std::string& ip, int unit, std::string& text) const {
  if (!table_) return 1;
  std::string key;
  try {
    key = IPToKey(ip);
  } catch (const std::exception&) {
    return 1;
  }
  for (int i = 1; i <= table_->Count(); ++i) {
    const TCtrlRec& r = (*table_)[i];
    if (r.IPAddress == key && UnitOfPoint(r.LogicalPoint) == unit) {
      text = DoorStatusText(r.StatusA, r.StatusB, r.OldModel);
      return 0;
    }
  }
  return 1;
}

// ---------------------------------------------------------------- the timer

void TSingleSocket::SSTimerTimer() {
  timer_.SetEnabled(false);
  if (ctx_.stopping) {
    sock_.Close();
    return;
  }
  if (ctx_.Winding()) {
    const char st = State();
    if (st != 'W' && st != 'S' && st != 'E' && st != 'C') {
      sock_.Close();
      return;
    }
  }
  try {
    if (idle_ < ctx_.settings.ipSleepCount) ++idle_;
    switch (State()) {
      case 'I':
        IdleStep();
        break;
      case '1':
        wait_ = kStepWait;
        sock_.Close();
        rx_.SetState('2');
        break;
      case '2':
        if (!sock_.Active()) rx_.SetState('3');
        break;
      case '3':
        wait_ = kStepWait;
        sock_.Address = ip_;
        sock_.Port = port_;
        sock_.Open();
        rx_.SetState('4');
        break;
      case '4':
        // A poll also waits for its controller's owed mark to reach the disk.
        if (sock_.Connected() && trans_.Settled()) {
          rx_.StartExchange(cmdInFlight_ ? cmdUnit_ : unit_, cmdId_);
          sock_.SendText(frame_);
          sent_ = true;
          awaited_ = 0;
          rx_.SetState('W');
        }
        break;
      case 'E':
        SST_ProcessData();
        sock_.Close();
        rx_.SetState('I');
        break;
      case 'C':
        SST_HandleRCData();
        rx_.SetState('I');
        break;
      default:
        break;
    }
    const char s = State();
    if (s != 'W' && s != 'I' && wait_ <= 0)
      TimeOut(false);
    else if (s == 'W' && wait_ <= 0)
      TimeOut(true);
  } catch (const std::exception& e) {
    Log(999, std::string("<SSTimer> ") + e.what());
    sock_.Close();
    rx_.SetState('I');
  }
  if (!ctx_.stopping) timer_.SetEnabled(true);
}

void TSingleSocket::IdleStep() {
  // Nothing goes out before the records taken are on disk: the next poll
  // tells their controller it may delete them.
  if (!trans_.Settled()) return;
  port_ = ctx_.cfg.singleSocketPort;
  wait_ = kExchangeWait;
  sent_ = false;
  awaited_ = 0;
  std::string ip, line;
  if (commands_.GetAny(ip, line)) {
    std::string frame = TIPCommandQueue::FrameOf(line);
    if (frame.empty()) {
      Log(999, "<SSCmd> empty command line dropped");
      return;
    }
    ip_ = ip;
    cmdId_ = TIPCommandQueue::IdOf(line);
    frame_ = PrepareFrameForSend(frame, ctx_.clock->LocalNow());
    cmdUnit_ = unit_ = UnitOfAddress(frame_[0]);
    Log(0, "SS.Cmd: " + GetCmdDesc(Copy(frame_, 2, 2)) + " to IP=" + ip_ + " " + IntToStr(unit_) + " " + cmdId_);
    // The row the command is for, if the table has it (its answer is not a
    // poll, but a checksum error still asks that controller for a repeat).
    exchRow_ = 0;
    std::string key;
    try {
      key = IPToKey(ip_);
    } catch (const std::exception&) {
    }
    for (int i = 1; table_ && i <= table_->Count(); ++i)
      if ((*table_)[i].IPAddress == key && UnitOfPoint((*table_)[i].LogicalPoint) == unit_) {
        exchRow_ = i;
        break;
      }
    cmdInFlight_ = true;
    rx_.SetState('1');
    idle_ = 0;
    return;
  }
  if (ctx_.scanningStopped || idle_ < ctx_.settings.ipSleepCount) return;
  idle_ = 0;
  std::string addr;
  int port = 0, unit = 0;
  if (!SST_GetNextCtrl(addr, port, unit)) return;
  TCtrlRec& c = (*table_)[index_];
  std::string code;
  if (!trans_.MayAsk()) {
    // Status only while the queue drains; a controller waiting to repeat
    // its last block is left alone, as any poll but QR would delete it.
    if (c.RepeatRequest) {
      idle_ = ctx_.settings.ipSleepCount;  // the next controller's turn comes at once
      return;
    }
    code = c.OldModel ? "RI" : "RS";
  } else if (c.StatusRequest) {
    c.StatusRequest = false;
    code = c.OldModel ? "RI" : "RS";
  } else {
    code = c.RepeatRequest ? "QR" : "QA";
    // Should the service end before the reply's records are in the journal,
    // the next run must ask for them again.
    if (!trans_.MarkOwed(UnitKey(c), awaited_)) {
      if (c.RepeatRequest) return;
      code = c.OldModel ? "RI" : "RS";
    }
  }
  frame_ = BuildPollFrame(unit, code);
  ProcessCounters::Add(Counters().ssPolls);
  ip_ = addr;
  port_ = port;
  unit_ = unit;
  exchRow_ = index_;
  cmdInFlight_ = false;
  Log(30, "SST: " + addr + " " + IntToStr(unit) + " : Poll.");
  rx_.SetState('1');
}

void TSingleSocket::TimeOut(bool waiting) {
  if (!waiting) Log(0, std::string("SS.TimeOut1: State=") + State());
  if (cmdInFlight_) {
    ctx_.putReplyQ(IpFailLine(cmdUnit_, cmdId_, ip_));
    cmdInFlight_ = false;
  } else if (TCtrlRec* c = Current()) {
    SST_RefreshIPDownCount(*c, false);
    // A poll that went out may have records on the way, also when the
    // answer was cut off part way: the block is asked for again.
    if (sent_) c->RepeatRequest = true;
  }
  // A poll that never went out takes back its owed mark if it can.
  if (awaited_ && ctx_.journal) ctx_.journal->Withdraw(awaited_, awaited_);
  awaited_ = 0;
  if (waiting) Log(0, "SS.TimeOut2: " + ip_);
  rx_.Abandon();
  sock_.Close();
  rx_.SetState('I');
}

// ---------------------------------------------------------------- socket events

void TSingleSocket::SingleSockRead(TClientSocket& s) {
  std::string bytes = s.ReceiveText();
  const char st = State();
  if (st != 'W' && st != 'S') return;
  rx_.Receive(bytes);
  if (rx_.CardMode()) wait_ = kExchangeWait;
}

void TSingleSocket::SingleSockError(TClientSocket& s, TErrorEvent ev, int& code) {
  (void)s;
  (void)ev;
  Log(999, "Managed socket error: " + IntToStr(code) + " - " + TClientSocket::ErrorText(code));
  code = 0;
  // The exchange cannot go on: give it up on the next tick instead of
  // waiting out its time-out, so one dead controller costs the others little.
  const char st = State();
  if (st == '3' || st == '4' || st == 'W' || st == 'S') wait_ = 0;
}

// ---------------------------------------------------------------- interpreting

bool TSingleSocket::SST_VerifyCSum() {
  if (VerifyFrameCheckSum(rx_.Ring().PeekAll())) return true;
  if (TCtrlRec* c = Current()) {
    c->RepeatRequest = true;
    Log(10, "QR due to C.Sum Err: " + c->TagName);
  }
  rx_.Ring().Clear();
  // A command is not repeated: its requester gets "XX" rather than nothing.
  if (cmdInFlight_) {
    ctx_.putReplyQ(IpFailLine(cmdUnit_, cmdId_, ip_));
    cmdInFlight_ = false;
  }
  return false;
}

void TSingleSocket::SST_ProcessData() {
  if (!SST_VerifyCSum()) return;
  // As on a channel: the block is asked for again when it cannot be queued whole.
  const size_t records = rx_.Ring().Count() / 15;
  if (!cmdInFlight_ && !trans_.HasRoom(records)) {
    trans_.Refused(ip_ + " " + IntToStr(unit_), records);
    if (TCtrlRec* c = Current()) c->RepeatRequest = true;
    rx_.Ring().Clear();
    return;
  }
  block_.clear();
  polled_ = false;
  ReadIPReplies(rx_.Ring().Drain(), *this);
  // The reply's records are journaled as one block, then queued, or none of
  // them (asked for again).
  if (TCtrlRec* c = Current(); c && polled_) {
    if (trans_.PutRecords(block_, UnitKey(*c))) {
      for (const auto& l : block_) ctx_.queueForRawWrite(l);
    } else {
      c->RepeatRequest = true;
    }
  } else {
    for (const auto& l : block_)
      if (trans_.PutRecords({l})) ctx_.queueForRawWrite(l);
  }
  block_.clear();
}

void TSingleSocket::OnPollHeader(int frameUnit, const std::string& code, const std::string& statusA) {
  (void)frameUnit;
  (void)code;
  TCtrlRec* c = Current();
  if (!c) return;
  SST_RefreshIPDownCount(*c, true);
  if (c->OldModel) c->StatusA = statusA;
  c->RepeatRequest = false;
  c->StatusRequest = true;
  polled_ = true;
  Log(20, ip_ + " " + IntToStr(unit_) + " - P.OK");
}

void TSingleSocket::OnRecord(int frameUnit, const std::string& record) {
  (void)frameUnit;
  TCtrlRec* c = Current();
  if (c && CharAt(record, 15) == 'Z') {
    c->StatusA = Copy(record, 9, 2);
    c->StatusB = Copy(record, 11, 4);
    return;
  }
  Log(0, ip_ + ": " + record);
  block_.push_back(IpTransLine(c ? c->LogicalPoint : unit_, record, ip_));
}

void TSingleSocket::OnFrameEnd(int frameUnit, const std::string& frame) {
  (void)frameUnit;
  if (cmdInFlight_) {
    ctx_.putReplyQ(IpReplyLine(cmdUnit_, cmdId_, ip_, IpReplyText(frame)));
    cmdInFlight_ = false;
    Log(20, "SS.Cmd: OK - " + ip_);
  }
  const std::string code = Copy(frame, 2, 2);
  if (code == "RI") {
    if (TCtrlRec* c = Current()) c->StatusB = Copy(frame, 4, 6);
    Log(30, " - I.OK");
  } else if (code == "RS") {
    Log(30, " - S.OK");
  }
}

void TSingleSocket::SST_HandleRCData() {
  int unit = cmdUnit_;
  if (rx_.TakeCardEnd(unit) && cmdInFlight_) {
    ctx_.putReplyQ(IpCardEndLine(unit, cmdId_, ip_));
    cmdInFlight_ = false;
  }
}

void TSingleSocket::SST_RefreshIPDownCount(TCtrlRec& c, bool goodPoll) {
  if (!goodPoll) ProcessCounters::Add(Counters().ssFailedPolls);
  const int change = CountIPPoll(c.DownCount, goodPoll);
  if (goodPoll) c.LastGoodPoll = ctx_.clock->Now();
  if (change == 0) return;
  const std::string ip = KeyToIP(c.IPAddress);
  Log(999, std::string(change > 0 ? "SST: Controller Up: " : "SST: Controller Down: ") + ip + " " +
               IntToStr(UnitOfPoint(c.LogicalPoint)));
  trans_.Put(IpUpDownLine(c.LogicalPoint, change > 0, ip));
}

}  // namespace px
