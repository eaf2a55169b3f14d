#include "platform/ClientSocket.h"

#include <array>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <deque>
#include <system_error>

namespace px {

// Everything the completions of the asio socket touch. Completions hold it
// alive (their buffers live here) and check the generation: Close and every
// new Open start a new one, so a completion of an older connection is
// ignored. `owner` is cleared when the component goes away.
struct TClientSocket::State {
  explicit State(asio::io_context& ctx) : sock(ctx), resolver(ctx) {}
  enum class Phase { Closed, Connecting, Connected };
  asio::ip::tcp::socket sock;
  asio::ip::tcp::resolver resolver;
  TClientSocket* owner = nullptr;
  unsigned long gen = 0;
  Phase phase = Phase::Closed;
  std::string rx;
  std::deque<std::string> tx;
  bool writing = false;
  std::array<char, 4096> buf{};
};

TClientSocket::TClientSocket(EventLoop& loop) : loop_(loop), st_(std::make_shared<State>(loop.Context())) {
  st_->owner = this;
}

TClientSocket::~TClientSocket() {
  st_->owner = nullptr;
  CloseState(*st_);
}

void TClientSocket::CloseState(State& st) {
  ++st.gen;
  st.phase = State::Phase::Closed;
  st.resolver.cancel();
  std::error_code ec;
  st.sock.close(ec);
  st.tx.clear();
  st.writing = false;
}

void TClientSocket::Open() {
  if (st_->phase != State::Phase::Closed) CloseState(*st_);
  st_->rx.clear();
  lastError_ = 0;
  const unsigned long gen = ++st_->gen;
  st_->phase = State::Phase::Connecting;
  auto st = st_;
  const auto port = static_cast<unsigned short>(Port);
  std::error_code ec;
  asio::ip::address addr = asio::ip::make_address(Address.empty() ? Host : Address, ec);
  if (!ec) {
    st->sock.async_connect(asio::ip::tcp::endpoint(addr, port),
                           [st, gen](const std::error_code& e) { ConnectDone(st, gen, e); });
    return;
  }
  if (!Host.empty() && Address.empty()) {
    st->resolver.async_resolve(
        Host, std::to_string(port),
        [st, gen](const std::error_code& e, const asio::ip::tcp::resolver::results_type& results) {
          if (st->gen != gen || !st->owner) return;
          if (e) {
            Fail(st, TErrorEvent::eeLookup, e);
            return;
          }
          asio::async_connect(st->sock, results, [st, gen](const std::error_code& e2, const asio::ip::tcp::endpoint&) {
            ConnectDone(st, gen, e2);
          });
        });
    return;
  }
  // Not an address and no host name: reported like a failed look-up, as an
  // event, so the caller sees the same sequence as for any other failure.
  asio::post(loop_.Context(), [st, gen] {
    if (st->gen != gen || !st->owner) return;
    Fail(st, TErrorEvent::eeLookup, std::make_error_code(std::errc::invalid_argument));
  });
}

void TClientSocket::ConnectDone(const std::shared_ptr<State>& st, unsigned long gen, const std::error_code& ec) {
  if (st->gen != gen || !st->owner) return;
  if (ec) {
    Fail(st, TErrorEvent::eeConnect, ec);
    return;
  }
  st->phase = State::Phase::Connected;
  std::error_code ignored;
  // Polls are a few bytes each and wait for their answer: never hold them back.
  st->sock.set_option(asio::ip::tcp::no_delay(true), ignored);
  StartRead(st);
  if (!st->tx.empty()) StartWrite(st);
  TClientSocket* self = st->owner;
  // A copy runs, so the handler may destroy the socket it belongs to.
  if (auto fn = self->OnConnect) fn(*self);
}

void TClientSocket::StartRead(const std::shared_ptr<State>& st) {
  const unsigned long gen = st->gen;
  st->sock.async_read_some(asio::buffer(st->buf), [st, gen](const std::error_code& ec, size_t n) {
    if (st->gen != gen || !st->owner) return;
    if (ec == asio::error::eof) {
      PeerClosed(st);
      return;
    }
    if (ec) {
      Fail(st, TErrorEvent::eeReceive, ec);
      return;
    }
    st->rx.append(st->buf.data(), n);
    TClientSocket* self = st->owner;
    if (auto fn = self->OnRead) fn(*self);
    // The handler may have closed, reopened or destroyed the socket.
    if (st->gen == gen && st->owner) StartRead(st);
  });
}

void TClientSocket::StartWrite(const std::shared_ptr<State>& st) {
  if (st->writing || st->tx.empty() || st->phase != State::Phase::Connected) return;
  st->writing = true;
  const unsigned long gen = st->gen;
  asio::async_write(st->sock, asio::buffer(st->tx.front()), [st, gen](const std::error_code& ec, size_t) {
    if (st->gen != gen || !st->owner) return;
    st->writing = false;
    if (ec) {
      Fail(st, TErrorEvent::eeSend, ec);
      return;
    }
    st->tx.pop_front();
    StartWrite(st);
  });
}

void TClientSocket::PeerClosed(const std::shared_ptr<State>& st) {
  CloseState(*st);
  TClientSocket* self = st->owner;
  if (auto fn = self->OnDisconnect) fn(*self);
}

void TClientSocket::Fail(const std::shared_ptr<State>& st, TErrorEvent ev, const std::error_code& ec) {
  const bool wasConnected = st->phase == State::Phase::Connected;
  CloseState(*st);
  const unsigned long gen = st->gen;
  TClientSocket* self = st->owner;
  int code = ec.value() != 0 ? ec.value() : -1;
  if (auto fn = self->OnError) fn(*self, ev, code);
  if (!st->owner) return;
  self->lastError_ = code;
  // A connection that was up has now gone down, unless the handler has
  // already opened a new one.
  if (wasConnected && st->gen == gen)
    if (auto fn = self->OnDisconnect) fn(*self);
}

void TClientSocket::Close() {
  if (st_->phase == State::Phase::Closed) return;
  CloseState(*st_);
}

bool TClientSocket::Active() const { return st_->phase != State::Phase::Closed; }
bool TClientSocket::Connected() const { return st_->phase == State::Phase::Connected; }

int TClientSocket::SendText(std::string_view bytes) {
  if (st_->phase != State::Phase::Connected || bytes.empty()) return 0;
  st_->tx.emplace_back(bytes);
  StartWrite(st_);
  return static_cast<int>(bytes.size());
}

std::string TClientSocket::ReceiveText() {
  std::string out;
  out.swap(st_->rx);
  return out;
}

size_t TClientSocket::ReceiveLength() const { return st_->rx.size(); }

std::string TClientSocket::ErrorText(int code) { return std::system_category().message(code); }

}  // namespace px
