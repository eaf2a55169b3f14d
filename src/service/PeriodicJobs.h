#pragma once
#include <string>

#include "common/DateTime.h"
#include "service/ServiceContext.h"

namespace px {

// The work of the service's two timers once start-up has succeeded: the
// exchange with the engine, one template job, the controller clock updates,
// the ZK terminal work (Timer1), the log name roll-over and the attendance
// reprocessing hand-off (Timer2).
class PeriodicJobs {
public:
  explicit PeriodicJobs(ServiceContext& ctx);

  // Called once at service start: the periodic clock update counts from here.
  void StartClock(const DateTime& now) { lastPeriodicUpdate_ = now; }

  // Steps 5 to 8 of a Timer1 tick (the caller does the rest).
  void RunTimer1Work();
  void CheckControllerClocks();
  void UpdateAllControllerTime();
  // One queued terminal command or one terminal poll, handed to the
  // terminal module's worker; the outcome is taken on the loop when done.
  void RunZKStep();
  void FinishZKPoll(const std::string& tag, bool ok, bool skipped);
  // Steps 3 and 4 of a Timer2 tick.
  void RunTimer2Work();

  const std::string& LastClockMinute() const { return lastClockMinute_; }
  int ZKPollCountdown() const { return zkPollCountdown_; }

private:
  ServiceContext& ctx_;
  std::string lastClockMinute_;
  DateTime lastPeriodicUpdate_;
  int zkPollCountdown_;
};

}  // namespace px
