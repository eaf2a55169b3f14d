#include "web/WebOptions.h"

#include "common/StrUtil.h"

namespace px {

namespace {

std::vector<std::string> List(const std::string& text) {
  std::vector<std::string> out;
  std::string item;
  for (char c : text + ",") {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!item.empty()) out.push_back(LowerCase(item));
      item.clear();
    } else {
      item += c;
    }
  }
  return out;
}

}  // namespace

WebOptions WebOptions::FromIni(const TIniFile& ini, ILog& log) {
  WebOptions o;
  long long port = ini.ReadInteger("Web", "Port", 8011);
  if (port < 0 || port > 65535) {
    log.WriteLog(999, "Web: Port " + IntToStr(port) + " is not a port number; web monitor off");
    port = 0;
  }
  o.port = static_cast<int>(port);
  o.bind = Trim(ini.ReadString("Web", "Bind", "127.0.0.1"));
  if (o.bind.empty()) o.bind = "127.0.0.1";
  o.token = Trim(ini.ReadString("Web", "Token", ""));
  o.hosts = List(ini.ReadString("Web", "Hosts", ""));
  o.proxies = List(ini.ReadString("Web", "Proxy", ""));
  return o;
}

}  // namespace px
