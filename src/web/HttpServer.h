#pragma once
#include <httplib.h>

#include <chrono>
#include <cstddef>

namespace px {

// The HTTP library's server with the limits a server that runs for years
// needs, and with every request passing one guard before its route.
//
// - At most `maxConnections` connections served or waiting: more are
//   answered 503 at once by the accepting thread.
// - Budgets for the request line (414), the header lines together (431)
//   and the body (413), and a total deadline for a request (408) and for
//   its answer, so neither endless headers nor a peer that sends a byte now
//   and then holds a worker, or the server's stop.
// - A kept-alive connection that sits idle is let go at once while other
//   connections wait for a worker, so open pages cannot starve /metrics.
// - After an answer of 400 or more, or a request whose body was not read,
//   the connection ends: what follows on it cannot be trusted to start a
//   request (a refused POST's body would be read as the next one).
//
// The library's routing methods are offered as they are; its error and
// pre-routing hooks only through SetErrorPage and SetGuard, which keep the
// rules above.
class HttpServer : private httplib::Server {
public:
  using Handler = httplib::Server::Handler;
  using HandlerResponse = httplib::Server::HandlerResponse;
  using HandlerWithResponse = httplib::Server::HandlerWithResponse;

  struct Limits {
    size_t threads = 4;
    size_t maxConnections = 32;
    size_t maxHeaderBytes = 8192;
    size_t maxBodyBytes = 4096;
    std::chrono::milliseconds waitMax{5000};    // one wait for the peer
    std::chrono::milliseconds deadline{10000};  // a whole request; its answer
    std::chrono::milliseconds keepAlive{2000};  // idle between requests
    size_t keepAliveRequests = 100;
  };
  explicit HttpServer(const Limits& limits);

  // Runs before routing; Handled means the answer is made (its body, when
  // the request has one, is never read).
  void SetGuard(HandlerWithResponse guard);
  // Writes the text of an answer of 400 and above; the status already says
  // which limit a request broke.
  void SetErrorPage(Handler page);

  using httplib::Server::bind_to_any_port;
  using httplib::Server::bind_to_port;
  using httplib::Server::Get;
  using httplib::Server::listen_after_bind;
  using httplib::Server::Post;
  using httplib::Server::set_default_headers;
  using httplib::Server::set_exception_handler;
  using httplib::Server::stop;

private:
  bool process_and_close_socket(socket_t sock) override;
  // Waits for the first byte of the connection's next request; false when
  // the connection is to end instead.
  bool AwaitRequest(class RequestStream& strm, bool fresh) const;
  bool Stopping() const { return svr_sock_ == INVALID_SOCKET; }
  Limits limits_;
};

}  // namespace px
