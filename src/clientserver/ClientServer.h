#pragma once
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "clientserver/ClientApi.h"
#include "common/Log.h"
#include "common/Counters.h"

namespace px {

class TClientConnection;

// Limits that keep one misbehaving client from hurting the others.
struct ClientServerOptions {
  std::string bindAddress = "0.0.0.0";
  size_t maxConnections = 256;            // more are accepted and closed at once
  size_t maxPerHost = 32;                 // from one remote address, likewise
  size_t maxReadBytes = 64 * 1024;        // a larger read closes the connection
  size_t maxPendingWriteBytes = 1 << 20;  // earlier replies a client has not taken
  std::chrono::milliseconds idleTimeout{10 * 60 * 1000};  // 0: never
  // Monotonic time for the idle check; tests inject their own.
  std::function<std::chrono::steady_clock::time_point()> now;
};

// The listening socket for client programs. Each read on a connection is
// one request: it is unscrambled, answered by the request protocol and the
// reply is scrambled and sent back on the same connection. Everything runs
// on the loop thread that runs `io`.
class TClientServer : public IClientListener {
public:
  TClientServer(asio::io_context& io, ILog& log, IClientProtocol& protocol, ClientServerOptions options = {});
  ~TClientServer() override;

  bool Open(int port) override;
  void Close() override;
  bool Active() const override;

  // The bound port (useful after Open(0)); 0 when closed.
  int Port() const;
  size_t ConnectionCount() const { return connections_.size(); }
  // Closes the connections idle for longer than the idle time-out.
  void CloseIdle();
  // Logs the refusals counted since the last report once a minute has
  // passed (the sweep timer calls it too, so a burst is never left unsaid).
  void ReportRefusals();

private:
  friend class TClientConnection;
  std::chrono::steady_clock::time_point Now() const;
  void Accept();
  void OnAccept(const std::error_code& ec, asio::ip::tcp::socket socket);
  void ArmSweep();
  void Forget(TClientConnection* c);
  void Refuse(asio::ip::tcp::socket& socket, const std::string& remote, const std::string& why);

  asio::io_context& io_;
  ILog& log_;
  IClientProtocol& protocol_;
  ClientServerOptions options_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retryTimer_, idleTimer_;
  std::unordered_map<TClientConnection*, std::shared_ptr<TClientConnection>> connections_;
  std::unordered_map<std::string, size_t> perHost_;  // open connections by remote address
  // Refusals are reported once a minute with their count, not one line each.
  size_t refused_ = 0;
  std::string lastRefusal_;
  std::chrono::steady_clock::time_point lastRefusalReport_{};
  bool refusalReported_ = false;
  // A listen that keeps failing (retried on every service tick) is logged
  // when its reason changes and otherwise once a minute.
  std::string lastListenError_;
  std::chrono::steady_clock::time_point lastListenErrorAt_{};
  // Expires with the server, so late accept and timer handlers can tell.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace px
