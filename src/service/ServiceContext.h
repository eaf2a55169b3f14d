#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "common/DateTime.h"
#include "service/ReproList.h"

namespace px {

class EventLoop;
class ServiceLog;
struct ServiceSettings;
class ServiceDb;
class ControllerRegistry;
class IEngine;
class ITransStore;
class IClientProtocol;
class IZKModule;
class ITemplateServer;
class IAttendanceLib;
class TTransOnlineForm;
class IIntakeJournal;
class IEventStream;

// The service's shared state and modules, handed to the parts that work on
// them. Pointers to modules are null until the module exists.
struct ServiceContext {
  EventLoop* loop = nullptr;
  ServiceLog* log = nullptr;
  ServiceSettings* settings = nullptr;
  std::shared_ptr<Clock> clock;
  ServiceDb* db = nullptr;
  ControllerRegistry* registry = nullptr;
  IEngine* engine = nullptr;
  ITransStore* store = nullptr;
  IClientProtocol* client = nullptr;
  IZKModule* zk = nullptr;
  ITemplateServer* templates = nullptr;
  IAttendanceLib* arq = nullptr;
  TTransOnlineForm* monitor = nullptr;
  // Everything controllers and terminals hand over, until it is stored.
  IIntakeJournal* journal = nullptr;
  // The event stream for integrators (and the retention of its events).
  IEventStream* events = nullptr;

  // Pending attendance reprocessing requests (loop thread).
  TReproList ReproList;

  std::atomic<int> ServerState{1};
  std::atomic<bool> ServiceStopping{false};
  std::atomic<bool> Stopping{false};
  // The service is terminating (its loop has been told to end).
  std::atomic<bool> Terminated{false};
};

}  // namespace px
