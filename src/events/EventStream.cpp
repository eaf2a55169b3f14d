#include "events/EventStream.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <thread>

#include "common/StrUtil.h"
#include "platform/Database.h"
#include "platform/EventLoop.h"
#include "platform/Timer.h"

namespace px {

using Steady = std::chrono::steady_clock;

EventStream::EventStream(EventStreamHost host, StreamOptions options, std::unique_ptr<IMqttLink> link)
    : host_(std::move(host)),
      options_(std::move(options)),
      link_(std::move(link)),
      outbox_(*host_.db, *host_.log),
      names_(options_.prefix) {}

EventStream::~EventStream() {
  *alive_ = false;
  timer_.reset();
  // Normally stopped already (Stop); here only what a test left running.
  if (link_) link_->Stop(std::chrono::milliseconds(200));
}

void EventStream::Start() {
  timer_ = std::make_unique<TTimer>(*host_.loop, static_cast<int>(options_.pollEvery.count()), false);
  timer_->OnTimer = [this] {
    timer_->SetEnabled(false);
    Tick();
    if (!stopping_) timer_->SetEnabled(true);
  };
  timer_->SetEnabled(true);
  nextPurge_ = host_.clock->Now();
  if (!link_) return;
  host_.log->WriteLog(999, "Mqtt: event stream to " + options_.broker + " under " + options_.prefix + "/");
  // The link's thread only hands over; everything happens on the loop.
  IMqttLink::Handlers h;
  EventLoop* loop = host_.loop;
  auto alive = alive_;
  h.connected = [this, loop, alive](std::uint64_t c) {
    loop->Post([this, alive, c] {
      if (*alive) OnConnected(c);
    });
  };
  h.lost = [this, loop, alive](std::uint64_t c) {
    loop->Post([this, alive, c] {
      if (*alive) OnLost(c);
    });
  };
  h.acknowledged = [this, loop, alive](std::uint64_t c, std::vector<std::int64_t> tokens) {
    loop->Post([this, alive, c, tokens = std::move(tokens)] {
      if (*alive) OnAcked(c, tokens);
    });
  };
  link_->Start(std::move(h));
}

bool EventStream::Usable() const {
  // Not inside a module's wait for a device, which may be in the middle of
  // a transaction of its own on this connection.
  return !stopping_ && host_.db->Connected() && host_.loop->WaitDepth() == 0 && (!host_.ready || host_.ready());
}

bool EventStream::Positioned() {
  if (positioned_) return true;
  bool found = false;
  std::int64_t id = 0;
  if (!outbox_.LoadPosition(kStreamName, id, found)) return false;
  if (!found) {
    // Switched on for the first time: the stream starts with what is
    // stored from now on (what came before is there for the REST API).
    if (!outbox_.Newest(id) || !outbox_.SavePosition(kStreamName, id)) return false;
    host_.log->WriteLog(999, "Mqtt: first start; events after " + std::to_string(id) + " are published");
  }
  acked_ = saved_ = read_ = id;
  positioned_ = true;
  return true;
}

void EventStream::Tick() {
  if (!Usable()) return;
  if (host_.clock->Now() >= nextPurge_) Purge();
  Pump();
  Save(false);
}

void EventStream::Pump() {
  if (!link_ || !connected_ || !Usable() || !Positioned()) return;
  Announce();
  const auto until = Steady::now() + kPassLimit;
  while (inflight_.size() < static_cast<size_t>(options_.window) && Steady::now() < until) {
    const int room = std::min(options_.batch, options_.window - static_cast<int>(inflight_.size()));
    std::vector<TransactionEvent> events;
    if (!outbox_.Read(read_, room, events)) return;
    caughtUp_ = static_cast<int>(events.size()) < room;
    std::vector<MqttMessage> messages;
    messages.reserve(events.size());
    for (const auto& e : events) {
      read_ = e.id;
      const bool already = ackedAhead_.erase(e.id) > 0;
      inflight_[e.id] = already;
      if (!already) messages.push_back({names_.Transactions(e.tag), e.Json(), options_.qos, false, e.id});
    }
    if (!messages.empty()) link_->Publish(connection_, std::move(messages));
    Advance();
    if (caughtUp_) break;
  }
}

void EventStream::Advance() {
  while (!inflight_.empty() && inflight_.begin()->second) {
    acked_ = inflight_.begin()->first;
    inflight_.erase(inflight_.begin());
  }
}

void EventStream::Save(bool always) {
  if (!link_ || !positioned_ || acked_ == saved_) return;
  if (!always && Steady::now() - lastSave_ < kSaveEvery) return;
  if (!host_.db->Connected() || host_.loop->WaitDepth() > 0) return;
  lastSave_ = Steady::now();
  if (outbox_.SavePosition(kStreamName, acked_)) saved_ = acked_;
}

void EventStream::Purge() {
  // While the stream is on, nothing it has not had acknowledged goes.
  if (link_ && !Positioned()) return;
  const auto until = Steady::now() + kPassLimit;
  bool more = true;
  while (more && Steady::now() < until)
    if (!outbox_.Purge(host_.clock->LocalNow(), options_.retentionDays, link_ ? saved_ : -1, more)) return;
  nextPurge_ = more ? host_.clock->Now() : host_.clock->Now() + kPurgeEvery;
}

MqttMessage EventStream::StateMessage(const std::string& tag) const {
  const State& s = states_.at(tag);
  nlohmann::ordered_json j;
  j["state"] = s.state;
  j["time"] = s.time.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(s.time);
  return {names_.UnitState(tag), j.dump(), options_.qos, true, 0};
}

void EventStream::Announce() {
  if (announced_) return;
  // The states stored before this start, until the units report afresh.
  std::map<std::string, std::string> stored;
  if (!seeded_ && outbox_.UnitStates(stored)) {
    seeded_ = true;
    for (const auto& [tag, state] : stored) states_.emplace(tag, State{state, ""});
  }
  std::vector<MqttMessage> messages;
  if (options_.homeAssistant && host_.units)
    messages = HomeAssistant(options_.discoveryPrefix, options_.clientId, names_, options_.qos)
                   .Discovery(host_.units());
  for (const auto& [tag, s] : states_) messages.push_back(StateMessage(tag));
  if (!messages.empty()) link_->Publish(connection_, std::move(messages));
  announced_ = true;
}

void EventStream::UnitState(const std::string& tag, const std::string& state) {
  states_[tag] = State{state, IsoLocalTime(host_.clock->Now())};
  if (link_ && connected_ && announced_) link_->Publish(connection_, {StateMessage(tag)});
}

void EventStream::Reset() {
  // What follows a gap stays acknowledged; the rest is handed over again.
  for (const auto& [id, acked] : inflight_)
    if (acked) ackedAhead_.insert(id);
  inflight_.clear();
  read_ = acked_;
  caughtUp_ = false;
}

void EventStream::OnConnected(std::uint64_t connection) {
  connection_ = connection;
  connected_ = true;
  announced_ = false;
  Reset();
  Pump();
}

void EventStream::OnLost(std::uint64_t connection) {
  if (connection != connection_) return;
  connection_ = 0;
  connected_ = false;
  Reset();
  Save(true);
}

void EventStream::OnAcked(std::uint64_t connection, const std::vector<std::int64_t>& tokens) {
  if (connection != connection_) return;
  for (std::int64_t t : tokens) {
    auto it = inflight_.find(t);
    if (it != inflight_.end()) it->second = true;
  }
  Advance();
  Save(false);
  // A backlog is read on as the window empties; new rows come with the
  // next storage tick.
  if (!caughtUp_) Pump();
}

void EventStream::Stop(std::chrono::milliseconds within) {
  EventLoop& loop = *host_.loop;
  const auto by = Steady::now() + within;
  // Most of the time for what the last ticks stored; the rest for saying
  // "offline" and disconnecting.
  const auto flushBy = by - std::min<std::chrono::milliseconds>(within / 3, std::chrono::seconds(1));
  const bool quick = within < kQuickStop;
  while (link_ && !quick && Steady::now() < flushBy) {
    bool done = true;
    if (!loop.Synchronize([&] {
          Pump();
          done = !connected_ || (caughtUp_ && inflight_.empty());
        }))
      break;
    if (done) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  loop.Synchronize([&] {
    stopping_ = true;
    if (timer_) timer_->SetEnabled(false);
  });
  if (!link_) return;
  link_->Stop(std::max<std::chrono::milliseconds>(std::chrono::milliseconds(100),
                                                  std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      by - Steady::now())));
  // The acknowledgements of the farewell were posted before this runs.
  if (!quick)
    loop.Synchronize([&] {
      Advance();
      Save(true);
    });
}

}  // namespace px
