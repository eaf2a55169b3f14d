#pragma once
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "engine/EngineContext.h"
#include "engine/IPController.h"
#include "platform/ClientSocket.h"
#include "platform/Timer.h"

namespace px {

// One IP channel as the form holds it: the controller slots, the channel's
// client socket and 10 ms timer, and its idle-tick, wait and consecutive
// time-out counters. The timer walks the state machine: "N" choose the
// next slot, "1"/"3" connect to its address, "I" send a command or a poll,
// "W" wait for the answer, "S" receiving (or suspended), "E" interpret,
// "C" card upload complete, "R" recreate the socket.
//
// Nothing here blocks the loop: a connect is started and then checked on
// each tick against the wait counter, so a controller that refuses, hangs
// or drops only ever holds up its own channel. An address whose connect
// failed (refused, or no answer within the wait) is tried again only once
// its connect window has passed since that attempt began; the channel polls
// its other slots meanwhile. Loop thread only.
class TIPChannel {
public:
  // Wait-counter limits, in ticks of the 20 ms TimeOutTimer.
  static constexpr int kPollWait = 100;
  static constexpr int kCommandWait = 200;
  static constexpr int kConnectWait = 300;
  // Consecutive time-outs on a connected socket before it is recreated.
  static constexpr int kRecreateAfter = 10;
  // Between two connects to one address that failed.
  static constexpr std::chrono::seconds kConnectWindow{30};
  // The channel timer's interval while every address waits for its window.
  static constexpr int kWaitingTickMs = 100;

  TIPChannel(EngineContext& ctx, int channel, int port);
  ~TIPChannel();
  TIPChannel(const TIPChannel&) = delete;
  TIPChannel& operator=(const TIPChannel&) = delete;

  int Channel() const { return ctrl_.Channel(); }
  TIPController& Ctrl() { return ctrl_; }
  const TIPController& Ctrl() const { return ctrl_; }
  TClientSocket& Socket() { return *sock_; }
  TTimer& Timer() { return timer_; }
  int WaitCounter() const { return wait_; }
  int ConsecutiveTimeouts() const { return timeouts_; }
  bool SockError() const { return sockError_; }
  bool Suspended() const { return suspended_; }
  // At a stop (EngineContext::winding) the channel finishes the exchange
  // under way and starts no other; quiet once its timer has stopped.
  bool Quiet() const { return !timer_.Enabled(); }
  // How many times the socket has been recreated.
  int Recreated() const { return recreated_; }

  // One tick of the TimeOutTimer.
  void TickWait() {
    if (wait_ > 0) --wait_;
  }
  void IPTimerTimer();
  // Pauses ("0") or resumes ("1") the channel for the template server.
  void OnOffPolling(bool on);
  // Engine shutdown: stops the timer, closes the socket, disables every slot.
  void Free();

private:
  // Waiting: every enabled slot's address waits out its connect window.
  enum class Next { Ready, Pending, Failed, Waiting };
  Next GetNextIPController(bool& noneEnabled);
  bool ChooseReachableSlot();
  bool MayConnect(const std::string& ip, int port) const;
  void StartConnect(const std::string& ip, int port);
  void ConnectFailed(const std::string& ip, int port);
  void IdleStep();
  void SendAwaitedPoll();
  void DropAwaitedPoll();
  static constexpr std::chrono::milliseconds kMarkWait{2000};
  void StartCommand(const std::string& line);
  void ContinueCommandConnect();
  void SendCommandFrame();
  // The complete answer in the ring is read (state "E").
  void TakeAnswer();
  void AnswerTimedOut();
  void Recreate();
  bool ReCreateIP();
  void MakeSocket(const std::string& ip, int port);
  void CSock1Read(TClientSocket& s);
  void CSock1Error(TClientSocket& s, TErrorEvent ev, int& code);
  void CSock1Connect(TClientSocket& s);
  void Csock1Disconnect(TClientSocket& s);
  void Log(int level, const std::string& text) { ctx_.log.WriteLog(level, text); }

  EngineContext& ctx_;
  TIPController ctrl_;
  std::unique_ptr<TClientSocket> sock_;
  TTimer timer_;
  int wait_ = 0;
  int idle_ = 0;
  int timeouts_ = 0;
  int recreated_ = 0;
  bool sockError_ = false;
  bool connecting_ = false;     // GetNextIPController's connect is under way
  bool cmdConnecting_ = false;  // a command waits for its connection
  std::string pendingLine_;     // that command as queued
  std::string pendingFrame_;    // and as it goes on the wire
  // Per "address:port": when its last connect began, and whether that one
  // failed (then the next waits for the window).
  struct ConnectTry {
    std::chrono::system_clock::time_point began{};
    bool failed = false;
  };
  std::map<std::string, ConnectTry> tries_;
  bool waitingPace_ = false;
  bool suspended_ = false;
  bool freed_ = false;
  // A poll waiting for its unit's owed mark to reach the disk.
  std::string awaitedPoll_;
  IIntakeJournal::Seq awaitedMark_ = 0;
  std::chrono::steady_clock::time_point awaitedSince_{};
};

}  // namespace px
