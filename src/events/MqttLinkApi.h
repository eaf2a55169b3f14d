#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace px {

// One message for the broker. A message with a token is reported back
// once the broker has it (the acknowledgement of its QoS); token 0 is not.
struct MqttMessage {
  std::string topic, payload;
  int qos = 1;
  bool retain = false;
  std::int64_t token = 0;
};

// The connection to the broker as the event stream sees it. Every
// connection gets a new number; what is handed over for an older one is
// dropped, so nothing from before a reconnect is sent after it.
class IMqttLink {
public:
  struct Handlers {
    // Called on the link's own thread: they hand over and return.
    std::function<void(std::uint64_t connection)> connected;
    std::function<void(std::uint64_t connection)> lost;
    std::function<void(std::uint64_t connection, std::vector<std::int64_t> tokens)> acknowledged;
  };
  virtual ~IMqttLink() = default;
  virtual void Start(Handlers h) = 0;
  // Any thread; never waits for the broker.
  virtual void Publish(std::uint64_t connection, std::vector<MqttMessage> messages) = 0;
  // Not on the event loop: says "offline", disconnects and ends the
  // thread, all within `within`; no handler is called once it returns.
  virtual void Stop(std::chrono::milliseconds within) = 0;
};

}  // namespace px
