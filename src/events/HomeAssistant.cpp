#include "events/HomeAssistant.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "events/TransactionEvent.h"

namespace px {

std::string HomeAssistant::ObjectId(const std::string& text) {
  std::string out;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-') {
      out += ch;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "_%02x", c);
      out += hex;
    }
  }
  return out;
}

std::vector<MqttMessage> HomeAssistant::Discovery(const std::vector<StreamUnit>& units) const {
  std::vector<MqttMessage> out;
  for (const auto& u : units) {
    const std::string id = node_ + "_" + ObjectId(u.tag);
    nlohmann::ordered_json device;
    device["identifiers"] = {id};
    device["name"] = TransactionEvent::Utf8(u.tag);
    device["model"] = TransactionEvent::Utf8(u.type.empty() ? (u.terminal ? "terminal" : "controller") : u.type);
    auto common = [&](const char* name, const char* suffix) {
      nlohmann::ordered_json j;
      j["name"] = name;
      j["unique_id"] = id + suffix;
      j["availability_topic"] = names_.Status();
      j["payload_available"] = "online";
      j["payload_not_available"] = "offline";
      j["device"] = device;
      return j;
    };
    nlohmann::ordered_json link = common("Connection", "_connection");
    link["device_class"] = "connectivity";
    link["state_topic"] = names_.UnitState(u.tag);
    link["value_template"] = "{{ value_json.state }}";
    link["payload_on"] = "UP";
    link["payload_off"] = "DOWN";
    out.push_back({prefix_ + "/binary_sensor/" + node_ + "/" + ObjectId(u.tag) + "/config", link.dump(), qos_, true});
    nlohmann::ordered_json last = common("Last transaction", "_last_transaction");
    last["state_topic"] = names_.Transactions(u.tag);
    last["value_template"] = "{{ value_json.description }}";
    last["json_attributes_topic"] = names_.Transactions(u.tag);
    last["icon"] = u.terminal ? "mdi:fingerprint" : "mdi:door";
    out.push_back({prefix_ + "/sensor/" + node_ + "/" + ObjectId(u.tag) + "/config", last.dump(), qos_, true});
  }
  return out;
}

}  // namespace px
