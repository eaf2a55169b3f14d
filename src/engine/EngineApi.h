#pragma once
#include <cstdint>
#include <string>

namespace px {

// The communication engine as the service sees it (the entries of the
// engine form that the registry, storage, periodic jobs and client protocol call).
class IEngine {
public:
  virtual ~IEngine() = default;
  // Serial buses.
  virtual bool SpawnAccessComm(int bus, int baud, int comNumber) = 0;
  virtual bool EnableCtrl(int bus, int unit, bool enable) = 0;
  // IP controllers.
  virtual bool SpawnIPCtrl(bool wasDown, bool enabled, int port, const std::string& configuredModel,
                           const std::string& ip, int unit) = 0;
  virtual void EnableIPCtrl(const std::string& ip, int unit, bool enable) = 0;
  virtual bool Queue_IPCommandPending() = 0;
  // "0" pauses polling of the controller at ip, "1" resumes it.
  virtual void OnOffPollingThread(const std::string& ip, const std::string& onOff) = 0;
  // Single-socket mode: start its timer (it works from the controller table).
  virtual void StartSingleSocket() = 0;
  // 0 with the command ID when queued, 1 when nothing was queued.
  virtual int SendCommand(const std::string& command, int bus, int unit, std::string& id,
                          const std::string& params, const std::string& ip) = 0;
  // 0 with a line, 1 with none; `seq` is the line's number in the intake
  // journal (0 when it has none), to be reported consumed once it is stored.
  virtual int GetNextTransaction(std::string& line, std::uint64_t& seq) = 0;
  int GetNextTransaction(std::string& line) {
    std::uint64_t seq = 0;
    return GetNextTransaction(line, seq);
  }
  // 0 with the door-status text in place of the request, 1 when unknown.
  virtual int GetDoorStatus(std::string& text) = 0;
  virtual void QueueForRawWrite(const std::string& line) = 0;
  // While held, controllers are asked for no records (status polls only):
  // the service cannot keep what it would take.
  virtual void HoldRecords(bool hold) { (void)hold; }
  // At a stop: no new exchange starts; the ones under way are finished, so
  // the records their answers bring reach the queues, where
  // GetNextTransaction still hands them out. PollingStopped tells when every
  // bus, channel and the single socket is done.
  virtual void StopPolling() {}
  virtual bool PollingStopped() { return true; }
};

}  // namespace px
