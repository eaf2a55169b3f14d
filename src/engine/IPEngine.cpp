#include "engine/IPEngine.h"

#include "common/Format.h"
#include "common/StrUtil.h"
#include "engine/Protocol.h"

namespace px {

TIPEngine::TIPEngine(EngineContext& ctx)
    : ctx_(ctx), timeOutTimer_(ctx.loop, ctx.cfg.ipTickMs > 0 ? ctx.cfg.ipTickMs : 20) {
  if (ctx_.cfg.singleSocket) ss_ = std::make_unique<TSingleSocket>(ctx_);
  timeOutTimer_.OnTimer = [this] { TimeOutTimerTimer(); };
  timeOutTimer_.SetEnabled(true);
}

TIPEngine::~TIPEngine() {
  timeOutTimer_.SetEnabled(false);
  FreeIPCtrl();
}

TIPChannel* TIPEngine::Channel(int channel) const {
  if (channel < 1 || channel > ChannelCount()) return nullptr;
  return channels_[static_cast<size_t>(channel - 1)].get();
}

// ---------------------------------------------------------------- slots

void TIPEngine::ShareChannel(TIPChannel& ch, bool wasDown, bool enabled, int port, const std::string& configuredModel,
                             const std::string& ip, int unit, bool& ok) {
  TIPController& c = ch.Ctrl();
  int slot = c.FreeSlot();
  if (slot == 0) {
    ok = false;
    return;
  }
  ctx_.log.WriteLog(0, Format("Share IP[%d] for ", ch.Channel()) + ip + "  Unit " + IntToStr(unit) +
                           " On Slot " + IntToStr(slot));
  c.FillSlot(slot, wasDown, enabled, port, configuredModel, ip, unit);
  c.CountSlot();
  ok = true;
}

bool TIPEngine::SpawnIPCtrl(bool wasDown, bool enabled, int port, const std::string& configuredModel,
                            const std::string& ip, int unit) {
  try {
    // The address byte can name a controller only by a positive number.
    if (unit < 1) {
      ctx_.log.WriteLog(999, "Spawn IP " + ip + ": unit " + IntToStr(unit) + " cannot be addressed");
      return false;
    }
    bool ok = false;
    int idx = 0;
    if (GetIdxFromIPAddr(ip, idx)) {
      ShareChannel(*Channel(idx), wasDown, enabled, port, configuredModel, ip, unit, ok);
      return ok;
    }
    if (ChannelCount() < kMaxChannels) {
      const int n = ChannelCount() + 1;
      ctx_.monitor.IP_LED_OnThisPort(n);
      channels_.push_back(std::make_unique<TIPChannel>(ctx_, n, port));
      channels_.back()->Ctrl().FillSlot(1, wasDown, enabled, port, configuredModel, ip, unit);
      ctx_.log.WriteLog(0, Format("Spawn IP[%d] ", n) + ip + " Unit " + IntToStr(unit) + " " + configuredModel +
                               " - OK");
      return true;
    }
    TIPChannel* least = nullptr;
    for (auto& ch : channels_)
      if (!least || ch->Ctrl().SlotCount() < least->Ctrl().SlotCount()) least = ch.get();
    if (least && least->Ctrl().SlotCount() < TIPController::kSlots)
      ShareChannel(*least, wasDown, enabled, port, configuredModel, ip, unit, ok);
    if (!ok) ctx_.log.WriteLog(999, "Max IP Channel Reached.");
    return ok;
  } catch (const std::exception& e) {
    ctx_.log.WriteLog(999, std::string("<SpawnIP> ") + e.what());
    return false;
  }
}

void TIPEngine::EnableIPCtrl(const std::string& ip, int unit, bool enable) {
  if (ip == "*") {
    for (auto& ch : channels_) ch->Ctrl().EnableAll(enable);
    ctx_.log.WriteLog(10, std::string("All IP.Ctrl enable=") + BoolStr(enable));
    return;
  }
  int idx = 0;
  if (GetIdxFromIPAddr(ip, idx)) Channel(idx)->Ctrl().EnableUnit(ip, unit, enable);
}

bool TIPEngine::GetIdxFromIPAddr(const std::string& ip, int& channel) const {
  for (int i = 1; i <= ChannelCount(); ++i)
    if (Channel(i)->Ctrl().HoldsAddress(ip)) {
      channel = i;
      return true;
    }
  return false;
}

// ---------------------------------------------------------------- queues

bool TIPEngine::Queue_PutIPCommand(const std::string& ip, const std::string& line) {
  try {
    const std::string addr = Trim(ip);
    if (ss_) return ss_->Queue_PutIPCommand(addr, line);
    int idx = 0;
    if (!GetIdxFromIPAddr(addr, idx)) return false;
    return Channel(idx)->Ctrl().Queue_PutIPCommand(addr, line);
  } catch (const std::exception& e) {
    ctx_.log.WriteLog(999, std::string("<QPutIP> ") + e.what());
    return false;
  }
}

bool TIPEngine::Queue_GetIPCommand(const std::string& ip, std::string& line) {
  int idx = 0;
  return GetIdxFromIPAddr(ip, idx) && Channel(idx)->Ctrl().Queue_GetIPCommand(ip, line);
}

bool TIPEngine::Queue_IPCommandPending() {
  try {
    for (auto& ch : channels_) {
      TIPController& c = ch->Ctrl();
      // Commands for a controller that cannot be reached are given up; each
      // gets its "XX" so its requester is not left waiting.
      if (ch->SockError()) c.DropCommands();
      if (!c.Commands().Empty()) {
        ctx_.log.WriteLog(20, Format("%d: CmdPending %zu,%zu", ch->Channel(), c.Commands().PutIndex(),
                                     c.Commands().GetIndex()));
        return true;
      }
    }
  } catch (const std::exception& e) {
    ctx_.log.WriteLog(999, std::string("<QPending> ") + e.what());
  }
  return false;
}

bool TIPEngine::GetNextTransaction(std::string& line, IIntakeJournal::Seq& seq) {
  if (ss_) return ss_->SST_GetTrans(line, seq);
  for (auto& ch : channels_)
    if (ch->Ctrl().GetTrans(line, seq)) return true;
  return false;
}

int TIPEngine::GetDoorStatus(const std::string& ip, int unit, std::string& text) {
  if (ss_) return ss_->GetDoorStatus(ip, unit, text);
  int idx = 0;
  if (!GetIdxFromIPAddr(ip, idx)) return 1;
  const TIPSlot* s = Channel(idx)->Ctrl().FindSlot(ip, unit);
  if (!s) return 1;
  text = DoorStatusText(s->rec.StatusA, s->rec.StatusB, s->rec.ModelKnown);
  return 0;
}

// ---------------------------------------------------------------- services

void TIPEngine::OnOffPollingThread(const std::string& ip, const std::string& onOff) {
  int idx = 0;
  if (!GetIdxFromIPAddr(ip, idx)) {
    ctx_.log.WriteLog(999, "TH.OnOff: Failed to find " + ip);
    return;
  }
  Channel(idx)->OnOffPolling(onOff == "1");
}

void TIPEngine::StartSingleSocket() {
  if (ss_) ss_->Start();
}

void TIPEngine::FreeIPCtrl() {
  if (freed_) return;
  freed_ = true;
  for (auto& ch : channels_) ch->Free();
  if (ss_) ss_->Stop();
}

bool TIPEngine::Quiet() const {
  for (const auto& ch : channels_)
    if (!ch->Quiet()) return false;
  return !ss_ || ss_->Quiet();
}

void TIPEngine::TimeOutTimerTimer() {
  timeOutTimer_.SetEnabled(false);
  if (ctx_.stopping) return;
  for (auto& ch : channels_) ch->TickWait();
  if (ss_) ss_->TickWait();
  timeOutTimer_.SetEnabled(true);
}

}  // namespace px
