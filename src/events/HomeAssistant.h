#pragma once
#include <string>
#include <vector>

#include "events/MqttLinkApi.h"
#include "events/TopicNames.h"

namespace px {

// A configured controller or terminal, as discovery announces it.
struct StreamUnit {
  std::string tag;
  std::string type;  // controller_type of rdrmain
  bool terminal = false;
};

// Home Assistant MQTT discovery: for every unit a connectivity binary
// sensor on its state topic and a sensor with its last transaction, both
// unavailable while the server's status is "offline". Retained, so that
// Home Assistant finds them after its own restart.
class HomeAssistant {
public:
  HomeAssistant(std::string discoveryPrefix, std::string clientId, const TopicNames& names, int qos)
      : prefix_(std::move(discoveryPrefix)), node_(ObjectId(clientId)), names_(names), qos_(qos) {}
  std::vector<MqttMessage> Discovery(const std::vector<StreamUnit>& units) const;
  // Home Assistant's ids allow [A-Za-z0-9_-]: every other byte, and '_'
  // itself, is written as '_' and two hex digits, so ids stay distinct.
  static std::string ObjectId(const std::string& text);

private:
  std::string prefix_, node_;
  TopicNames names_;
  int qos_;
};

}  // namespace px
