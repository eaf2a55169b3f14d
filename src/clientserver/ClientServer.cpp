#include "clientserver/ClientServer.h"

#include <vector>

#include "clientserver/ClientConnection.h"
#include "common/StrUtil.h"
#include "common/Counters.h"

namespace px {

TClientServer::TClientServer(asio::io_context& io, ILog& log, IClientProtocol& protocol, ClientServerOptions options)
    : io_(io),
      log_(log),
      protocol_(protocol),
      options_(std::move(options)),
      acceptor_(io),
      retryTimer_(io),
      idleTimer_(io) {}

TClientServer::~TClientServer() { Close(); }

std::chrono::steady_clock::time_point TClientServer::Now() const {
  return options_.now ? options_.now() : std::chrono::steady_clock::now();
}

bool TClientServer::Open(int port) {
  Close();
  try {
    asio::ip::tcp::endpoint ep(asio::ip::make_address(options_.bindAddress), static_cast<unsigned short>(port));
    acceptor_.open(ep.protocol());
    acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor_.bind(ep);
    acceptor_.listen(asio::socket_base::max_listen_connections);
  } catch (const std::exception& e) {
    std::error_code ec;
    acceptor_.close(ec);
    std::string msg = "Client server cannot listen on port " + IntToStr(port) + ": " + e.what();
    auto now = Now();
    if (msg != lastListenError_ || now - lastListenErrorAt_ >= std::chrono::minutes(1)) {
      log_.WriteLog(999, msg);
      lastListenError_ = msg;
      lastListenErrorAt_ = now;
    }
    return false;
  }
  if (!lastListenError_.empty()) {
    log_.WriteLog(999, "Client server listening on port " + IntToStr(port));
    lastListenError_.clear();
  }
  Accept();
  ArmSweep();
  return true;
}

void TClientServer::Close() {
  std::error_code ec;
  acceptor_.close(ec);
  retryTimer_.cancel();
  idleTimer_.cancel();
  auto open = std::move(connections_);
  connections_.clear();
  Counters().clientOpen.fetch_sub(static_cast<std::int64_t>(open.size()));
  for (auto& [_, c] : open) c->Close();
  perHost_.clear();
}

void TClientServer::Forget(TClientConnection* c) {
  // Only a connection still counted is taken off its host's count.
  if (connections_.erase(c) == 0) return;
  Counters().clientOpen.fetch_sub(1);
  auto it = perHost_.find(c->RemoteAddress());
  if (it != perHost_.end() && --it->second == 0) perHost_.erase(it);
}

void TClientServer::Refuse(asio::ip::tcp::socket& socket, const std::string& remote, const std::string& why) {
  std::error_code ec;
  socket.close(ec);
  ++refused_;
  lastRefusal_ = remote + ": " + why;
  ReportRefusals();
}

void TClientServer::ReportRefusals() {
  if (refused_ == 0) return;
  auto now = Now();
  if (refusalReported_ && now - lastRefusalReport_ < std::chrono::minutes(1)) return;
  log_.WriteLog(999, "Client connections refused: " + IntToStr(static_cast<long long>(refused_)) + " (last from " +
                         lastRefusal_ + ")");
  refused_ = 0;
  refusalReported_ = true;
  lastRefusalReport_ = now;
}

bool TClientServer::Active() const { return acceptor_.is_open(); }

int TClientServer::Port() const {
  std::error_code ec;
  if (!acceptor_.is_open()) return 0;
  auto ep = acceptor_.local_endpoint(ec);
  return ec ? 0 : ep.port();
}

void TClientServer::Accept() {
  std::weak_ptr<int> alive = alive_;
  acceptor_.async_accept([this, alive](const std::error_code& ec, asio::ip::tcp::socket socket) {
    if (alive.expired()) return;
    OnAccept(ec, std::move(socket));
  });
}

void TClientServer::OnAccept(const std::error_code& ec, asio::ip::tcp::socket socket) {
  if (!acceptor_.is_open() || ec == asio::error::operation_aborted) return;
  if (ec) {
    // Out of descriptors and the like: try again shortly instead of spinning.
    log_.WriteLog(999, "Server socket error managed: (" + IntToStr(ec.value()) + ")");
    std::weak_ptr<int> alive = alive_;
    retryTimer_.expires_after(std::chrono::milliseconds(100));
    retryTimer_.async_wait([this, alive](const std::error_code& e) {
      if (!e && !alive.expired() && acceptor_.is_open()) Accept();
    });
    return;
  }
  std::error_code e2;
  auto ep = socket.remote_endpoint(e2);
  asio::ip::address addr = ep.address();
  if (addr.is_v6() && addr.to_v6().is_v4_mapped()) addr = asio::ip::make_address_v4(asio::ip::v4_mapped, addr.to_v6());
  std::string remote = e2 ? std::string() : addr.to_string();
  auto host = perHost_.find(remote);
  size_t fromHost = host == perHost_.end() ? 0 : host->second;
  if (connections_.size() >= options_.maxConnections) {
    Refuse(socket, remote, IntToStr(static_cast<long long>(options_.maxConnections)) + " connections open");
  } else if (fromHost >= options_.maxPerHost) {
    Refuse(socket, remote, IntToStr(static_cast<long long>(fromHost)) + " connections from that address");
  } else {
    auto c = std::make_shared<TClientConnection>(std::move(socket), *this, remote);
    connections_.emplace(c.get(), c);
    ProcessCounters::Add(Counters().clientConnections);
    Counters().clientOpen.fetch_add(1);
    ++perHost_[remote];
    c->Start();
  }
  Accept();
}

void TClientServer::ArmSweep() {
  std::chrono::milliseconds every = std::chrono::seconds(30);
  if (options_.idleTimeout.count() > 0) every = std::min(options_.idleTimeout / 2, every);
  if (every.count() <= 0) every = std::chrono::milliseconds(1);
  std::weak_ptr<int> alive = alive_;
  idleTimer_.expires_after(every);
  idleTimer_.async_wait([this, alive](const std::error_code& ec) {
    if (ec || alive.expired() || !acceptor_.is_open()) return;
    CloseIdle();
    ReportRefusals();
    ArmSweep();
  });
}

void TClientServer::CloseIdle() {
  if (options_.idleTimeout.count() <= 0) return;
  auto now = Now();
  std::vector<std::shared_ptr<TClientConnection>> idle;
  for (auto& [_, c] : connections_)
    if (now - c->LastActivity() > options_.idleTimeout) idle.push_back(c);
  for (auto& c : idle) {
    log_.WriteLog(10, "Client " + c->RemoteAddress() + " idle: connection closed");
    c->Close();
  }
}

}  // namespace px
