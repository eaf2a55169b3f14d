#include "engine/MainForm.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "common/Format.h"
#include "common/StrUtil.h"
#include "engine/Protocol.h"
#include "platform/IniFile.h"
#include "serial/ComPort.h"

namespace px {

namespace {
constexpr int kMaxPollDelaySec = 1800;

// The rates the bus controllers run at; anything else falls back to 2400.
bool SupportedBaud(int baud) {
  return baud == 2400 || baud == 4800 || baud == 9600 || baud == 19200 || baud == 38400;
}
TBaudRate ToBaudRate(int baud) {
  TBaudRate b = br2400;
  if (SupportedBaud(baud)) BaudRateFromValue(baud, b);
  return b;
}
}  // namespace

TMainForm::TMainForm(EventLoop& loop, ILog& log, const EngineConfig& cfg, std::shared_ptr<Clock> clock,
                     ControllerTable* ctrlTable, ITemplateServer* templates, IIntakeJournal* journal)
    : loop_(loop),
      log_(log),
      cfg_(cfg),
      clock_(clock ? std::move(clock) : SystemClock::Instance()),
      ctrlTable_(ctrlTable),
      templates_(templates),
      replyQ_(kReplySlots, "Reply queue", &log),
      rawQ_(kRawSlots, "Raw capture queue", &log),
      ctx_{loop_, log_, cfg_, clock_, ctrlTable_, templates_, monitor_, settings_, scanningStopped_, stopping_,
           [this](const std::string& l) { PutReplyQ(l); }, [this](const std::string& l) { QueueForRawWrite(l); },
           &recordsHeld_, &winding_, journal},
      timer1_(loop, cfg_.busTickMs > 0 ? cfg_.busTickMs : 20),
      systemTimer_(loop, 1000),
      oneOffTimer_(loop, 10) {
  ReadSettings();
  vcom_ = std::make_unique<TComPort>(loop_);
  vcom_->DevicePath = [this](int com) { return DevicePath(com); };
  ip_ = std::make_unique<TIPEngine>(ctx_);
  timer1_.OnTimer = [this] { Timer1Timer(); };
  systemTimer_.OnTimer = [this] { SystemTimerTimer(); };
  oneOffTimer_.OnTimer = [this] { OneOffTimerTimer(); };
  timer1_.SetEnabled(true);
  systemTimer_.SetEnabled(true);
  oneOffTimer_.SetEnabled(true);
}

TMainForm::~TMainForm() {
  stopping_ = true;
  timer1_.SetEnabled(false);
  systemTimer_.SetEnabled(false);
  oneOffTimer_.SetEnabled(false);
  try {
    ip_->FreeIPCtrl();
    log_.WriteLog(999, "TH.FDestroy");
    ReleaseAllComm();
    // The records of the last answers are in the capture file too.
    WriteToRawIfAny();
    log_.WriteLog(999, "TH.End");
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<TH.Destroy> ") + e.what());
  }
}

void TMainForm::ReadSettings() {
  TIniFile ini(cfg_.iniPath.empty() ? cfg_.appDir + "OstrPro.Ini" : cfg_.iniPath);
  settings_.expressMode = ini.ReadBool("KX5800", "ExpressMode", false);
  long long sleep = ini.ReadInteger("Comm Setting", "SleepMsec", 50);
  settings_.pollDelay = (sleep < 1 || sleep > 60000) ? 2 : static_cast<int>(sleep);
  settings_.ipSleepCount = static_cast<int>(std::clamp<long long>(ini.ReadInteger("Comm Setting", "IPSleepCnt", 0),
                                                                  -1000000, 1000000));
  long long sec = ini.ReadInteger("Options", "PollDelaySec", 0);
  if (sec > 0) {
    settings_.pollDelaySec = static_cast<int>(std::min<long long>(sec, kMaxPollDelaySec));
    settings_.pollDelay = settings_.pollDelaySec * 1000;
    settings_.ipSleepCount = settings_.pollDelaySec * 16;
    log_.WriteLog(999, Format("PollDelaySec = %d", settings_.pollDelaySec));
  }
  if (cfg_.singleSocket) {
    settings_.ipSleepCount = settings_.pollDelaySec > 0 ? settings_.pollDelaySec * 65 : 130;
    log_.WriteLog(999, Format("Ext.PollDelaySec = %d", settings_.pollDelaySec));
  }
}

std::string TMainForm::DevicePath(int com) const {
  return cfg_.comDevicePath ? cfg_.comDevicePath(com) : DefaultComDevicePath(com);
}

// ---------------------------------------------------------------- commands and queues

int TMainForm::SendCommand(const std::string& command, int bus, int unit, std::string& id, const std::string& params,
                           const std::string& ip) {
  try {
    if (bus < 1 || bus > kMaxBuses || unit < 1 || unit > TAccComm::kUnits) return 1;
    id = MakeCommandId(clock_->LocalNow());
    std::string target = Trim(ip);
    if (target.empty()) {
      TAccComm* acc = Bus(bus);
      if (!acc) return 1;
      if (command != "VERSI" && !acc->Unit(unit).Enabled) {
        log_.WriteLog(0, Format("B%d U%d not enabled.", bus, unit));
        return 1;
      }
    }
    log_.WriteLog(0, Format("Q.Send: B%d U%d ", bus, unit) + command + " " + params + " " + ip);
    std::string code = CmdCodeOf(command);
    if (code.empty()) return 1;
    std::string line = id + BuildCommandFrame(unit, code, params);
    // A command that could not be queued is reported as not queued, so the
    // client is not left waiting for a reply that cannot come.
    bool queued = target.empty() ? Queue_PutCommand(bus, line) : ip_->Queue_PutIPCommand(ip, line);
    return queued ? 0 : 1;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<QPut> ") + e.what());
    return 1;
  }
}

bool TMainForm::Queue_PutCommand(int bus, const std::string& line) {
  TAccComm* acc = Bus(bus);
  return acc && acc->Queue_PutCommand(line);
}

bool TMainForm::Queue_GetCommand(int bus, std::string& line) {
  TAccComm* acc = Bus(bus);
  return acc && acc->Queue_GetCommand(line);
}

void TMainForm::PutReplyQ(const std::string& line) {
  // Card upload progress comes at network speed and nothing needs more than
  // its latest count: it may take only a quarter of the queue, so the line
  // that ends an upload, or answers any other command, always finds room.
  if (!line.empty() && line[0] == 'C' && replyQ_.Count() >= kReplySlots / 4) return;
  replyQ_.Put(line);
}
bool TMainForm::GetReplyQ(std::string& line) { return replyQ_.Get(line); }

int TMainForm::GetNextTransaction(std::string& line, std::uint64_t& seq) {
  seq = 0;
  if (stopping_) return 1;
  try {
    if (GetReplyQ(line)) return 0;
    if (busCount_ > 0)
      for (int b = 1; b <= kMaxBuses; ++b)
        if (TAccComm* acc = Bus(b); acc && acc->GetTrans(line, seq)) return 0;
    return ip_->GetNextTransaction(line, seq) ? 0 : 1;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<GetTrans> ") + e.what());
    return 1;
  }
}

int TMainForm::GetDoorStatus(std::string& text) {
  if (text.size() < 5) return 1;
  long long bus = StrToIntDef(Trim(Copy(text, 2, 2)), -1);
  long long unit = StrToIntDef(Trim(Copy(text, 4, 2)), -1);
  std::string ip = Trim(CopyFrom(text, 6));
  if (unit < 1 || unit > TAccComm::kUnits) return 1;
  if (!ip.empty()) return ip_->GetDoorStatus(ip, static_cast<int>(unit), text);
  if (bus < 1 || bus > kMaxBuses) return 1;
  TAccComm* acc = Bus(static_cast<int>(bus));
  if (!acc) return 1;
  const TUnitRecord& r = acc->Unit(static_cast<int>(unit));
  if (!r.Enabled) return 1;
  text = DoorStatusText(r.StatusA, r.StatusB, r.ModelKnown);
  return 0;
}

void TMainForm::QueueForRawWrite(const std::string& line) {
  bool flush = false;
  {
    std::lock_guard<std::mutex> g(rawM_);
    rawQ_.Put(line);
    flush = rawQ_.Count() >= kRawSlots / 2;
  }
  // A burst (a bus catching up, a terminal's backlog) fills the queue
  // faster than the one-second flush empties it: write early rather than
  // drop capture lines.
  if (flush && loop_.InLoopThread()) WriteToRawIfAny();
}

bool TMainForm::PollingStopped() {
  for (int b = 1; b <= kMaxBuses; ++b)
    if (TCommThrd* t = BusThread(b); t && !t->Quiet()) return false;
  return ip_->Quiet();
}

void TMainForm::WriteToRawIfAny() {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> g(rawM_);
    std::string l;
    while (rawQ_.Get(l)) lines.push_back(std::move(l));
  }
  if (lines.empty()) return;
  std::string path = cfg_.appDir + FormatDateTime("yymmdd", clock_->LocalNow()) + ".raw";
  std::ofstream out(path, std::ios::app | std::ios::binary);
  if (!out) {
    log_.WriteLog(999, "<RawW> cannot open " + path);
    return;
  }
  for (const auto& l : lines) out << l << '\n';
}

// ---------------------------------------------------------------- IP side

bool TMainForm::SpawnIPCtrl(bool wasDown, bool enabled, int port, const std::string& configuredModel,
                            const std::string& ip, int unit) {
  return ip_->SpawnIPCtrl(wasDown, enabled, port, configuredModel, ip, unit);
}
void TMainForm::EnableIPCtrl(const std::string& ip, int unit, bool enable) { ip_->EnableIPCtrl(ip, unit, enable); }
bool TMainForm::Queue_IPCommandPending() { return ip_->Queue_IPCommandPending(); }
void TMainForm::OnOffPollingThread(const std::string& ip, const std::string& onOff) {
  ip_->OnOffPollingThread(ip, onOff);
}
void TMainForm::StartSingleSocket() { ip_->StartSingleSocket(); }

// ---------------------------------------------------------------- serial buses

TAccComm* TMainForm::Bus(int bus) const {
  if (bus < 1 || bus > kMaxBuses) return nullptr;
  return buses_[static_cast<size_t>(bus)].acc.get();
}

TCommThrd* TMainForm::BusThread(int bus) const {
  if (bus < 1 || bus > kMaxBuses) return nullptr;
  return buses_[static_cast<size_t>(bus)].thread.get();
}

bool TMainForm::GetExistingCommSettings(int bus, int& comNumber, int& baud) const {
  if (!Bus(bus)) return false;
  comNumber = buses_[static_cast<size_t>(bus)].comNumber;
  baud = buses_[static_cast<size_t>(bus)].baud;
  return true;
}

bool TMainForm::ProbePort(int com, int baud) {
  try {
    vcom_->Close();
    vcom_->SetPort(com);
    vcom_->SetBaudRate(ToBaudRate(baud));
    vcom_->Open();
    vcom_->Close();
    return true;
  } catch (const std::exception&) {
    vcom_->Close();
    return false;
  }
}

bool TMainForm::ChangeBusSettings(BusSlot& slot, int bus, int com, int baud) {
  if (slot.thread) {
    slot.thread->SetPauseRequest(true);
    loop_.WaitUntil([&] { return slot.thread->PauseAcknowledged(); }, 10, 200);
  }
  slot.port->Close();
  loop_.Sleep(50);
  int rate = SupportedBaud(baud) ? baud : 2400;
  slot.comNumber = com;
  slot.baud = rate;
  slot.port->SetPort(com);
  slot.port->SetBaudRate(ToBaudRate(rate));
  try {
    slot.port->Open();
  } catch (const std::exception& e) {
    log_.WriteLog(999, Format("<Spawn> B%d ", bus) + e.what());
  }
  monitor_.LED_OnThisBus(bus, com);
  if (slot.thread) slot.thread->SetPauseRequest(false);
  log_.WriteLog(0, Format("Changed: bus %d to COM%d, %d", bus, com, rate));
  return true;
}

bool TMainForm::SpawnAccessComm(int bus, int baud, int comNumber) {
  if (bus < 1 || bus > kMaxBuses) return false;
  try {
    BusSlot& slot = buses_[static_cast<size_t>(bus)];
    int oldCom = 0, oldBaud = 0;
    if (slot.port && GetExistingCommSettings(bus, oldCom, oldBaud)) {
      if (oldCom == comNumber && oldBaud == (SupportedBaud(baud) ? baud : 2400)) return true;
      return ChangeBusSettings(slot, bus, comNumber, baud);
    }
    log_.WriteLog(0, Format("Checking COM%d", comNumber));
    int rate = baud;
    if (!SupportedBaud(baud)) {
      log_.WriteLog(999, Format("%d is not supported, reset to 2400.", baud));
      rate = 2400;
    }
    if (!ProbePort(comNumber, rate)) {
      log_.WriteLog(999, Format("Failed to open COM%d", comNumber));
      return false;
    }
    if (busCount_ >= kMaxBuses) return false;
    ++busCount_;
    if (!slot.acc) slot.acc = std::make_unique<TAccComm>(ctx_, bus);
    if (!slot.port) {
      slot.comNumber = comNumber;
      slot.baud = rate;
      monitor_.LED_OnThisBus(bus, comNumber);
      slot.port = std::make_unique<TComPort>(loop_);
      slot.port->SetBaudRate(ToBaudRate(rate));
      slot.port->OnRxChar = [this](TComPort& p, int inQue) { VCOMRxChar(p, inQue); };
      slot.port->SetPort(comNumber);
      slot.port->Tag = bus;
      slot.port->DevicePath = [this](int com) { return DevicePath(com); };
      slot.acc->SetPort(slot.port.get());
      try {
        slot.port->Open();
      } catch (const std::exception& e) {
        // The bus thread keeps trying to recover the port.
        log_.WriteLog(999, Format("<Spawn> B%d ", bus) + e.what());
      }
    }
    log_.WriteLog(0, Format("COM%d Baud %d open for Bus %d", comNumber, rate, bus));
    if (!slot.thread) {
      slot.thread = std::make_unique<TCommThrd>(ctx_, *slot.acc);
      slot.thread->Start();
    }
    log_.WriteLog(0, Format("Bus %d (COM%d) - OK", bus, comNumber));
    return true;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<Spawn> ") + e.what());
    return false;
  }
}

bool TMainForm::EnableCtrl(int bus, int unit, bool enable) {
  if (bus == 999) {
    for (int b = 1; b <= kMaxBuses; ++b)
      if (TAccComm* acc = Bus(b))
        for (int u = 1; u <= TAccComm::kUnits; ++u) acc->Unit(u).Enabled = enable;
    log_.WriteLog(999, std::string("All Bus Units enable=") + BoolStr(enable));
    return true;
  }
  TAccComm* acc = Bus(bus);
  if (!acc || !TAccComm::ValidUnit(unit)) return false;
  acc->Unit(unit).Enabled = enable;
  log_.WriteLog(999, Format("Bus %d Unit %d Enable=%s", bus, unit, BoolStr(enable)));
  return true;
}

void TMainForm::RefreshBusStatus(int bus, bool markDown) {
  if (TAccComm* acc = Bus(bus)) acc->RefreshBusStatus(markDown);
}

void TMainForm::VCOMRxChar(TComPort& port, int inQue) {
  if (TAccComm* acc = Bus(port.Tag)) acc->OnRxChar(port, inQue);
}

void TMainForm::ReleaseAllComm() {
  // Every thread is told first, so they all wind down together.
  for (int b = 1; b <= kMaxBuses; ++b)
    if (auto& t = buses_[static_cast<size_t>(b)].thread) t->Terminate();
  for (int b = 1; b <= kMaxBuses; ++b) {
    BusSlot& slot = buses_[static_cast<size_t>(b)];
    if (slot.thread) slot.thread->Join();
    slot.thread.reset();
    if (slot.port) {
      slot.port->OnRxChar = nullptr;
      try {
        slot.port->Close();
      } catch (const std::exception& e) {
        log_.WriteLog(999, Format("<Release> B%d ", b) + e.what());
      }
    }
    slot.port.reset();
    slot.acc.reset();
  }
  busCount_ = 0;
  ip_->FreeIPCtrl();
}

void TMainForm::Timer1Timer() {
  timer1_.SetEnabled(false);
  if (stopping_) return;
  monitor_.SetPanelText(5, FormatDateTime("dd/mm/yy hh:nn:ss", clock_->LocalNow()));
  for (int b = 1; b <= kMaxBuses; ++b)
    if (TAccComm* acc = Bus(b)) acc->TickTimeout();
  timer1_.SetEnabled(true);
}

void TMainForm::SystemTimerTimer() {
  systemTimer_.SetEnabled(false);
  if (stopping_) return;
  WriteToRawIfAny();
  systemTimer_.SetEnabled(true);
}

void TMainForm::OneOffTimerTimer() {
  oneOffTimer_.SetEnabled(false);
  for (int b = 1; b <= CommMonitor::kBusRows; ++b) {
    const BusSlot& slot = buses_[static_cast<size_t>(b)];
    monitor_.SetBusBox(b, slot.port ? Format("COM%d", slot.comNumber) : "N/A");
  }
}

void TMainForm::FormShow() { monitor_.FormShow(ip_->ChannelCount() > 0); }

void TMainForm::Button2Click() {
  bool stopped = !scanningStopped_;
  scanningStopped_ = stopped;
  log_.WriteLog(999, stopped ? "User Stop Scanning." : "User Start Scanning.");
}

}  // namespace px
