#pragma once
#include <string>
#include <vector>

#include "common/Log.h"
#include "platform/IniFile.h"

namespace px {

// One caller of the REST API: its name (the operator in the audit trail),
// its secret and whether it may send commands.
struct ApiToken {
  std::string name;
  std::string secret;
  bool command = false;
};

// Section "Api" of the configuration: one key per token, NAME=SECRET:SCOPE,
// the scope "read" or "read,command". The web monitor's token, when set,
// reads too (never commands).
struct ApiOptions {
  // Shorter secrets are refused: they could be guessed over the network.
  static constexpr size_t kMinSecret = 16;

  std::vector<ApiToken> tokens;
  std::string webToken;
  // Calls a token may make a minute on average, with bursts of a tenth of
  // that ([Web] ApiCallsPerMinute).
  int callsPerMinute = 600;

  // Entries that cannot be used are logged (never with their secret) and
  // left out: a malformed entry, a short secret, an unknown scope, or a
  // secret another entry or the web monitor already has.
  static ApiOptions FromIni(const TIniFile& ini, ILog& log);
};

}  // namespace px
