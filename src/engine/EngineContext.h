#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "common/ControllerTable.h"
#include "common/DateTime.h"
#include "common/IntakeJournalApi.h"
#include "common/Log.h"
#include "engine/CommMonitor.h"
#include "engine/EngineConfig.h"
#include "platform/EventLoop.h"
#include "templateserver/TemplateServerApi.h"

namespace px {

// Settings the engine reads from the INI file when the form is created.
struct EngineSettings {
  int pollDelay = 50;     // ms a bus thread sleeps per turn
  int ipSleepCount = 0;   // IP channel ticks between polls
  bool expressMode = false;
  int pollDelaySec = 0;   // as read, capped at 1800; 0 when not set
};

// What the form shares with its buses and its IP side. Everything here is
// owned by the form and outlives the parts that hold the context; all of it
// is used on the loop thread, except the flags, which bus threads read.
struct EngineContext {
  EventLoop& loop;
  ILog& log;
  const EngineConfig& cfg;
  std::shared_ptr<Clock> clock;
  ControllerTable* ctrlTable;   // single-socket mode: the service's controller list
  ITemplateServer* templates;   // may be null
  CommMonitor& monitor;
  const EngineSettings& settings;
  const std::atomic<bool>& scanningStopped;
  const std::atomic<bool>& stopping;
  // The form's reply queue and raw capture queue.
  std::function<void(const std::string&)> putReplyQ;
  std::function<void(const std::string&)> queueForRawWrite;
  // Raised by the service while it cannot keep the records it takes: the
  // transports then ask for none (see TransQueue).
  const std::atomic<bool>* recordsHeld = nullptr;
  // Raised at a stop: no new exchange starts; one under way is finished, so
  // the records of an answer already sent reach the queues.
  const std::atomic<bool>* winding = nullptr;
  bool Winding() const { return winding && winding->load(); }
  // Where every line bound for the service is kept until it is stored; null
  // when the service keeps none.
  IIntakeJournal* journal = nullptr;
};

}  // namespace px
