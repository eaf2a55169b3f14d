#include "engine/AccComm.h"

#include <vector>

#include "common/Format.h"
#include "common/StrUtil.h"
#include "engine/EngineLines.h"
#include "engine/Protocol.h"
#include "serial/ComPort.h"
#include "common/Counters.h"

namespace px {

TAccComm::TAccComm(EngineContext& ctx, int bus)
    : ctx_(ctx),
      bus_(bus),
      ring_(Format("Bus %d receive ring", bus), &ctx.log),
      commands_(kCommandSlots, Format("Bus %d command queue", bus), &ctx.log),
      trans_(kTransSlots, Format("Bus %d transaction queue", bus), ctx.log, ctx.recordsHeld, ctx.journal,
             Format("B%d", bus)) {
  for (int u = 1; u <= kUnits; ++u) {
    Unit(u).UnitNumber = u;
    // A unit that owed a repeat when the last run ended is asked for it
    // first, so its controller sends that block again instead of deleting it.
    Unit(u).RepeatRequest = trans_.Owed(UnitKey(u));
  }
}

std::string TAccComm::UnitKey(int unit) const { return Format("B%dU%2.2d", bus_, unit); }

TAccComm::~TAccComm() {
  if (cardFile_.is_open()) cardFile_.close();
}

void TAccComm::Led(int unit, uint32_t colour) { ctx_.monitor.SetBusLed(bus_, unit, colour); }

void TAccComm::PutTrans(const std::string& line) { trans_.Put(line); }

void TAccComm::Write(const std::string& bytes) {
  if (!port_) return;
  try {
    port_->WriteStr(bytes, true);
  } catch (const std::exception& e) {
    ctx_.log.WriteLog(999, Format("<BusWrite> B%d %s", bus_, e.what()));
  }
}

// ---------------------------------------------------------------- receiving

void TAccComm::OnRxChar(TComPort& port, int inQue) {
  if (inQue <= 0) return;
  std::string data;
  try {
    int n = port.ReadStr(data, inQue, true);
    data.resize(n > 0 ? static_cast<size_t>(n) : 0);
  } catch (const std::exception& e) {
    ctx_.log.WriteLog(999, Format("<BusRead> B%d %s", bus_, e.what()));
    return;
  }
  Receive(data);
}

void TAccComm::Receive(const std::string& bytes) {
  if (bytes.empty()) return;
  bool cardBefore = finder_.CardMode();
  std::string ready = finder_.Feed(bytes, *this);
  if (!ready.empty()) ring_.Put(ready);
  // A card upload has no natural end but its CR: every byte of it shows
  // the controller is still sending, so the time-out starts again.
  if (cardBefore || finder_.CardMode()) timeout_ = kReplyTicks;
  char st = finder_.State();
  if ((st == 'E' || st == 'C') && OnAnswerComplete) OnAnswerComplete();
}

void TAccComm::OnNul() { timeout_ = kReplyTicks; }

void TAccComm::OnCardStart() {
  if (cardFile_.is_open()) {
    ctx_.log.WriteLog(999, "@@> Reassign RC file.");
    cardFile_.close();
  }
  ring_.Clear();
  cardFile_.open(ctx_.cfg.appDir + "user.tmp", std::ios::out | std::ios::trunc | std::ios::binary);
  if (!cardFile_.is_open()) ctx_.log.WriteLog(999, "<RCFile> cannot create " + ctx_.cfg.appDir + "user.tmp");
  cardCount_ = 0;
}

void TAccComm::OnCardRecord(const std::string& record) {
  ++cardCount_;
  ctx_.putReplyQ(SerialCardProgressLine(bus_, cmdUnit_, cmdId_, cardCount_));
  if (cardFile_.is_open()) cardFile_ << record << '\n';
}

void TAccComm::OnCardEnd() {
  if (cardFile_.is_open()) cardFile_.close();
}

// ---------------------------------------------------------------- bus thread steps

BusSnapshot TAccComm::CheckBusPort(BusTurn& turn) {
  if (!ctx_.stopping) {
    bool open = port_ && port_->Connected();
    if (open && turn.busState == 'D') turn.busState = 'N';
    if (!open && port_) {
      if (turn.busState == 'N') {
        RefreshBusStatus(true);
        turn.busState = 'D';
      }
      ctx_.log.WriteLog(30, "(1) Attempt to recover Comm.");
      try {
        port_->Close();
        port_->Open();
      } catch (const std::exception&) {
        // Still gone; the next turn tries again.
      }
    }
  }
  turn.portOpen = port_ && port_->Connected();
  return BusSnapshot{turn.portOpen, finder_.State(), timeout_, finder_.CardMode()};
}

void TAccComm::StartExchange() {
  // Whatever is left from an earlier exchange (a late or broken answer)
  // must not be taken for the answer to this one.
  ring_.Clear();
  finder_.Reset();
  if (cardFile_.is_open()) cardFile_.close();
}

TAccComm::IdleResult TAccComm::IdleStep(BusTurn& turn) {
  timeout_ = kReplyTicks;
  turn.awaited = 0;
  if (FetchBusCommand(turn)) {
    StartExchange();
    SendBusCommand(turn);
    turn.commandInFlight = true;
    finder_.SetState('W');
    return IdleResult::CommandSent;
  }
  if (ctx_.scanningStopped) return IdleResult::ScanningStopped;
  turn.commandInFlight = false;
  bool ask = trans_.MayAsk();
  int unit = ChooseNextUnit(ask);
  if (unit == 0) return IdleResult::NoneEnabled;
  std::string code = PollCode(unit, ask);
  if (code == "QA" || code == "QR") {
    // The reply may carry records: should the service end before they are
    // in the journal, the next run must ask for them again.
    if (!trans_.MarkOwed(UnitKey(unit), turn.awaited)) {
      if (Unit(unit).RepeatRequest) return IdleResult::NoneEnabled;
      code = PollCode(unit, false);
    }
  }
  lastPolled_ = unit;
  turn.unit = unit;
  turn.pollCode = code;
  if (turn.awaited) return IdleResult::AwaitJournal;
  StartExchange();
  SendPoll(unit, code);
  finder_.SetState('W');
  return IdleResult::PollSent;
}

TAccComm::IdleResult TAccComm::SendAwaitedPoll(BusTurn& turn, bool settled) {
  const IIntakeJournal::Seq mark = turn.awaited;
  turn.awaited = 0;
  if (!settled && ctx_.journal && ctx_.journal->Withdraw(mark, mark)) return IdleResult::NoneEnabled;
  // At a stop no new exchange starts; a mark already on disk only means a
  // repeat request first at the next start.
  if (!ValidUnit(turn.unit) || ctx_.Winding() || ctx_.stopping) return IdleResult::NoneEnabled;
  StartExchange();
  SendPoll(turn.unit, turn.pollCode);
  finder_.SetState('W');
  return IdleResult::PollSent;
}

bool TAccComm::FetchBusCommand(BusTurn& turn) {
  std::string line;
  while (commands_.Get(line)) {
    std::string frame = CopyFrom(line, 10);
    if (frame.empty()) continue;
    int unit = UnitOfAddress(frame[0]);
    if (!ValidUnit(unit)) {
      ctx_.log.WriteLog(999, Format("<BusCmd> B%d bad command line dropped", bus_));
      continue;
    }
    turn.id = Copy(line, 1, 9);
    turn.frame = frame;
    turn.unit = unit;
    cmdId_ = turn.id;
    cmdUnit_ = unit;
    finder_.SetAnswerUnit(unit);
    Led(unit, CommMonitor::kBlack);
    ctx_.log.WriteLog(10, GetCmdDesc(Copy(frame, 2, 2)) + Format(" to B%d U%d", bus_, unit));
    return true;
  }
  return false;
}

void TAccComm::SendBusCommand(BusTurn& turn) { Write(PrepareFrameForSend(turn.frame, ctx_.clock->LocalNow())); }

int TAccComm::ChooseNextUnit(bool askRecords) const {
  int u = lastPolled_;
  for (int i = 0; i < kUnits; ++i) {
    u = u >= kUnits ? 1 : u + 1;
    const TUnitRecord& r = units_[static_cast<size_t>(u - 1)];
    if (r.Enabled && (askRecords || !r.RepeatRequest)) return u;
  }
  return 0;
}

std::string TAccComm::PollCode(int unit, bool askRecords) const {
  const TUnitRecord& r = units_[static_cast<size_t>(unit - 1)];
  if (askRecords && r.RepeatRequest) return "QR";
  if (r.Model.empty()) return "VN";
  if (askRecords && !r.StatusRequest) return "QA";
  return r.ModelKnown ? "RI" : "RS";
}

void TAccComm::SendPoll(int unit, const std::string& code) {
  TUnitRecord& r = Unit(unit);
  ctx_.monitor.SetPanelText(1, Format("Scanning Bus %d Ctrl %d [%d]", bus_, unit, ctx_.clock->LocalNow().msec));
  ctx_.log.WriteLog(30, Format("SR: B%d U%d: %s", bus_, unit, r.StatusRequest ? "Req Status" : "Poll"));
  Write(BuildPollFrame(unit, code));
  ProcessCounters::Add(Counters().busPolls, bus_);
  Led(unit, CommMonitor::kBlack);
}

void TAccComm::GiveUpAnswer(BusTurn& turn) {
  char s = finder_.State();
  if (!((s == 'W' || (s == 'S' && !finder_.CardMode())) && timeout_ <= 0)) return;
  NoAnswer(turn);
}

void TAccComm::NoAnswer(BusTurn& turn) {
  if (ValidUnit(turn.unit)) {
    if (!turn.commandInFlight) {
      Unit(turn.unit).RepeatRequest = true;
      ReportPollTimeout(turn.unit);
    } else {
      turn.reply = "XX";
      ReportCommandFailed(turn);
    }
    Led(turn.unit, CommMonitor::kRed);
  }
  ring_.Clear();
  finder_.Reset();
}

void TAccComm::AbandonCardUpload(BusTurn& turn) {
  if (!(finder_.State() == 'S' && finder_.CardMode() && timeout_ <= 0)) return;
  if (cardFile_.is_open()) cardFile_.close();
  ctx_.log.WriteLog(999, Format("Card upload stopped: B%d U%d, %d records", bus_, cmdUnit_, cardCount_));
  ctx_.putReplyQ(SerialReplyLine(bus_, cmdUnit_, cmdId_, "XX"));
  Led(cmdUnit_, CommMonitor::kRed);
  turn.commandInFlight = false;
  ring_.Clear();
  finder_.Reset();
}

bool TAccComm::HandleRecords(int unit, const std::string& frame, int from, int count) {
  TUnitRecord& r = Unit(unit);
  if (!trans_.HasRoom(static_cast<size_t>(count))) {
    trans_.Refused(Format("B%d U%d", bus_, unit), static_cast<size_t>(count));
    return false;
  }
  std::vector<std::string> lines, raw;
  std::string statusA = r.StatusA, statusB = r.StatusB;
  for (int i = 0; i < count; ++i) {
    std::string rec = Copy(frame, from + 15 * i, 15);
    if (CharAt(rec, 15) == 'Z') {
      statusA = Copy(rec, 9, 2);
      statusB = Copy(rec, 11, 4);
      continue;
    }
    raw.push_back(SerialRawLine(bus_, unit, rec));
    lines.push_back(SerialTransLine(bus_, unit, rec));
  }
  // The whole block is journaled, then queued, or none of it (asked for again).
  if (!trans_.PutRecords(lines, UnitKey(unit))) return false;
  r.StatusA = statusA;
  r.StatusB = statusB;
  for (const auto& l : raw) ctx_.queueForRawWrite(l);
  return true;
}

void TAccComm::ProcessBusReply(BusTurn& turn) {
  std::string f = ExtractFrame(ring_.Drain(), true);
  finder_.SetState('I');
  if (f.empty()) return;
  if (f.size() < 4) {
    // An address and CR with no code between them answers nothing: it
    // must not count as a good poll or bring a down unit up.
    ctx_.log.WriteLog(20, Format("SR: B%d U%d: frame without a code", bus_, UnitOfAddress(f[0])));
    NoAnswer(turn);
    return;
  }
  int unit = UnitOfAddress(f[0]);
  TUnitRecord& r = Unit(unit);
  Led(unit, CommMonitor::kGreen);
  const auto len = static_cast<long long>(f.size());
  const long long dataLen = len - 6;
  const std::string code = Copy(f, 2, 2);
  const std::string data = Copy(f, 4, dataLen);
  if (code == "VN" && !turn.commandInFlight) {
    ctx_.log.WriteLog(20, Format("B%d U%d: ", bus_, unit) + data);
    size_t v = Pos("V", data);
    r.Model = v ? Copy(data, 1, static_cast<long long>(v) - 1) : data;
    r.Version = v ? CopyFrom(data, static_cast<long long>(v) + 1) : std::string();
    r.ModelKnown = IsKnownModel(r.Model);
  } else if (code == "RS") {
    ctx_.log.WriteLog(30, Format("SR: B%d U%d: OK (Sts.S)", bus_, unit));
    UpdateUnitUpDown(unit, true);
    r.StatusRequest = false;
  } else if (code == "RI") {
    r.StatusB = Copy(f, 4, 6);
    ctx_.log.WriteLog(30, Format("SR: B%d U%d: OK (Sts.I)", bus_, unit));
    UpdateUnitUpDown(unit, true);
    r.StatusRequest = false;
  } else if (code == "AD") {
    ctx_.log.WriteLog(30, Format("SR: B%d U%d: OK (ACK)", bus_, unit));
  } else if (code == "QA" || code == "QR" || code == "DB") {
    r.StatusA = Copy(f, 4, 2);
    bool taken = true;
    if (dataLen > 14) {
      std::string received = Copy(f, len - 2, 2);
      std::string computed = ByteSumHex(data);
      if (received != computed) {
        ctx_.log.WriteLog(999, "CheckSum Error: P=" + received + " C=" + computed);
        taken = false;
      } else if (code == "DB") {
        r.DataBlock = true;
        taken = HandleRecords(unit, f, 4, static_cast<int>(dataLen / 15));
      } else {
        taken = HandleRecords(unit, f, 6, static_cast<int>((dataLen - 2) / 15));
      }
    }
    if (code == "QA") r.StatusRequest = true;
    // A block that was not taken is asked for again (QR) rather than lost.
    r.RepeatRequest = !taken;
    UpdateUnitUpDown(unit, true);
    ctx_.log.WriteLog(20, Format("SR: B%d U%d: OK (Poll)", bus_, unit));
  } else {
    ctx_.log.WriteLog(20, Format("SR: B%d U%d: Cmd OK (", bus_, unit) + GetCmdDesc(code) + ")");
    ctx_.putReplyQ(SerialReplyLine(bus_, unit, cmdId_, SerialReplyOk(f)));
    UpdateUnitUpDown(unit, true);
  }
}

void TAccComm::FinishCardUpload(BusTurn& turn) {
  (void)turn;
  int unit = cmdUnit_;
  char c;
  while (ring_.GetChar(c)) {
    if (IsBusAddress(c)) unit = UnitOfAddress(c);
    else if (c == kCR) ctx_.putReplyQ(SerialReplyLine(bus_, unit, cmdId_, "OK"));
  }
  finder_.SetState('I');
}

void TAccComm::ReportPollTimeout(int unit) {
  ProcessCounters::Add(Counters().busFailedPolls, bus_);
  UpdateUnitUpDown(unit, false);
  ctx_.log.WriteLog(20, Format("SR: B%d U%d: Failed. (TO)(%d)", bus_, unit, Unit(unit).FailureCount));
}

void TAccComm::ReportCommandFailed(BusTurn& turn) {
  ctx_.putReplyQ(SerialReplyLine(bus_, turn.unit, turn.id, "XX"));
  ctx_.log.WriteLog(20, Format("SR: B%d U%d - Cmd Failed.", bus_, turn.unit));
}

void TAccComm::UpdateUnitUpDown(int unit, bool goodPoll) {
  TUnitRecord& r = Unit(unit);
  if (goodPoll) {
    if (r.FailureCount > 5) {
      ctx_.log.WriteLog(999, Format("Controller Up: B%d U%d", bus_, unit));
      PutTrans(SerialUpDownLine(bus_, unit, true));
    }
    r.FailureCount = 0;
    r.LastGoodPoll = ctx_.clock->Now();
    return;
  }
  if (r.FailureCount < 6) {
    if (r.FailureCount == 5) {
      ctx_.log.WriteLog(999, Format("SR: Controller Down: B%d U%d", bus_, unit));
      PutTrans(SerialUpDownLine(bus_, unit, false));
    }
    ++r.FailureCount;
  }
}

void TAccComm::RefreshBusStatus(bool markDown) {
  if (!markDown) return;
  for (int u = 1; u <= kUnits; ++u) {
    if (ctx_.stopping) break;
    if (!Unit(u).Enabled) continue;
    Unit(u).FailureCount = 5;
    UpdateUnitUpDown(u, false);
  }
}

}  // namespace px
