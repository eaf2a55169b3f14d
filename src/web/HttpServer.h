#pragma once
#include <httplib.h>

#include <cstddef>

namespace px {

// The HTTP library's server with the limits a server that runs for years
// needs: at most `maxConnections` connections served or waiting (more are
// answered 503 at once by the accepting thread), and at most `maxRequestBytes`
// read per request, so endless header lines cannot grow memory. The
// library's own per-line limit and payload limit stay in force.
class HttpServer : public httplib::Server {
public:
  struct Limits {
    size_t threads = 4;
    size_t maxConnections = 32;
    size_t maxRequestBytes = 16384;
    int readTimeoutSec = 5;
    int keepAliveSec = 2;
    size_t keepAliveRequests = 100;
  };
  explicit HttpServer(const Limits& limits);

private:
  bool process_and_close_socket(socket_t sock) override;
  Limits limits_;
};

}  // namespace px
