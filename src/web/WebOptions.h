#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "common/Log.h"
#include "platform/IniFile.h"

namespace px {

// Section "Web" of the configuration, plus the limits the server keeps.
struct WebOptions {
  int port = 8011;  // 0 switches the web monitor off
  std::string bind = "127.0.0.1";
  std::string token;  // empty: no sign-in needed
  // Host names the monitor is also reached by (a reverse proxy's name);
  // an entry with ":port" matches that port only.
  std::vector<std::string> hosts;
  // Addresses of reverse proxies whose X-Forwarded-Proto and
  // X-Forwarded-For are believed.
  std::vector<std::string> proxies;
  bool anyPort = false;  // tests: listen on a free port chosen by the system

  int threads = 4;                  // requests served at the same time
  size_t maxConnections = 32;       // served plus waiting; more are refused at once
  size_t maxHeaderBytes = 8192;     // all header lines of a request together
  size_t maxBodyBytes = 4096;       // the only bodies are the sign-in form and button presses
  int readTimeoutSec = 5;           // one wait for a client that stops sending
  int requestDeadlineSec = 10;      // a whole request, however slowly it comes; its answer
  int keepAliveSec = 2;             // an idle kept-alive connection holds a thread
  int sessionSec = 8 * 3600;        // a sign-in lasts a working day
  int signInFailures = 5;           // failed sign-ins a minute per address before 429

  // Reads "Port", "Bind", "Token", "Hosts" and "Proxy" (lists separated by
  // commas or blanks); a port outside 0..65535 switches the monitor off
  // with a log line.
  static WebOptions FromIni(const TIniFile& ini, ILog& log);
};

}  // namespace px
