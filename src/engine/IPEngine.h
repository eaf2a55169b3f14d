#pragma once
#include <string>

#include "engine/EngineContext.h"

namespace px {

// The IP side of the engine: up to 12 IP channels, or the single-socket
// transport, owned by the form. The form forwards to it:
// - SpawnIPCtrl / EnableIPCtrl / OnOffPollingThread / StartSingleSocket from
//   the service;
// - Queue_PutIPCommand from SendCommand for targets with an IP address;
// - GetNextTransaction after the reply queue and the bus queues: the channel
//   transaction queues in channel order, or the single-socket queue;
// - GetDoorStatus for requests that carry an IP address;
// - FreeIPCtrl when the engine stops.
// From the form it gets the context: loop, log, configuration, clock, the
// controller table, the template server, the monitor (IP LED rows), the
// settings (IPSleepCount, ExpressMode), the ScanningStopped and Stopping
// flags, and the reply and raw capture queues. Frames are found with
// FrameFinder (Rules::Ip) and lines built with EngineLines.
//
// This version has no channels yet: every entry reports "nothing done".
class TIPEngine {
public:
  explicit TIPEngine(EngineContext& ctx) : ctx_(ctx) {}

  bool SpawnIPCtrl(bool wasDown, bool enabled, int port, const std::string& configuredModel, const std::string& ip,
                   int unit);
  void EnableIPCtrl(const std::string& ip, int unit, bool enable);
  // Queues a command line (ID + frame) for the controller at ip.
  bool Queue_PutIPCommand(const std::string& ip, const std::string& line);
  bool Queue_IPCommandPending();
  bool GetNextTransaction(std::string& line);
  // 0 with the door-status text, 1 when the controller is unknown.
  int GetDoorStatus(const std::string& ip, int unit, std::string& text);
  void OnOffPollingThread(const std::string& ip, const std::string& onOff);
  void StartSingleSocket();
  void FreeIPCtrl();
  int ChannelCount() const { return 0; }
  EngineContext& Context() { return ctx_; }

private:
  EngineContext& ctx_;
};

}  // namespace px
