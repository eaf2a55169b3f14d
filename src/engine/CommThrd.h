#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/AccComm.h"
#include "engine/EngineContext.h"

namespace px {

// The polling thread of one bus. It only sequences the steps and sleeps:
// every step that touches the port, the queues or the bus state is handed
// to the loop thread, and the thread waits for it. A hand-off that the loop
// has not started yet is abandoned when the thread is told to end, so the
// thread can be stopped and joined from the loop thread itself.
class TCommThrd {
public:
  TCommThrd(EngineContext& ctx, TAccComm& acc);
  ~TCommThrd();  // terminates and joins
  TCommThrd(const TCommThrd&) = delete;
  TCommThrd& operator=(const TCommThrd&) = delete;

  void Start();
  // Any thread: asks the thread to end and wakes it.
  void Terminate();
  void Join();
  bool Finished() const { return finished_; }
  // At a stop (EngineContext::winding): the thread has no exchange under
  // way and starts none.
  bool Quiet() const { return quiet_ || finished_; }
  // Any thread: the awaited answer is complete; the turn's pacing sleep
  // ends early so the answer is interpreted at once.
  void AnswerComplete();

  // The pause handshake with SpawnAccessComm (new port settings).
  void SetPauseRequest(bool on) { pauseRequest_ = on; }
  bool PauseAcknowledged() const { return pauseAck_; }

  int BusNumber() const { return acc_.Bus(); }
  // Loop thread, between steps.
  const BusTurn& Turn() const { return turn_; }

private:
  void Execute();
  void OneTurn();
  bool Handoff(const std::function<void()>& step);
  // Waits until every line of this bus is settled in the journal; false
  // when the thread must end or `max` has passed.
  bool WaitJournal(std::chrono::milliseconds max);
  static constexpr std::chrono::milliseconds kMarkWait{2000};
  void SleepMs(int ms);

  EngineContext& ctx_;
  TAccComm& acc_;
  BusTurn turn_;
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> quiet_{false};
  std::atomic<bool> pauseRequest_{false};
  std::atomic<bool> pauseAck_{false};
  bool answerReady_ = false;  // guarded by sleepM_
  std::mutex sleepM_;
  std::condition_variable sleepCv_;
};

}  // namespace px
