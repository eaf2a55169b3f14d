#pragma once
#include <chrono>
#include <string>

#include "common/Log.h"
#include "platform/IniFile.h"

namespace px {

// Sections "Mqtt" and "Events" of the configuration: where the event stream
// goes and how long stored events are kept for integrators.
struct StreamOptions {
  // "Broker": mqtt://host[:port] (1883) or mqtts://host[:port] (8883);
  // empty switches the stream off.
  std::string broker;
  std::string host;
  int port = 0;
  bool tls = false;
  std::string caFile;  // "CaFile": the broker's CA for mqtts (default: the system's)
  std::string clientId = "portexd";
  std::string user, password;
  std::string prefix = "portex";  // no trailing '/', no wildcard
  int qos = 1;
  // "HomeAssistant=1": discovery messages under "DiscoveryPrefix".
  bool homeAssistant = false;
  std::string discoveryPrefix = "homeassistant";

  // Reconnect waits, doubling from the first to the last ("ReconnectMinMs",
  // "ReconnectMaxMs": a test shortens them).
  std::chrono::milliseconds reconnectMin{1000}, reconnectMax{30000};
  // Events read from the table in one statement, and published but not
  // yet acknowledged at most.
  int batch = 500;
  int window = 5000;
  std::chrono::milliseconds pollEvery{500};  // read without a storage tick (terminals, replays)

  // [Events] RetentionDays: events stored longer ago are deleted (0 keeps
  // them for ever); never one the stream has not had acknowledged yet.
  int retentionDays = 90;

  bool Enabled() const { return !host.empty(); }

  // Reads both sections; a broker address or prefix that cannot be used
  // switches the stream off with a log line (the rest of the service runs).
  static StreamOptions FromIni(const TIniFile& ini, ILog& log);
  // "mqtt://host:port" or "mqtts://host"; false when it is neither.
  static bool ParseBroker(const std::string& url, std::string& host, int& port, bool& tls);
};

}  // namespace px
