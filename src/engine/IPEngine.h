#pragma once
#include <memory>
#include <string>
#include <vector>

#include "engine/EngineContext.h"
#include "engine/IPChannel.h"
#include "engine/SingleSocket.h"
#include "platform/Timer.h"

namespace px {

// The IP side of the engine: up to 12 IP channels (TIPChannel), or the
// single-socket transport (TSingleSocket), owned by the form, and the 20 ms
// TimeOutTimer that counts their wait counters down. The form forwards to it:
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
// flags, and the reply and raw capture queues. Loop thread only.
class TIPEngine {
public:
  static constexpr int kMaxChannels = 12;

  explicit TIPEngine(EngineContext& ctx);
  ~TIPEngine();
  TIPEngine(const TIPEngine&) = delete;
  TIPEngine& operator=(const TIPEngine&) = delete;

  bool SpawnIPCtrl(bool wasDown, bool enabled, int port, const std::string& configuredModel, const std::string& ip,
                   int unit);
  void EnableIPCtrl(const std::string& ip, int unit, bool enable);
  // Queues a command line (ID + frame) for the controller at ip.
  bool Queue_PutIPCommand(const std::string& ip, const std::string& line);
  bool Queue_GetIPCommand(const std::string& ip, std::string& line);
  bool Queue_IPCommandPending();
  // The first channel with a slot holding exactly that address.
  bool GetIdxFromIPAddr(const std::string& ip, int& channel) const;
  bool GetNextTransaction(std::string& line, IIntakeJournal::Seq& seq);
  // 0 with the door-status text, 1 when the controller is unknown.
  int GetDoorStatus(const std::string& ip, int unit, std::string& text);
  void OnOffPollingThread(const std::string& ip, const std::string& onOff);
  void StartSingleSocket();
  void FreeIPCtrl();
  void TimeOutTimerTimer();
  // At a stop: every channel and the single socket has finished its exchange.
  bool Quiet() const;

  int ChannelCount() const { return static_cast<int>(channels_.size()); }
  // channel 1..ChannelCount(); nullptr otherwise.
  TIPChannel* Channel(int channel) const;
  // Null unless the service runs in single-socket mode.
  TSingleSocket* SingleSocket() const { return ss_.get(); }
  bool SingleSocketMode() const { return ctx_.cfg.singleSocket; }
  EngineContext& Context() { return ctx_; }

private:
  void ShareChannel(TIPChannel& ch, bool wasDown, bool enabled, int port, const std::string& configuredModel,
                    const std::string& ip, int unit, bool& ok);

  EngineContext& ctx_;
  std::vector<std::unique_ptr<TIPChannel>> channels_;
  std::unique_ptr<TSingleSocket> ss_;
  TTimer timeOutTimer_;
  bool freed_ = false;
};

}  // namespace px
