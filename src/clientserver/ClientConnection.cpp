#include "clientserver/ClientConnection.h"

#include <asio/write.hpp>

#include "clientserver/ClientServer.h"
#include "clientserver/ClientWire.h"
#include "common/StrUtil.h"
#include "common/Counters.h"

namespace px {

TClientConnection::TClientConnection(asio::ip::tcp::socket socket, TClientServer& server, std::string remote)
    : socket_(std::move(socket)),
      server_(server),
      remote_(std::move(remote)),
      // One byte more than allowed, so an oversized read shows itself.
      buffer_(server.options_.maxReadBytes + 1),
      lastActivity_(server.Now()) {}

void TClientConnection::Start() {
  std::error_code ec;
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
  // Replies are written at once; only what the peer does not take waits.
  socket_.non_blocking(true, ec);
  ReadNext();
}

void TClientConnection::ReadNext() {
  socket_.async_read_some(asio::buffer(buffer_),
                          [self = shared_from_this()](const std::error_code& ec, size_t n) { self->OnRead(ec, n); });
}

void TClientConnection::OnRead(const std::error_code& ec, size_t n) {
  if (closed_) return;
  if (ec) {
    if (ec != asio::error::eof && ec != asio::error::operation_aborted) SocketError(ec);
    else Close();
    return;
  }
  lastActivity_ = server_.Now();
  if (n > server_.options_.maxReadBytes) {
    server_.log_.WriteLog(999, "Client request over " + IntToStr(static_cast<long long>(server_.options_.maxReadBytes)) +
                                   " bytes from " + remote_ + ": connection closed");
    Close();
    return;
  }
  // Whatever arrived in this read is one request.
  std::string request = ScrambleClientText(std::string_view(buffer_.data(), n));
  ProcessCounters::Add(Counters().clientRequests);
  std::string reply = server_.protocol_.ReplyToClientQuery(request, remote_);
  if (closed_) return;  // the server closed while the request was answered
  if (!reply.empty()) Send(ScrambleClientText(reply));
  if (!closed_) ReadNext();
}

void TClientConnection::Send(std::string bytes) {
  // The limit is on what the peer has not taken of earlier replies: one
  // reply may be larger (a card upload of 99,999 cards is about 2 MiB), and
  // it has already left the reply store, so refusing it would lose it.
  if (pendingBytes_ > server_.options_.maxPendingWriteBytes) {
    server_.log_.WriteLog(999, "Client " + remote_ + " does not take its replies: connection closed");
    Close();
    return;
  }
  if (pending_.empty()) {
    std::error_code ec;
    size_t n = socket_.write_some(asio::buffer(bytes), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
      n = 0;
      ec.clear();
    }
    if (ec) {
      SocketError(ec);
      return;
    }
    if (n == bytes.size()) return;
    bytes.erase(0, n);
  }
  pendingBytes_ += bytes.size();
  pending_.push_back(std::move(bytes));
  WriteQueued();
}

void TClientConnection::WriteQueued() {
  if (writing_ || pending_.empty() || closed_) return;
  writing_ = true;
  asio::async_write(socket_, asio::buffer(pending_.front()),
                    [self = shared_from_this()](const std::error_code& ec, size_t) {
                      self->writing_ = false;
                      if (self->closed_) return;
                      if (ec) {
                        self->SocketError(ec);
                        return;
                      }
                      self->pendingBytes_ -= self->pending_.front().size();
                      self->pending_.pop_front();
                      self->WriteQueued();
                    });
}

void TClientConnection::SocketError(const std::error_code& ec) {
  server_.log_.WriteLog(999, "Server socket error managed: (" + IntToStr(ec.value()) + ")");
  Close();
}

void TClientConnection::Close() {
  if (closed_) return;
  closed_ = true;
  std::error_code ec;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket_.close(ec);
  pending_.clear();
  pendingBytes_ = 0;
  // The handler that called us holds its own reference, so this is safe.
  server_.Forget(this);
}

}  // namespace px
