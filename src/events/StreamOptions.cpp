#include "events/StreamOptions.h"

#include <algorithm>

#include "common/StrUtil.h"

namespace px {

bool StreamOptions::ParseBroker(const std::string& url, std::string& host, int& port, bool& tls) {
  std::string rest;
  if (StartsWith(LowerCase(url), "mqtt://")) {
    tls = false;
    rest = url.substr(7);
  } else if (StartsWith(LowerCase(url), "mqtts://")) {
    tls = true;
    rest = url.substr(8);
  } else {
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  port = tls ? 8883 : 1883;
  std::string portText;
  bool hasPort = false;
  if (!rest.empty() && rest.front() == '[') {  // [::1]:1883
    const size_t close = rest.find(']');
    if (close == std::string::npos) return false;
    host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return false;
      hasPort = true;
      portText = rest.substr(close + 2);
    }
  } else {
    const size_t colon = rest.rfind(':');
    host = rest.substr(0, colon);
    hasPort = colon != std::string::npos;
    if (hasPort) portText = rest.substr(colon + 1);
  }
  if (host.empty() || host.find_first_of("/@ ") != std::string::npos) return false;
  if (hasPort) {
    long long p = 0;
    if (!TryStrToInt(portText, p) || p < 1 || p > 65535) return false;
    port = static_cast<int>(p);
  }
  return true;
}

StreamOptions StreamOptions::FromIni(const TIniFile& ini, ILog& log) {
  StreamOptions o;
  o.retentionDays = static_cast<int>(std::max(0LL, ini.ReadInteger("Events", "RetentionDays", 90)));
  o.broker = Trim(ini.ReadString("Mqtt", "Broker", ""));
  o.clientId = Trim(ini.ReadString("Mqtt", "ClientId", "portexd"));
  if (o.clientId.empty()) o.clientId = "portexd";
  o.user = ini.ReadString("Mqtt", "User", "");
  o.password = ini.ReadString("Mqtt", "Password", "");
  o.caFile = Trim(ini.ReadString("Mqtt", "CaFile", ""));
  o.homeAssistant = ini.ReadBool("Mqtt", "HomeAssistant", false);
  o.discoveryPrefix = Trim(ini.ReadString("Mqtt", "DiscoveryPrefix", "homeassistant"));
  const long long qos = ini.ReadInteger("Mqtt", "Qos", 1);
  o.qos = qos >= 0 && qos <= 2 ? static_cast<int>(qos) : 1;
  if (qos != o.qos) log.WriteLog(999, "Mqtt: Qos " + IntToStr(qos) + " is not 0, 1 or 2; 1 is used");
  auto ms = [&](const char* key, long long def, long long least) {
    return std::chrono::milliseconds(std::max(least, ini.ReadInteger("Mqtt", key, def)));
  };
  o.reconnectMin = ms("ReconnectMinMs", 1000, 10);
  o.reconnectMax = std::max(o.reconnectMin, ms("ReconnectMaxMs", 30000, 10));
  o.prefix = Trim(ini.ReadString("Mqtt", "Prefix", "portex"));
  while (!o.prefix.empty() && o.prefix.back() == '/') o.prefix.pop_back();
  if (o.broker.empty()) return o;
  auto off = [&](const std::string& why) {
    log.WriteLog(999, "Mqtt: " + why + "; event stream off");
    o.host.clear();
    return o;
  };
  if (!ParseBroker(o.broker, o.host, o.port, o.tls))
    return off("Broker \"" + o.broker + "\" is not mqtt://host[:port] or mqtts://host[:port]");
  // The prefix is the installer's: wildcards or NUL would make every topic
  // invalid, and an empty one would start topics with '/'.
  if (o.prefix.empty() || o.prefix.find_first_of(std::string("+#\0", 3)) != std::string::npos)
    return off("Prefix \"" + o.prefix + "\" is empty or holds '+', '#' or NUL");
  if (o.homeAssistant && (o.discoveryPrefix.empty() || o.discoveryPrefix.find_first_of("+#") != std::string::npos))
    return off("DiscoveryPrefix \"" + o.discoveryPrefix + "\" is empty or holds '+' or '#'");
  return o;
}

}  // namespace px
