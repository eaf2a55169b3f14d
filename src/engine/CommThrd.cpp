#include "engine/CommThrd.h"

#include <chrono>
#include <memory>

namespace px {

TCommThrd::TCommThrd(EngineContext& ctx, TAccComm& acc) : ctx_(ctx), acc_(acc) {
  acc_.OnAnswerComplete = [this] { AnswerComplete(); };
}

TCommThrd::~TCommThrd() {
  Terminate();
  Join();
  acc_.OnAnswerComplete = nullptr;
}

void TCommThrd::AnswerComplete() {
  {
    std::lock_guard<std::mutex> g(sleepM_);
    answerReady_ = true;
  }
  sleepCv_.notify_all();
}

void TCommThrd::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { Execute(); });
}

void TCommThrd::Terminate() {
  {
    std::lock_guard<std::mutex> g(sleepM_);
    terminated_ = true;
  }
  sleepCv_.notify_all();
}

void TCommThrd::Join() {
  if (thread_.joinable()) thread_.join();
}

void TCommThrd::SleepMs(int ms) {
  std::unique_lock<std::mutex> lk(sleepM_);
  sleepCv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return terminated_.load(); });
}

bool TCommThrd::Handoff(const std::function<void()>& step) {
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    bool started = false, done = false, abandoned = false;
  };
  if (terminated_ || ctx_.stopping || ctx_.loop.Stopped()) return false;
  auto sh = std::make_shared<Shared>();
  ctx_.loop.Post([this, sh, step] {
    {
      std::lock_guard<std::mutex> g(sh->m);
      if (sh->abandoned) return;
      sh->started = true;
    }
    // A step that throws is over all the same: the thread must not wait
    // for it for ever (nor the stop behind it).
    try {
      step();
    } catch (const std::exception& e) {
      ctx_.log.WriteLog(999, "<BusStep> B" + std::to_string(acc_.Bus()) + " " + e.what());
    } catch (...) {
      ctx_.log.WriteLog(999, "<BusStep> B" + std::to_string(acc_.Bus()) + " unknown exception");
    }
    {
      std::lock_guard<std::mutex> g(sh->m);
      sh->done = true;
    }
    sh->cv.notify_all();
  });
  std::unique_lock<std::mutex> lk(sh->m);
  while (!sh->done) {
    sh->cv.wait_for(lk, std::chrono::milliseconds(10));
    if (sh->done) break;
    // A step the loop is running is always waited for; one it has not
    // begun is given up when the thread must end.
    if (!sh->started && (terminated_ || ctx_.stopping || ctx_.loop.Stopped())) {
      sh->abandoned = true;
      return false;
    }
  }
  return true;
}

bool TCommThrd::WaitJournal(std::chrono::milliseconds max) {
  IIntakeJournal* j = ctx_.journal;
  if (!j) return true;
  const std::string& source = acc_.TransLines().Source();
  const auto until = std::chrono::steady_clock::now() + max;
  while (!j->WaitSettled(source, std::chrono::milliseconds(50))) {
    if (terminated_ || ctx_.stopping || ctx_.Winding() || std::chrono::steady_clock::now() >= until) return false;
  }
  return true;
}

void TCommThrd::Execute() {
  while (!terminated_ && !ctx_.stopping) OneTurn();
  finished_ = true;
}

void TCommThrd::OneTurn() {
  if (pauseRequest_) {
    pauseAck_ = true;
    SleepMs(100);
    return;
  }
  pauseAck_ = false;
  if (ctx_.settings.pollDelay > 0) {
    // The delay paces the polls; while an answer is awaited it ends as soon
    // as the answer is complete, so one poll costs the delay plus its wire
    // time rather than two delays.
    std::unique_lock<std::mutex> lk(sleepM_);
    sleepCv_.wait_for(lk, std::chrono::milliseconds(ctx_.settings.pollDelay),
                      [this] { return terminated_.load() || answerReady_; });
    answerReady_ = false;
  }

  BusSnapshot snap;
  if (!Handoff([&] { snap = acc_.CheckBusPort(turn_); })) return Terminate();
  // At a stop an answer under way is still awaited and read: the controller
  // takes its next poll, after a restart, as proof that the records arrived.
  if (ctx_.Winding() && (!snap.portOpen || snap.state == 'I')) {
    quiet_ = true;
    SleepMs(20);
    return;
  }
  if (!snap.portOpen) return;

  switch (snap.state) {
    case 'I': {
      // Nothing goes out before the records this bus took are on disk: the
      // next poll tells their controller it may delete them.
      if (!WaitJournal(std::chrono::hours(24))) return;
      auto result = TAccComm::IdleResult::NoneEnabled;
      if (!Handoff([&] { result = acc_.IdleStep(turn_); })) return Terminate();
      if (result == TAccComm::IdleResult::AwaitJournal) {
        // The unit's owed mark first; a journal that cannot write it within
        // the wait gets it taken back and the poll is not sent.
        const bool settled = WaitJournal(kMarkWait);
        if (!Handoff([&] { result = acc_.SendAwaitedPoll(turn_, settled); })) return Terminate();
      }
      if (result == TAccComm::IdleResult::ScanningStopped) SleepMs(20);
      break;
    }
    case 'W':
    case 'S':
      if (snap.timeout > 0) break;
      if (snap.state == 'S' && snap.cardMode) {
        if (!Handoff([&] { acc_.AbandonCardUpload(turn_); })) return Terminate();
      } else {
        if (!Handoff([&] { acc_.GiveUpAnswer(turn_); })) return Terminate();
      }
      break;
    case 'E':
      if (!Handoff([&] { acc_.ProcessBusReply(turn_); })) return Terminate();
      break;
    case 'C':
      if (!Handoff([&] { acc_.FinishCardUpload(turn_); })) return Terminate();
      break;
    default:
      break;
  }
}

}  // namespace px
