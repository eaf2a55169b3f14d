#include "web/RequestStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace px {

namespace {

// A wait is cut into slices this long so that a stop is seen soon.
constexpr int kSliceMs = 100;

void Name(int (*get)(int, sockaddr*, socklen_t*), int sock, std::string& ip, int& port) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  ip.clear();
  port = 0;
  if (get(sock, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
  char buf[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET) {
    auto* s = reinterpret_cast<sockaddr_in*>(&a);
    inet_ntop(AF_INET, &s->sin_addr, buf, sizeof buf);
    port = ntohs(s->sin_port);
  } else if (a.ss_family == AF_INET6) {
    auto* s = reinterpret_cast<sockaddr_in6*>(&a);
    inet_ntop(AF_INET6, &s->sin6_addr, buf, sizeof buf);
    port = ntohs(s->sin6_port);
  }
  ip = buf;
}

}  // namespace

RequestStream::RequestStream(int sock, const Limits& limits, std::function<bool()> stopping)
    : sock_(sock), limits_(limits), stopping_(std::move(stopping)) {
  NewRequest();
}

void RequestStream::NewRequest() {
  part_ = Part::RequestLine;
  lineBytes_ = headerBytes_ = bodyBytes_ = 0;
  last_ = 0;
  exceeded_ = Exceeded::None;
  readDeadline_ = Clock::now() + limits_.deadline;
  writing_ = false;
  written_ = 0;
}

int RequestStream::StatusFor(Exceeded e) {
  switch (e) {
    case Exceeded::RequestLine: return 414;
    case Exceeded::Headers: return 431;
    case Exceeded::Body: return 413;
    case Exceeded::Deadline: return 408;
    case Exceeded::None: break;
  }
  return 0;
}

bool RequestStream::Wait(short events, Clock::time_point deadline) const {
  const auto end = std::min(deadline, Clock::now() + limits_.waitMax);
  for (;;) {
    const auto now = Clock::now();
    if (now >= end || (stopping_ && stopping_())) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
    pollfd p{sock_, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left + 1, kSliceMs)));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

bool RequestStream::WaitReadable(int ms) const {
  if (HasBuffered()) return true;
  pollfd p{sock_, POLLIN, 0};
  int r;
  do r = ::poll(&p, 1, ms);
  while (r < 0 && errno == EINTR);
  return r > 0;
}

bool RequestStream::is_readable() const {
  return HasBuffered() || (exceeded_ == Exceeded::None && Wait(POLLIN, readDeadline_));
}

bool RequestStream::is_writable() const {
  return Wait(POLLOUT, writing_ ? writeDeadline_ : Clock::now() + limits_.deadline);
}

size_t RequestStream::Admit(const char* p, size_t n) {
  size_t i = 0;
  for (; i < n; ++i) {
    if (part_ == Part::Body) {
      const size_t room = limits_.maxBodyBytes - std::min(bodyBytes_, limits_.maxBodyBytes);
      const size_t take = std::min(room, n - i);
      bodyBytes_ += take;
      i += take;
      if (i < n) exceeded_ = Exceeded::Body;
      break;
    }
    const bool inLine = part_ == Part::RequestLine;
    if (inLine ? lineBytes_ + 1 > limits_.maxRequestLine : headerBytes_ + 1 > limits_.maxHeaderBytes) {
      exceeded_ = inLine ? Exceeded::RequestLine : Exceeded::Headers;
      break;
    }
    const char c = p[i];
    ++lineBytes_;
    if (!inLine) ++headerBytes_;
    if (c == '\n') {
      // Only CR LF alone ends the head, as the library reads it.
      if (inLine) part_ = Part::Headers;
      else if (lineBytes_ == 2 && last_ == '\r') part_ = Part::Body;
      lineBytes_ = 0;
    }
    last_ = c;
  }
  return i;
}

ssize_t RequestStream::read(char* ptr, size_t size) {
  if (exceeded_ != Exceeded::None) return -1;
  if (!HasBuffered()) {
    if (Clock::now() >= readDeadline_) {
      exceeded_ = Exceeded::Deadline;
      return -1;
    }
    if (!Wait(POLLIN, readDeadline_)) {
      if (Clock::now() >= readDeadline_) exceeded_ = Exceeded::Deadline;
      return -1;
    }
    buf_.resize(4096);
    ssize_t n;
    do n = ::recv(sock_, buf_.data(), buf_.size(), 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
      buf_.clear();
      pos_ = 0;
      return n;
    }
    buf_.resize(static_cast<size_t>(n));
    pos_ = 0;
  }
  const size_t n = Admit(buf_.data() + pos_, std::min(size, buf_.size() - pos_));
  if (n == 0) return -1;
  std::memcpy(ptr, buf_.data() + pos_, n);
  pos_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t RequestStream::write(const char* ptr, size_t size) {
  if (!writing_) {
    // The answer has a deadline of its own: a request that came slowly
    // still gets its answer, and a peer that reads slowly cannot hold on.
    writing_ = true;
    writeDeadline_ = Clock::now() + limits_.deadline;
  }
  if (!Wait(POLLOUT, writeDeadline_)) return -1;
  ssize_t n;
  do n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n > 0) written_ += static_cast<size_t>(n);
  return n;
}

void RequestStream::get_remote_ip_and_port(std::string& ip, int& port) const { Name(::getpeername, sock_, ip, port); }
void RequestStream::get_local_ip_and_port(std::string& ip, int& port) const { Name(::getsockname, sock_, ip, port); }

}  // namespace px
