#include "service/ServiceModule.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/StrUtil.h"
#include "monitor/TransOnlineForm.h"
#include "platform/IniFile.h"
#include "service/ServerAddress.h"

namespace px {

TVANTPortexService::TVANTPortexService(EventLoop& loop, std::string appDir, std::shared_ptr<Clock> clock,
                                       ServiceModules modules)
    : loop_(loop), clock_(std::move(clock)), modules_(std::move(modules)), log_(clock_) {
  if (!appDir.empty() && !EndsWith(appDir, "/")) appDir += "/";
  settings_.AppDir = appDir;
  log_.SetAppDir(appDir);
  ctx_.loop = &loop_;
  ctx_.log = &log_;
  ctx_.ReproList.SetLog(&log_);
  loop_.SetLog(&log_);
  ctx_.settings = &settings_;
  ctx_.clock = clock_;
  db_ = std::make_unique<ServiceDb>(settings_, log_, clock_);
  ctx_.db = db_.get();
  registry_ = std::make_unique<ControllerRegistry>(settings_, *db_, log_);
  ctx_.registry = registry_.get();
  // A lost main database is reconnected at once; when that fails the timer
  // retries during every fifth minute.
  db_->OnConnectionLost = [this] { log_.NoteConnectionLost(); };
  log_.OnReadFailure = [this] {
    // Not at a stop: what is not stored by then stays in the journal, and a
    // reconnect to a silent server would only hold the stop up.
    if (ctx_.Stopping) return;
    auto reconnect = [this] { db_->DBNeedsReconnect = !db_->SQLDB_Connect(false); };
    if (loop_.InLoopThread()) reconnect();
    else loop_.Post(reconnect);
  };
  registry_->OnDeviceState = [this](const std::string& tag, const std::string& state) {
    if (events_) events_->UnitState(tag, state);
  };
  registry_->LoadTranCodes = [this] {
    if (store_) store_->GetTranCodeFromTable();
  };
  registry_->CreateZKModule = [this] {
    if (modules_.makeZK) {
      zk_ = modules_.makeZK(ctx_);
      ctx_.zk = zk_.get();
    }
  };
  registry_->CreateTemplateServerModule = [this] {
    if (modules_.makeTemplateServer) {
      templates_ = modules_.makeTemplateServer(ctx_);
      ctx_.templates = templates_.get();
    }
  };
  // Timers live on the loop; created here before the loop runs them.
  timer1_ = std::make_unique<TTimer>(loop_, 200, false);
  timer1_->OnTimer = [this] { Timer1Timer(); };
  timer2_ = std::make_unique<TTimer>(loop_, 1000, false);
  timer2_->OnTimer = [this] { Timer2Timer(); };
}

TVANTPortexService::~TVANTPortexService() {
  loop_.SetLog(nullptr);
  timer1_.reset();
  timer2_.reset();
  ReleaseModules();
}

void TVANTPortexService::ReleaseModules() {
  web_.reset();  // it reads the modules below
  ctx_.events = nullptr;
  events_.reset();
  // The terminal module first: its worker may still hand results to the
  // client protocol and the store, which must outlive it.
  ctx_.zk = nullptr;
  zk_.reset();
  listener_.reset();
  ctx_.client = nullptr;
  client_.reset();
  ctx_.templates = nullptr;
  templates_.reset();
  ctx_.store = nullptr;
  store_.reset();
  ctx_.engine = nullptr;
  if (registry_) registry_->SetEngine(nullptr);
  engine_.reset();
  ctx_.monitor = nullptr;
  monitor_.reset();
  ctx_.arq = nullptr;
  arq_.reset();
}

void TVANTPortexService::ServiceExecute() {
  // Steps 1-4: flags, log name, lists, program folder.
  ctx_.ServiceStopping = false;
  ctx_.Stopping = false;
  db_->DBNeedsReconnect = false;
  ctx_.ServerState = 1;
  log_.RecomputeFileName();
  ctx_.ReproList.clear();
  registry_->ResetZKList();

  // Step 5-7: the configuration.
  TIniFile ini(settings_.AppDir + "OstrPro.Ini");
  settings_.DeviceDownCount = 5;
  settings_.Load(ini, log_);
  log_.SetDebug(settings_.Debug);
  if (settings_.UpdateCtrlDTMin > 0) {
    if (settings_.UpdateCtrlDTMin < 60) settings_.UpdateCtrlDTMin = 60;
    log_.WriteLog(10, "Periodic update date/time = " + IntToStr(settings_.UpdateCtrlDTMin));
  }
  // Step 8.
  log_.WriteLog(999, "");
  log_.WriteLog(999, std::string("--- PXS Started ") + kVersion + " ---");

  bool created = loop_.Synchronize([this] {
    if (!journal_ && !modules_.journalFolder.empty()) {
      TIntakeJournal::Options o;
      o.dir = settings_.AppDir + modules_.journalFolder;
      o.clock = clock_;
      journal_ = std::make_unique<TIntakeJournal>(o, log_);
      ctx_.journal = journal_.get();
    }
    jobs_ = std::make_unique<PeriodicJobs>(ctx_);
    jobs_->StartClock(clock_->LocalNow());
    if (modules_.makeMonitor) {
      monitor_ = modules_.makeMonitor(ctx_);
      ctx_.monitor = monitor_.get();
    }
    if (modules_.makeArq) {
      arq_ = modules_.makeArq(ctx_);
      ctx_.arq = arq_.get();
    }
    if (modules_.makeStore) {
      store_ = modules_.makeStore(ctx_);
      ctx_.store = store_.get();
    }
    // Step 9: one try; StartUpServer tries again.
    db_->SQLDB_Connect(true);
    // Step 10: the communication engine.
    if (!engine_ && modules_.makeEngine) {
      engine_ = modules_.makeEngine(ctx_);
      ctx_.engine = engine_.get();
      registry_->SetEngine(engine_.get());
    }
    if (modules_.makeClient) {
      client_ = modules_.makeClient(ctx_);
      ctx_.client = client_.get();
    }
    if (modules_.makeListener) listener_ = modules_.makeListener(ctx_);
    if (modules_.makeWeb) web_ = modules_.makeWeb(ctx_);
    if (modules_.makeEvents) {
      events_ = modules_.makeEvents(ctx_);
      ctx_.events = events_.get();
    }
    // Step 11.
    timer1_->SetInterval(200);
    timer1_->SetEnabled(true);
  });
  if (!created) {
    log_.WriteLog(999, "--- SExec.Ended ---");
    return;
  }
  try {
    log_.WriteLog(0, "DebugMode = " + IntToStr(settings_.Debug));
    if (settings_.ChronexLink) {
      loop_.Synchronize([this] {
        if (arq_) arq_->ARQInit();
      });
      log_.WriteLog(10, "Init ARQ - OK");
    }
    log_.WriteLog(10, "Start Service loop");
    {
      std::unique_lock<std::mutex> lk(stopM_);
      stopCv_.wait(lk, [this] { return stopRequested_; });
    }
    log_.WriteLog(10, "Exit Service loop");
    ctx_.Stopping = true;
    // The stop's time limits count from here: a statement the loop is stuck
    // in (a silent database server) is part of them.
    stopBegan_ = std::chrono::steady_clock::now();
    loop_.Synchronize([this] {
      timer1_->SetEnabled(false);
      timer2_->SetEnabled(false);
      if (listener_) listener_->Close();
    });
    DrainAtStop();
    // Off the loop thread, so that its requests waiting for the loop finish;
    // after the storing, which must not wait for a slow page.
    if (web_) web_->Stop();
    // What was stored last goes out while the broker is there; the rest
    // waits in trans_event for the next start.
    if (events_)
      events_->Stop(std::chrono::steady_clock::now() - stopBegan_ > kStopStoreLimit ? kStopStreamQuick
                                                                                     : kStopStreamLimit);
    // A module that waits for a device keeps the loop running inside its own
    // call; the modules go only once no such wait is on the loop's stack (the
    // stop flag ends those waits within milliseconds).
    bool released = false;
    while (!released && loop_.Synchronize([this, &released] {
      if (loop_.WaitDepth() > 0) return;
      released = true;
      if (settings_.ChronexLink && arq_) arq_->ARQClose();
      settings_.Raw.FieldList.clear();
      settings_.Raw.FormatList.clear();
      // The engine raises its own stop flag, stops its threads and frees its
      // channels when destroyed; its errors are its own.
      try {
        ReleaseModules();
      } catch (...) {
      }
    }))
      if (!released) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ctx_.ReproList.clear();
    // Whatever the modules appended last is written before the end.
    if (journal_ && !journal_->Flush(std::chrono::seconds(2)))
      log_.WriteLog(999, "Stop: the intake journal could not be written to the end");
    ctx_.journal = nullptr;
    journal_.reset();
    log_.WriteLog(999, "--- SExec.Ended ---");
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<S.Exec>") + e.what());
  }
}

void TVANTPortexService::DrainAtStop() {
  using Clk = std::chrono::steady_clock;
  // Records a controller handed over are deleted there at its next poll,
  // which may come from the next run: none may be left in memory.
  bool quiet = false;
  const auto began = stopBegan_;
  const auto quietBy = began + kStopQuietLimit;
  loop_.Synchronize([&] {
    if (engine_) engine_->StopPolling();
  });
  while (Clk::now() < quietBy) {
    if (!loop_.Synchronize([&] { quiet = !engine_ || engine_->PollingStopped(); }) || quiet) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!quiet) log_.WriteLog(999, "Stop: exchanges still under way are given up");
  // In slices, so the loop is never held long.
  bool more = true;
  const auto storeBy = began + kStopStoreLimit;
  // (Not inside a module's wait for a device, which runs the loop in its own
  // call and may be in the middle of a transaction of its own.)
  bool nested = false;
  while (more && Clk::now() < storeBy) {
    if (!loop_.Synchronize([&] {
          nested = loop_.WaitDepth() > 0;
          if (!nested)
            more = store_ && store_->DrainAtStop(std::min(storeBy, Clk::now() + std::chrono::milliseconds(200)));
        }))
      return;
    if (nested) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  loop_.Synchronize([&] {
    if (store_) store_->SpoolAtStop();
  });
}

void TVANTPortexService::RequestStop(const char* logLine) {
  ctx_.ServiceStopping = true;
  ctx_.Stopping = true;
  log_.AppendLogLine(logLine);
  std::lock_guard<std::mutex> g(stopM_);
  stopRequested_ = true;
  stopCv_.notify_all();
}

void TVANTPortexService::ServiceStop() { RequestStop("Svc.Stopped"); }
void TVANTPortexService::ServiceShutdown() { RequestStop("Svc.Shutdown"); }
void TVANTPortexService::ServiceDestroy() { log_.AppendLogLine("Svc.Destroyed"); }

std::string TVANTPortexService::GetIPAddress() {
  return PickServerAddress(ResolveHostAddresses(), LocalAddresses());
}

void TVANTPortexService::OpenListener() {
  bool wasPending = listenPending_;
  listenPending_ = listener_ && !listener_->Open(settings_.ClientPort);
  // The rest of the service runs meanwhile; clients only wait for the port.
  if (listenPending_ && !wasPending)
    log_.WriteLog(999, "Client port " + IntToStr(settings_.ClientPort) + " not open: tried again on every tick");
}

bool TVANTPortexService::StartUpServer() {
  if (!db_->SQLDB_Connect(true)) return false;
  // Before the controllers are polled: what the journal holds beyond the
  // databases' marks is stored first.
  if (store_ && !store_->PrepareRecovery()) return false;
  if (!registry_->StartUpComm()) return false;
  db_->DBIni_Write("-", "Server", "IPAddress",
                   settings_.ServerAddress.empty() ? GetIPAddress() : settings_.ServerAddress);
  OpenListener();
  ctx_.ServerState = 5;
  timer1_->SetInterval(settings_.QCheckInterval);
  timer2_->SetEnabled(true);
  return true;
}

void TVANTPortexService::Timer1Timer() {
  timer1_->SetEnabled(false);
  try {
    db_->DB_Reconnect();
    if (ctx_.Stopping || ctx_.ServiceStopping) {
      log_.WriteLog(0, "Exit T1");
      return;
    }
    if (ctx_.ServerState != 5) {
      StartUpServer();
      timer1_->SetEnabled(true);
      return;
    }
    if (listenPending_) OpenListener();
    jobs_->RunTimer1Work();
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<T1>") + e.what());
  }
  // Also after an exception: a service that stops polling after one failed
  // tick would stop storing transactions for good.
  if (!ctx_.Terminated && !ctx_.Stopping && !ctx_.ServiceStopping) timer1_->SetEnabled(true);
}

void TVANTPortexService::Timer2Timer() {
  timer2_->SetEnabled(false);
  if (ctx_.ServiceStopping || ctx_.Stopping) {
    log_.WriteLog(0, "ZK.Exit T2");
    return;
  }
  try {
    jobs_->RunTimer2Work();
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<Svr.T2>") + e.what());
  }
  timer2_->SetEnabled(true);
}

}  // namespace px
