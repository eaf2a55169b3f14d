#include "clientserver/WireClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "clientserver/ClientWire.h"

namespace px {

namespace {
using Steady = std::chrono::steady_clock;
int MsLeft(Steady::time_point until) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - Steady::now()).count();
  return ms < 0 ? 0 : static_cast<int>(ms);
}
}  // namespace

TWireClient::~TWireClient() { Close(); }

void TWireClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

TWireClient::Result TWireClient::Connect(const std::string& host, int port, int timeoutMs) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
  if (rc != 0 || !res) {
    error_ = std::string("cannot resolve ") + host + ": " + gai_strerror(rc);
    return Result::Error;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error_ = std::strerror(errno);
    freeaddrinfo(res);
    return Result::Error;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  rc = ::connect(fd, res->ai_addr, res->ai_addrlen);
  freeaddrinfo(res);
  if (rc != 0 && errno != EINPROGRESS) {
    int err = errno;
    ::close(fd);
    error_ = std::strerror(err);
    return err == ECONNREFUSED ? Result::Refused : Result::Error;
  }
  if (rc != 0) {
    pollfd p{fd, POLLOUT, 0};
    rc = ::poll(&p, 1, timeoutMs);
    if (rc == 0) {
      ::close(fd);
      error_ = "connection timed out";
      return Result::TimedOut;
    }
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (rc < 0 || err != 0) {
      ::close(fd);
      error_ = std::strerror(err ? err : errno);
      return err == ECONNREFUSED ? Result::Refused : Result::Error;
    }
  }
  fcntl(fd, F_SETFL, flags);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fd_ = fd;
  return Result::Ok;
}

TWireClient::Result TWireClient::Send(const std::string& request) {
  if (fd_ < 0) return Result::Closed;
  std::string wire = ScrambleClientText(request);
  size_t off = 0;
  while (off < wire.size()) {
    ssize_t n = ::send(fd_, wire.data() + off, wire.size() - off, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = std::strerror(errno);
      return errno == EPIPE || errno == ECONNRESET ? Result::Closed : Result::Error;
    }
    off += static_cast<size_t>(n);
  }
  return Result::Ok;
}

TWireClient::Result TWireClient::Receive(std::string& reply, int timeoutMs) {
  reply.clear();
  if (fd_ < 0) return Result::Closed;
  std::string wire;
  auto until = Steady::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    // Scrambling keeps CR where it was, so the end shows on the wire too.
    if (!wire.empty() && (wire.back() == kCR || ScrambleClientText(wire) == "XXRE")) break;
    pollfd p{fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, MsLeft(until));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) {
      reply = ScrambleClientText(wire);
      error_ = "no complete reply in time";
      return Result::TimedOut;
    }
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      reply = ScrambleClientText(wire);
      error_ = n == 0 ? "connection closed by the server" : std::strerror(errno);
      return Result::Closed;
    }
    wire.append(buf, static_cast<size_t>(n));
  }
  reply = ScrambleClientText(wire);
  return Result::Ok;
}

TWireClient::Result TWireClient::Exchange(const std::string& request, std::string& reply, int timeoutMs) {
  Result r = Send(request);
  if (r != Result::Ok) return r;
  return Receive(reply, timeoutMs);
}

std::string TWireClient::LocalAddress() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
  return buf;
}

}  // namespace px
