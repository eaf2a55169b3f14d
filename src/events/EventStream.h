#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/Log.h"
#include "events/EventOutbox.h"
#include "events/EventStreamApi.h"
#include "events/HomeAssistant.h"
#include "events/MqttLinkApi.h"
#include "events/StreamOptions.h"
#include "events/TopicNames.h"

namespace px {

class EventLoop;
class TDatabase;
class TTimer;

// What the stream needs of the service.
struct EventStreamHost {
  EventLoop* loop = nullptr;
  ILog* log = nullptr;
  std::shared_ptr<Clock> clock;
  TDatabase* db = nullptr;  // the main database
  // Start-up is done: the database is open and the units are loaded.
  std::function<bool()> ready;
  std::function<std::vector<StreamUnit>()> units;
};

// The event stream on the event loop: reads the stored events from
// trans_event in storage order and hands them to the broker connection,
// at most `window` unacknowledged at a time; moves the position on only
// over events the broker acknowledged, and keeps it in event_position of
// the same database, so that it goes wherever the events go (a restored or
// replaced database brings its own position). Publishes each unit's state,
// retained, and optionally the Home Assistant discovery messages. Also
// deletes the events that are past their retention, with the stream off too.
class EventStream : public IEventStream {
public:
  static constexpr const char* kStreamName = "mqtt";
  // How often a changed position is written at most.
  static constexpr std::chrono::milliseconds kSaveEvery{200};
  // The longest the loop is held by one pass of reading or deleting.
  static constexpr std::chrono::milliseconds kPassLimit{100};
  static constexpr std::chrono::hours kPurgeEvery{1};

  // Without a link only the retention runs.
  EventStream(EventStreamHost host, StreamOptions options, std::unique_ptr<IMqttLink> link);
  ~EventStream() override;

  // Loop thread: starts the connection and the timer.
  void Start();
  void AfterStorageTick() override { Pump(); }
  void UnitState(const std::string& tag, const std::string& state) override;
  void Stop(std::chrono::milliseconds within) override;
  // Loop thread: what the timer does (retention when due, reading, saving
  // the position).
  void Tick();

  std::int64_t Acknowledged() const { return acked_; }
  size_t Unacknowledged() const { return inflight_.size(); }
  bool Connected() const { return connected_; }

private:
  bool Usable() const;
  bool Positioned();
  void Pump();
  void Advance();
  void Save(bool always);
  void Purge();
  void Announce();
  void Reset();
  void OnConnected(std::uint64_t connection);
  void OnLost(std::uint64_t connection);
  void OnAcked(std::uint64_t connection, const std::vector<std::int64_t>& tokens);
  MqttMessage StateMessage(const std::string& tag) const;

  EventStreamHost host_;
  StreamOptions options_;
  std::unique_ptr<IMqttLink> link_;
  EventOutbox outbox_;
  TopicNames names_;
  std::unique_ptr<TTimer> timer_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  bool positioned_ = false, connected_ = false, announced_ = false, seeded_ = false, stopping_ = false;
  bool caughtUp_ = false;
  std::uint64_t connection_ = 0;
  std::int64_t acked_ = 0;  // every event up to here is acknowledged
  std::int64_t saved_ = -1;
  std::int64_t read_ = 0;   // handed over up to here on this connection
  std::map<std::int64_t, bool> inflight_;  // handed over: acknowledged yet?
  std::set<std::int64_t> ackedAhead_;      // acknowledged beyond a gap before a reconnect
  std::chrono::steady_clock::time_point lastSave_{};
  std::chrono::system_clock::time_point nextPurge_{};
  struct State {
    std::string state, time;  // time "" when read from the database at start
  };
  std::map<std::string, State> states_;
};

}  // namespace px
