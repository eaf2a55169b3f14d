#pragma once
#include <memory>
#include <string>
#include <vector>

#include "common/ControllerTable.h"
#include "common/RingQueue.h"
#include "engine/EngineContext.h"
#include "engine/IPCommandQueue.h"
#include "engine/IPReceiver.h"
#include "engine/IPReplyReader.h"
#include "engine/TransQueue.h"
#include "platform/ClientSocket.h"
#include "platform/Timer.h"

namespace px {

// The single-socket transport: one client socket and one 10 ms timer serve
// every IP controller of the service's controller table in turn, on a fresh
// connection for each exchange. States: "I" idle, "1" close, "2" closed,
// "3" connect, "4" connected: send, "W" wait for the answer, "S" receiving,
// "E" frame complete, "C" card upload complete.
//
// The controller fields it keeps (status A and B, model known, status and
// repeat requests, failure count) live in the table's rows. Lines to the
// service carry a controller's logical point, the number the service knows
// it by; on the wire it is addressed as unit (point - 1) mod 16 + 1.
// Loop thread only.
class TSingleSocket : private IPReplySink {
public:
  static constexpr size_t kTransSlots = 4000;
  static constexpr int kExchangeWait = 200;
  static constexpr int kStepWait = 250;

  explicit TSingleSocket(EngineContext& ctx);
  ~TSingleSocket() override;

  // Starts the SSTimer.
  void Start();
  bool Running() const { return timer_.Enabled(); }
  // At a stop (EngineContext::winding) the exchange under way is finished and
  // no other started; quiet once the timer has stopped.
  bool Quiet() const { return !timer_.Enabled(); }
  void Stop();

  bool Queue_PutIPCommand(const std::string& ip, const std::string& line) { return commands_.Put(ip, line); }
  bool SST_GetTrans(std::string& line, IIntakeJournal::Seq& seq) { return trans_.Get(line, seq); }
  size_t CommandDepth() const { return commands_.Count(); }
  size_t TransDepth() const { return trans_.Count(); }
  const TransQueue& TransLines() const { return trans_; }
  // The next controller of the table that has an address (round-robin,
  // wrapping to 1): its dotted address, port and wire unit. False when no
  // row has an address.
  bool SST_GetNextCtrl(std::string& address, int& port, int& unit);
  // Door-status text of the controller at ip with that unit.
  int GetDoorStatus(const std::string& ip, int unit, std::string& text) const;

  void SSTimerTimer();
  // One tick of the TimeOutTimer.
  void TickWait() {
    if (wait_ > 0) --wait_;
  }

  char State() const { return rx_.State(); }
  int CurrentIndex() const { return index_; }
  int WaitCounter() const { return wait_; }
  TClientSocket& Socket() { return sock_; }

private:
  void IdleStep();
  void TimeOut(bool waiting);
  void SingleSockRead(TClientSocket& s);
  void SingleSockError(TClientSocket& s, TErrorEvent ev, int& code);
  void SST_ProcessData();
  bool SST_VerifyCSum();
  void SST_HandleRCData();
  void SST_RefreshIPDownCount(TCtrlRec& c, bool goodPoll);
  void OnPollHeader(int frameUnit, const std::string& code, const std::string& statusA) override;
  void OnRecord(int frameUnit, const std::string& record) override;
  void OnFrameEnd(int frameUnit, const std::string& frame) override;
  // The row the exchange is about; nullptr for a command to an address that
  // is not in the table.
  TCtrlRec* Current();
  static bool Pollable(const TCtrlRec& r);
  // The row's name in the intake journal: address key, "U", logical point.
  static std::string UnitKey(const TCtrlRec& r);
  void Log(int level, const std::string& text) { ctx_.log.WriteLog(level, text); }

  EngineContext& ctx_;
  ControllerTable* table_;
  TClientSocket sock_;
  TTimer timer_;
  TIPCommandQueue commands_;
  TransQueue trans_;
  TIPReceiver rx_;
  int index_ = 0;      // round-robin position in the table (0 before the first)
  int exchRow_ = 0;    // the row of the exchange under way, 0 when none
  std::string ip_;     // the exchange's address, port and wire unit
  int port_ = 0;
  int unit_ = 0;
  std::string frame_;
  std::string cmdId_;
  int cmdUnit_ = 0;
  bool cmdInFlight_ = false;
  int wait_ = 0;
  int idle_ = 0;
  bool sent_ = false;                 // the exchange's frame went out
  IIntakeJournal::Seq awaited_ = 0;   // the poll's owed mark, until it goes out
  bool polled_ = false;               // the reply being read answered a poll
  std::vector<std::string> block_;    // its records
};

}  // namespace px
