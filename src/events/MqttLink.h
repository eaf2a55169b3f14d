#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "common/Log.h"
#include "events/MqttLinkApi.h"
#include "events/StreamOptions.h"

namespace px {

// The connection to the broker through libmosquitto, on a thread of its
// own: it connects with the last will "offline" on the status topic,
// says "online" once the broker accepts it, publishes what is handed over
// in that order, reports the broker's acknowledgements, and when the
// connection breaks starts a new one after a wait that doubles from
// reconnectMin to reconnectMax. Each connection is a new libmosquitto
// client, so nothing of an old one is sent again behind the stream's back:
// the stream hands over again what was not acknowledged.
class MqttLink : public IMqttLink {
public:
  MqttLink(StreamOptions options, ILog& log);
  ~MqttLink() override;
  void Start(Handlers h) override;
  void Publish(std::uint64_t connection, std::vector<MqttMessage> messages) override;
  void Stop(std::chrono::milliseconds within) override;

  // The wait before the attempt after `failures` failed ones.
  static std::chrono::milliseconds Backoff(int failures, std::chrono::milliseconds first,
                                           std::chrono::milliseconds last);
  // A connection that has not been accepted this long after it was opened
  // is given up.
  static constexpr std::chrono::seconds kHandshakeLimit{10};
  static constexpr int kKeepAliveSec = 30;
  // QoS 1 and 2 messages on the way at once.
  static constexpr unsigned kInFlight = 100;

private:
  struct Shared;
  class Session;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace px
