#include "engine/IPController.h"

#include "common/ControllerTable.h"
#include "common/Format.h"
#include "common/IpKey.h"
#include "common/StrUtil.h"
#include "engine/EngineLines.h"
#include "engine/Protocol.h"
#include "common/Counters.h"

namespace px {

TIPController::TIPController(EngineContext& ctx, int channel)
    : ctx_(ctx),
      channel_(channel),
      commands_(Format("IP channel %d command queue", channel), &ctx.log),
      trans_(kTransSlots, Format("IP channel %d transaction queue", channel), ctx.log, ctx.recordsHeld, ctx.journal,
             Format("IP%d", channel)),
      receiver_(ctx, Format("IP channel %d receive ring", channel)) {
  receiver_.SetState('N');
}

int TIPController::WireUnit(int unit) { return unit >= 1 ? UnitOfPoint(unit) : unit; }

// ---------------------------------------------------------------- slots

int TIPController::FreeSlot() const {
  for (int s = 1; s <= kSlots; ++s)
    if (Slot(s).rec.UnitNumber < 1) return s;
  return 0;
}

void TIPController::FillSlot(int slot, bool wasDown, bool enabled, int port, const std::string& configuredModel,
                             const std::string& ip, int unit) {
  TIPSlot& s = Slot(slot);
  TUnitRecord& r = s.rec;
  r = TUnitRecord{};
  r.UnitNumber = unit;
  r.Enabled = enabled;
  r.LastPollWasQ = false;
  r.StatusRequest = false;
  r.Model.clear();
  r.ConfiguredModel = configuredModel;
  r.VersionRequests = 0;
  r.ModelKnown = true;
  r.Reachable = true;
  r.FailureCount = wasDown ? 4 : 0;
  s.ip = ip;
  s.port = port;
  // Owed when the last run ended: asked for that block again first.
  r.RepeatRequest = trans_.Owed(UnitKey(slot));
  ctx_.monitor.SetIpLedHint(channel_, unit, ip);
}

std::string TIPController::UnitKey(int slot) const {
  const TIPSlot& s = Slot(slot);
  try {
    return IPToKey(s.ip) + Format("U%d", s.rec.UnitNumber);
  } catch (const std::exception&) {
    return s.ip + Format("U%d", s.rec.UnitNumber);
  }
}

bool TIPController::HoldsAddress(const std::string& ip) const {
  for (const auto& s : slots_)
    if (s.rec.UnitNumber >= 1 && s.ip == ip) return true;
  return false;
}

int TIPController::EnableUnit(const std::string& ip, int unit, bool enable) {
  auto apply = [&](bool byWire) {
    int n = 0;
    for (int i = 1; i <= kSlots; ++i) {
      TIPSlot& s = Slot(i);
      if (s.rec.UnitNumber < 1 || s.ip != ip) continue;
      if (byWire ? WireUnit(s.rec.UnitNumber) != unit : s.rec.UnitNumber != unit) continue;
      s.rec.Enabled = enable;
      Log(10, Format("Channel %d Unit %d enabled=%s", channel_, s.rec.UnitNumber, BoolStr(enable)));
      ++n;
    }
    return n;
  };
  int n = apply(false);
  return n > 0 ? n : apply(true);
}

void TIPController::EnableAll(bool enable) {
  for (auto& s : slots_) s.rec.Enabled = enable;
}

const TIPSlot* TIPController::FindSlot(const std::string& ip, int unit) const {
  for (int pass = 0; pass < 2; ++pass)
    for (const auto& s : slots_) {
      if (!s.rec.Enabled || s.rec.UnitNumber < 1 || s.ip != ip) continue;
      if ((pass == 0 ? s.rec.UnitNumber : WireUnit(s.rec.UnitNumber)) == unit) return &s;
    }
  return nullptr;
}

bool TIPController::ChooseNextSlot() {
  pollOut_ = false;
  int s = curSlot_;
  for (int i = 0; i < kSlots; ++i) {
    s = s >= kSlots ? 1 : s + 1;
    if (Slot(s).rec.Enabled) {
      curSlot_ = s;
      curUnit_ = Slot(s).rec.UnitNumber;
      return true;
    }
  }
  return false;
}

bool TIPController::AnyEnabled() const {
  for (const auto& s : slots_)
    if (s.rec.Enabled) return true;
  return false;
}

void TIPController::DropCommands() {
  commands_.Clear([this](const std::string& ip, const std::string& line) {
    ctx_.putReplyQ(IpFailLine(TIPCommandQueue::UnitOf(line), TIPCommandQueue::IdOf(line), ip));
  });
}

// ---------------------------------------------------------------- exchange

void TIPController::Led(uint32_t colour) { ctx_.monitor.IP_UpdateLED(channel_, curUnit_, colour); }

void TIPController::BeginCommand(const std::string& id, int unit) {
  cmdId_ = id;
  cmdUnit_ = unit;
  curUnit_ = unit;
  receiver_.StartExchange(unit, id);
}

void TIPController::BeginPoll() {
  cmdInFlight_ = false;
  receiver_.StartExchange(WireUnit(curUnit_), cmdId_);
}

bool TIPController::IPSendPoll(std::string& frame) {
  frame.clear();
  awaited_ = 0;
  TUnitRecord& r = Cur().rec;
  if (!r.Enabled || !r.Reachable) return false;
  const bool ask = trans_.MayAsk();
  std::string code;
  if (ask && r.RepeatRequest) {
    // Before anything else, also before the version request: any other
    // poll would have the controller delete the block it owes.
    code = "QR";
  } else if (r.RepeatRequest && !ask) {
    // Records are not asked for now, and any other poll, the version
    // request of a restart too, would have the controller delete its block.
    return false;
  } else if (r.Model.empty() || ctx_.settings.expressMode) {
    // Capped, so a channel in express mode can listen for ever.
    if (r.VersionRequests < 4) ++r.VersionRequests;
    if (r.VersionRequests < 4) {
      code = "VN";
    } else {
      r.Model = r.ConfiguredModel;
      Log(20, Format("%d: Sq=%d U%d Ctrl# %d is ", channel_, curSlot_, r.UnitNumber, curUnit_) + r.Model);
    }
  } else if (!ask) {
    r.StatusRequest = true;
    code = r.ModelKnown ? "RI" : "RS";
  } else {
    r.StatusRequest = !r.StatusRequest;
    code = !r.StatusRequest ? "QA" : (r.ModelKnown ? "RI" : "RS");
  }
  if (code == "QA" || code == "QR") {
    // Should the service end before the reply's records are in the journal,
    // the next run must ask for them again.
    if (!trans_.MarkOwed(UnitKey(curSlot_), awaited_)) {
      if (r.RepeatRequest) return false;
      r.StatusRequest = true;
      code = r.ModelKnown ? "RI" : "RS";
    }
  }
  if (!code.empty()) {
    frame = BuildPollFrame(WireUnit(curUnit_), code);
    ProcessCounters::Add(Counters().ipPolls, channel_);
    pollOut_ = true;
  }
  r.LastPollWasQ = !code.empty() && code[0] == 'Q';
  Led(CommMonitor::kBlack);
  return true;
}

void TIPController::ProcessIPData() {
  ByteRing& ring = receiver_.Ring();
  if (!VerifyFrameCheckSum(ring.PeekAll())) {
    Cur().rec.RepeatRequest = true;
    Log(0, "Set QR due to check sum error");
    ring.Clear();
    Log(0, "Checksum error");
    // A command is not repeated: its requester is told it failed instead
    // of asking for a reply that never comes.
    if (cmdInFlight_) {
      ctx_.putReplyQ(IpFailLine(cmdUnit_, cmdId_, Cur().ip));
      cmdInFlight_ = false;
    }
    return;
  }
  // Records go to the queue as the reply is read, so room for all that the
  // reply can hold is made sure of first; without it the block is asked for
  // again.
  const size_t records = ring.Count() / 15;
  if (!cmdInFlight_ && !trans_.HasRoom(records)) {
    trans_.Refused(Cur().ip + " " + IntToStr(Cur().rec.UnitNumber), records);
    Cur().rec.RepeatRequest = true;
    ring.Clear();
    return;
  }
  block_.clear();
  ReadIPReplies(ring.Drain(), *this);
  // Each controller's records are journaled as one block, then queued, or
  // none of them (asked for again).
  for (auto& b : block_) {
    TIPSlot& s = Slot(b.slot);
    if (!trans_.PutRecords(b.lines, UnitKey(b.slot))) {
      s.rec.RepeatRequest = true;
      continue;
    }
    for (const auto& l : b.lines) ctx_.queueForRawWrite(l);
  }
  block_.clear();
}

TIPController::Block& TIPController::BlockOf(int slot) {
  for (auto& b : block_)
    if (b.slot == slot) return b;
  block_.push_back(Block{slot, {}});
  return block_.back();
}

TIPSlot& TIPController::FrameSlot(int frameUnit, int& slot) {
  // Normally the current slot's controller answers; a controller that sends
  // unasked (express mode) may be another slot of the same address.
  slot = curSlot_;
  const std::string& ip = Cur().ip;
  if (WireUnit(Cur().rec.UnitNumber) == frameUnit) return Cur();
  for (int i = 1; i <= kSlots; ++i) {
    const TIPSlot& s = Slot(i);
    if (s.rec.UnitNumber >= 1 && s.ip == ip && WireUnit(s.rec.UnitNumber) == frameUnit) {
      slot = i;
      break;
    }
  }
  return Slot(slot);
}

void TIPController::OnPollHeader(int frameUnit, const std::string& code, const std::string& statusA) {
  int slot = 0;
  TUnitRecord& r = FrameSlot(frameUnit, slot).rec;
  if (code == "QR" && frameUnit == WireUnit(r.UnitNumber)) r.RepeatRequest = false;
  BlockOf(slot);  // its owed mark goes with its records, or alone
  RefreshIPDownCount(slot, true);
  if (r.ModelKnown) r.StatusA = statusA;
  Log(21, " - P.OK");
}

void TIPController::OnRecord(int frameUnit, const std::string& record) {
  int slot = 0;
  TIPSlot& s = FrameSlot(frameUnit, slot);
  if (CharAt(record, 15) == 'Z') {
    s.rec.StatusA = Copy(record, 9, 2);
    s.rec.StatusB = Copy(record, 11, 4);
    return;
  }
  Log(0, Format("%d: U%d ", channel_, s.rec.UnitNumber) + record);
  BlockOf(slot).lines.push_back(IpTransLine(s.rec.UnitNumber, record, s.ip));
}

void TIPController::OnFrameEnd(int frameUnit, const std::string& frame) {
  int slot = 0;
  TIPSlot& s = FrameSlot(frameUnit, slot);
  if (cmdInFlight_) {
    ctx_.putReplyQ(IpReplyLine(cmdUnit_, cmdId_, s.ip, IpReplyText(frame)));
    cmdInFlight_ = false;
    Log(10, Format("IPT%d: Cmd OK", channel_));
  }
  const std::string code = Copy(frame, 2, 2);
  TUnitRecord& r = s.rec;
  if (code == "VN") {
    std::string data = ReplyData(frame);
    size_t v = Pos("V", data);
    r.Model = v ? Copy(data, 1, static_cast<long long>(v) - 1) : data;
    r.Version = v ? CopyFrom(data, static_cast<long long>(v) + 1) : std::string();
    r.ModelKnown = IsKnownModel(r.Model, true);
    if (ctx_.settings.expressMode) RefreshIPDownCount(slot, true);
  } else if (code == "RI") {
    r.StatusB = Copy(frame, 4, 6);
    Log(21, " - I.OK");
  } else if (code == "RS") {
    Log(21, " - S.OK");
  }
}

void TIPController::HandleRCData() {
  int unit = cmdUnit_;
  if (receiver_.TakeCardEnd(unit) && cmdInFlight_) {
    ctx_.putReplyQ(IpCardEndLine(unit, cmdId_, Cur().ip));
    cmdInFlight_ = false;
  }
}

void TIPController::RefreshIPDownCount(int slot, bool goodPoll) {
  TIPSlot& s = Slot(slot);
  TUnitRecord& r = s.rec;
  // Only a poll that went out fails as a poll; a unit marked down because
  // its address cannot be reached was never polled.
  if (!goodPoll && pollOut_ && slot == curSlot_) ProcessCounters::Add(Counters().ipFailedPolls, channel_);
  if (slot == curSlot_) pollOut_ = false;
  const int change = CountIPPoll(r.FailureCount, goodPoll);
  if (goodPoll) r.LastGoodPoll = ctx_.clock->Now();
  if (change > 0) {
    Log(999, "Controller Up: " + s.ip + " " + IntToStr(r.UnitNumber));
    PutTrans(IpUpDownLine(r.UnitNumber, true, s.ip));
  } else if (change < 0) {
    Log(999, Format("IP: %d: Controller Down: ", channel_) + s.ip + " " + IntToStr(r.UnitNumber));
    PutTrans(IpUpDownLine(r.UnitNumber, false, s.ip));
  }
}

}  // namespace px
