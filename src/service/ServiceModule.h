#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "clientserver/ClientApi.h"
#include "common/IntakeJournal.h"
#include "events/EventStreamApi.h"
#include "engine/EngineApi.h"
#include "platform/EventLoop.h"
#include "platform/Timer.h"
#include "service/AttendanceApi.h"
#include "service/PeriodicJobs.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"
#include "service/ServiceDb.h"
#include "service/ServiceLog.h"
#include "service/Settings.h"
#include "service/TransStoreApi.h"
#include "templateserver/TemplateServerApi.h"
#include "web/WebApi.h"
#include "zk/ZkApi.h"

namespace px {

class TTransOnlineForm;

// How the service makes its modules. The program entry wires the real
// ones; tests wire fakes. Each maker runs on the event loop thread.
struct ServiceModules {
  std::function<std::unique_ptr<IEngine>(ServiceContext&)> makeEngine;
  std::function<std::unique_ptr<ITransStore>(ServiceContext&)> makeStore;
  std::function<std::unique_ptr<IClientProtocol>(ServiceContext&)> makeClient;
  std::function<std::unique_ptr<IClientListener>(ServiceContext&)> makeListener;
  std::function<std::unique_ptr<IAttendanceLib>(ServiceContext&)> makeArq;
  std::function<std::unique_ptr<TTransOnlineForm>(ServiceContext&)> makeMonitor;
  std::function<std::unique_ptr<IZKModule>(ServiceContext&)> makeZK;
  std::function<std::unique_ptr<ITemplateServer>(ServiceContext&)> makeTemplateServer;
  std::function<std::unique_ptr<IWebMonitor>(ServiceContext&)> makeWeb;
  std::function<std::unique_ptr<IEventStream>(ServiceContext&)> makeEvents;
  // The intake journal lives in this folder of the program folder; empty
  // keeps none (tests of modules that do not need it).
  std::string journalFolder = "journal";
};

// The service module: reads the configuration, opens the log, starts the
// engine and runs until told to stop; its Timer1 retries the deferred
// start-up and then drives the periodic work.
class TVANTPortexService {
public:
  static constexpr const char* kServiceName = "VANTPortexService";
  static constexpr const char* kDisplayName = "Portex Server II";
  static constexpr const char* kDescription = "VANT Portex Server Service.";
  static constexpr const char* kVersion = "1.0.0.18g";
  // At a stop: how long the engine may take to finish the exchanges under
  // way (the longest answer time-out, an IP command's 4 s, and a little),
  // and until when (from the stop) its lines may be stored; what is left
  // then stays in the intake journal. A statement begun just before that can
  // wait up to 15 s for a silent server, so the stop ends within 25 s, well
  // inside systemd's 30 s stop time-out.
  static constexpr std::chrono::milliseconds kStopQuietLimit{5000};
  static constexpr std::chrono::milliseconds kStopStoreLimit{10000};
  // Then the event stream publishes what was stored last and disconnects;
  // after a stop made late by a silent database it only disconnects, so the
  // stop still ends well inside the service manager's time-out.
  static constexpr std::chrono::milliseconds kStopStreamLimit{2000};
  static constexpr std::chrono::milliseconds kStopStreamQuick{500};

  TVANTPortexService(EventLoop& loop, std::string appDir, std::shared_ptr<Clock> clock, ServiceModules modules);
  ~TVANTPortexService();

  // The service body; runs on the service thread and returns after stop.
  void ServiceExecute();
  // Service control (any thread).
  void ServiceStop();
  void ServiceShutdown();
  void ServiceDestroy();
  // Loop thread.
  bool StartUpServer();
  void Timer1Timer();
  void Timer2Timer();

  ServiceContext& Context() { return ctx_; }
  ServiceLog& Log() { return log_; }
  ServiceSettings& Settings() { return settings_; }
  ServiceDb& Db() { return *db_; }
  ControllerRegistry& Registry() { return *registry_; }
  PeriodicJobs& Jobs() { return *jobs_; }
  TTimer& Timer1() { return *timer1_; }
  TTimer& Timer2() { return *timer2_; }
  void SetMirrorLog(bool on) { log_.SetMirrorToStderr(on); }
  // The machine's address for client programs as dotted text, never a
  // loopback address ("" when it has none).
  static std::string GetIPAddress();
  // The client port failed to open and is tried again on every tick.
  bool ListenPending() const { return listenPending_; }

private:
  void RequestStop(const char* logLine);
  // Service thread, at a stop: lets the engine finish the exchanges under
  // way and stores (or spools) every line it still holds.
  void DrainAtStop();
  void ReleaseModules();
  void OpenListener();
  EventLoop& loop_;
  std::shared_ptr<Clock> clock_;
  ServiceModules modules_;
  ServiceSettings settings_;
  ServiceLog log_;
  ServiceContext ctx_;
  std::unique_ptr<ServiceDb> db_;
  std::unique_ptr<ControllerRegistry> registry_;
  std::unique_ptr<PeriodicJobs> jobs_;
  std::unique_ptr<TTimer> timer1_, timer2_;
  std::unique_ptr<IEngine> engine_;
  std::unique_ptr<ITransStore> store_;
  std::unique_ptr<IClientProtocol> client_;
  std::unique_ptr<IClientListener> listener_;
  std::unique_ptr<IAttendanceLib> arq_;
  std::unique_ptr<TTransOnlineForm> monitor_;
  std::unique_ptr<IZKModule> zk_;
  std::unique_ptr<ITemplateServer> templates_;
  std::unique_ptr<IWebMonitor> web_;
  std::unique_ptr<IEventStream> events_;
  std::unique_ptr<TIntakeJournal> journal_;  // outlives every module that writes to it
  std::mutex stopM_;
  std::condition_variable stopCv_;
  bool stopRequested_ = false;
  bool listenPending_ = false;  // loop thread
  std::chrono::steady_clock::time_point stopBegan_{};  // service thread
};

}  // namespace px
