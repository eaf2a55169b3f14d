#pragma once
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace px {

class TClientServer;

// One client connection. It owns its socket and lives as long as an
// operation on it is pending (shared ownership with its handlers); the
// server only holds it while it is open. Loop thread only.
class TClientConnection : public std::enable_shared_from_this<TClientConnection> {
public:
  TClientConnection(asio::ip::tcp::socket socket, TClientServer& server, std::string remote);
  TClientConnection(const TClientConnection&) = delete;
  TClientConnection& operator=(const TClientConnection&) = delete;

  void Start();
  // Closes the socket and leaves the server; handlers still pending find
  // the connection closed and stop. Safe to call more than once.
  void Close();
  bool Closed() const { return closed_; }
  const std::string& RemoteAddress() const { return remote_; }
  std::chrono::steady_clock::time_point LastActivity() const { return lastActivity_; }
  size_t PendingWriteBytes() const { return pendingBytes_; }

private:
  void ReadNext();
  void OnRead(const std::error_code& ec, size_t n);
  void Send(std::string bytes);
  void WriteQueued();
  void SocketError(const std::error_code& ec);

  asio::ip::tcp::socket socket_;
  TClientServer& server_;
  std::string remote_;
  std::vector<char> buffer_;
  std::deque<std::string> pending_;  // bytes the peer has not taken yet
  size_t pendingBytes_ = 0;
  bool writing_ = false;
  bool closed_ = false;
  std::chrono::steady_clock::time_point lastActivity_;
};

}  // namespace px
