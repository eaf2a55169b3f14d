#pragma once
#include <memory>
#include <string>

#include "common/DateTime.h"

#include "common/Log.h"
#include "zk/ZkHost.h"
#include "zk/ZkSettings.h"
#include "zk/ZkTerminalTable.h"
#include "zk/ZkWorker.h"

namespace px {

// What every terminal step shares: the settings, the log, the service (host,
// reached through the worker's hand-over), the terminal table and the
// terminal that is current. The current-terminal state is the worker's alone.
class TZkModuleState {
public:
  TZkModuleState(const ZkSettings& settings, ILog& log, IZkHost& host, TZkWorker& worker, std::shared_ptr<Clock> clock)
      : settings(settings), log(log), host(host), worker(worker), clock(std::move(clock)) {}

  const ZkSettings settings;
  ILog& log;
  IZkHost& host;
  TZkWorker& worker;
  const std::shared_ptr<Clock> clock;
  TZkTerminalTable table;

  // Current terminal.
  IZKEM* control = nullptr;
  std::string currentType;
  bool isF18 = false;
  int machine = 1;
  std::string lastAddress;
  std::string redirectId;
  // The last switch found the terminal waiting out a retry or restarting it:
  // no real attempt was made.
  bool switchSkipped = false;

  // Makes the terminal at address:port current, connecting when needed.
  // False when it is not in the table, waits out a retry, or the connect
  // failed; `connected` tells whether the link is up.
  bool SwitchToCurrentF8(const std::string& callerTag, const std::string& address, bool& connected, int port);
  // Progress text for the client that asked for a template collection.
  void RedirMessage(const std::string& text);
  // Lines written only when "Debug" is exactly 21.
  void Debug21(int level, const std::string& text) {
    if (settings.Debug == 21) log.WriteLog(level, text);
  }
  // "ddmmhhmm" of now, as synthetic status records begin.
  std::string NowStamp() const { return FormatDateTime("ddmmhhnn", clock->LocalNow()); }
  // Runs fn on the loop (the service's side); false when it could not.
  bool OnLoop(const std::function<void()>& fn) { return worker.OnLoop(fn); }
};

}  // namespace px
