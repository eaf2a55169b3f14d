#pragma once
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "common/RingQueue.h"
#include "engine/AccComm.h"
#include "engine/CommMonitor.h"
#include "engine/CommThrd.h"
#include "engine/EngineApi.h"
#include "engine/EngineConfig.h"
#include "engine/EngineContext.h"
#include "engine/IPEngine.h"
#include "platform/Timer.h"

namespace px {

class TComPort;

// The communication engine: the serial buses, the IP side, the reply and
// raw-capture queues and the "Communication Monitor". Created, used and
// destroyed on the loop thread; its bus threads hand their steps to it.
class TMainForm : public IEngine {
public:
  static constexpr int kMaxBuses = 8;
  static constexpr size_t kReplySlots = 4000;
  static constexpr size_t kRawSlots = 500;

  TMainForm(EventLoop& loop, ILog& log, const EngineConfig& cfg, std::shared_ptr<Clock> clock,
            ControllerTable* ctrlTable, ITemplateServer* templates, IIntakeJournal* journal = nullptr);
  ~TMainForm() override;
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // IEngine
  bool SpawnAccessComm(int bus, int baud, int comNumber) override;
  bool EnableCtrl(int bus, int unit, bool enable) override;
  bool SpawnIPCtrl(bool wasDown, bool enabled, int port, const std::string& configuredModel, const std::string& ip,
                   int unit) override;
  void EnableIPCtrl(const std::string& ip, int unit, bool enable) override;
  bool Queue_IPCommandPending() override;
  void OnOffPollingThread(const std::string& ip, const std::string& onOff) override;
  void StartSingleSocket() override;
  int SendCommand(const std::string& command, int bus, int unit, std::string& id, const std::string& params,
                  const std::string& ip) override;
  int GetNextTransaction(std::string& line, std::uint64_t& seq) override;
  using IEngine::GetNextTransaction;
  int GetDoorStatus(std::string& text) override;
  void QueueForRawWrite(const std::string& line) override;
  void HoldRecords(bool hold) override { recordsHeld_ = hold; }
  void StopPolling() override { winding_ = true; }
  bool PollingStopped() override;

  // The engine's stop flag; once raised, timers, threads and waits finish.
  void SetStopping() { stopping_ = true; }
  bool Stopping() const { return stopping_; }
  bool ScanningStopped() const { return scanningStopped_; }
  const EngineSettings& Settings() const { return settings_; }

  // Queues.
  bool Queue_PutCommand(int bus, const std::string& line);
  bool Queue_GetCommand(int bus, std::string& line);
  void PutReplyQ(const std::string& line);
  bool GetReplyQ(std::string& line);
  void WriteToRawIfAny();
  size_t ReplyDepth() const { return replyQ_.Count(); }
  size_t RawDepth() {
    std::lock_guard<std::mutex> g(rawM_);
    return rawQ_.Count();
  }

  // Serial buses.
  bool GetExistingCommSettings(int bus, int& comNumber, int& baud) const;
  int BusCount() const { return busCount_; }
  // nullptr for a bus that is not opened.
  TAccComm* Bus(int bus) const;
  TCommThrd* BusThread(int bus) const;
  void RefreshBusStatus(int bus, bool markDown);
  void ReleaseAllComm();

  // The window.
  CommMonitor& Monitor() { return monitor_; }
  TIPEngine& IP() { return *ip_; }
  void FormShow();
  void Button1Click() { monitor_.Button1Click(); }
  void Button2Click();

  // Timer and port events (public so tests can drive them).
  void Timer1Timer();
  void SystemTimerTimer();
  void OneOffTimerTimer();
  void VCOMRxChar(TComPort& port, int inQue);

private:
  struct BusSlot {
    std::unique_ptr<TAccComm> acc;
    std::unique_ptr<TComPort> port;
    std::unique_ptr<TCommThrd> thread;
    int comNumber = 0;
    int baud = 0;
  };
  void ReadSettings();
  std::string DevicePath(int com) const;
  bool ProbePort(int com, int baud);
  bool ChangeBusSettings(BusSlot& slot, int bus, int com, int baud);

  EventLoop& loop_;
  ILog& log_;
  EngineConfig cfg_;
  std::shared_ptr<Clock> clock_;
  ControllerTable* ctrlTable_;
  ITemplateServer* templates_;
  EngineSettings settings_;
  std::atomic<bool> scanningStopped_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> recordsHeld_{false};
  std::atomic<bool> winding_{false};
  CommMonitor monitor_;
  RingQueue<std::string> replyQ_;
  std::mutex rawM_;  // the raw queue is also filled by other modules
  RingQueue<std::string> rawQ_;
  EngineContext ctx_;
  std::array<BusSlot, kMaxBuses + 1> buses_;  // index 0 unused
  int busCount_ = 0;
  std::unique_ptr<TComPort> vcom_;  // template port for probing
  TTimer timer1_;
  TTimer systemTimer_;
  TTimer oneOffTimer_;
  std::unique_ptr<TIPEngine> ip_;
};

}  // namespace px
