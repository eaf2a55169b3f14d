#include "web/ApiOptions.h"

#include <algorithm>

#include "common/StrUtil.h"

namespace px {

namespace {

// "read" or "read,command" (in any order, blanks allowed); false for
// anything else.
bool ParseScope(const std::string& text, bool& command) {
  bool read = false;
  command = false;
  std::string item;
  for (char c : text + ",") {
    if (c != ',') {
      item += c;
      continue;
    }
    const std::string s = LowerCase(Trim(item));
    item.clear();
    if (s == "read") read = true;
    else if (s == "command") command = true;
    else return false;
  }
  return read;
}

}  // namespace

ApiOptions ApiOptions::FromIni(const TIniFile& ini, ILog& log) {
  ApiOptions o;
  o.webToken = Trim(ini.ReadString("Web", "Token", ""));
  const long long rate = ini.ReadInteger("Web", "ApiCallsPerMinute", o.callsPerMinute);
  o.callsPerMinute = static_cast<int>(std::clamp<long long>(rate, 1, 1000000));
  for (const std::string& name : ini.ReadSection("Api")) {
    const std::string value = ini.ReadString("Api", name, "");
    const size_t colon = value.rfind(':');
    ApiToken t;
    t.name = name;
    std::string why;
    if (colon == std::string::npos) why = "not SECRET:SCOPE";
    else if ((t.secret = Trim(value.substr(0, colon))).size() < kMinSecret)
      why = "its secret is shorter than " + std::to_string(kMinSecret) + " characters";
    else if (!ParseScope(value.substr(colon + 1), t.command)) why = "its scope is not read or read,command";
    // The monitor's token reaches the page and its sign-in form: it must
    // never be what lets a caller command.
    if (why.empty() && !o.webToken.empty() && t.secret == o.webToken) why = "its secret is the web monitor's token";
    for (const auto& other : o.tokens)
      if (why.empty() && other.secret == t.secret) why = "its secret is that of " + other.name;
    if (!why.empty()) {
      log.WriteLog(999, "Api: token " + name + " not used: " + why);
      continue;
    }
    o.tokens.push_back(std::move(t));
  }
  return o;
}

}  // namespace px
