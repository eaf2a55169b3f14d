#include "kx6kssim/KX6KSSim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace px::sim {

KX6KSSim::KX6KSSim(std::string address, int port) : address_(std::move(address)), port_(port) {}

KX6KSSim::~KX6KSSim() { Stop(); }

bool KX6KSSim::Start(std::string* error) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port_.load()));
  if (::inet_pton(AF_INET, address_.c_str(), &sa.sin_addr) != 1 ||
      ::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener_, 16) != 0) {
    if (error) *error = "listen on " + address_ + ": " + std::strerror(errno);
    ::close(listener_);
    listener_ = -1;
    return false;
  }
  socklen_t len = sizeof sa;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  stop_ = false;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void KX6KSSim::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (auto& c : conns_) ::close(c->fd);
  conns_.clear();
  open_ = 0;
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

void KX6KSSim::SetFaults(const Faults& f) {
  std::lock_guard g(m_);
  faults_ = f;
}

KX6KSSim::Faults KX6KSSim::GetFaults() const {
  std::lock_guard g(m_);
  return faults_;
}

void KX6KSSim::Burst(const std::string& bytes) {
  std::lock_guard g(m_);
  bursts_.push_back(bytes);
}

bool KX6KSSim::WriteAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size() && !stop_) {
    ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n > 0) {
      off += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 50);
    } else {
      return false;
    }
  }
  return off == bytes.size();
}

void KX6KSSim::Serve(Conn& c) {
  size_t cr;
  while ((cr = c.in.find('\r')) != std::string::npos) {
    const std::string frame = c.in.substr(0, cr);
    c.in.erase(0, cr + 1);
    std::string reply;
    if (!device_.Handle(frame, reply)) continue;
    const Faults f = GetFaults();
    if (f.silent) continue;
    if (f.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(f.delayMs));
    reply = f.noise + reply;
    if (f.pieceBytes <= 0) {
      WriteAll(c.fd, reply);
      continue;
    }
    for (size_t off = 0; off < reply.size() && !stop_; off += static_cast<size_t>(f.pieceBytes)) {
      if (off > 0 && f.pieceGapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(f.pieceGapMs));
      // A host that hung up ends a slow reply.
      if (!WriteAll(c.fd, reply.substr(off, static_cast<size_t>(f.pieceBytes)))) break;
    }
  }
}

void KX6KSSim::Loop() {
  while (!stop_) {
    std::vector<std::string> bursts;
    {
      std::lock_guard g(m_);
      bursts.swap(bursts_);
    }
    for (const auto& b : bursts)
      for (auto& c : conns_) WriteAll(c->fd, b);
    std::vector<pollfd> fds{{listener_, POLLIN, 0}};
    for (auto& c : conns_) fds.push_back({c->fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd >= 0) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        conns_.push_back(std::move(c));
        ++accepted_;
      }
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Conn& c = *conns_[i - 1];
      char buf[4096];
      ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
      if (n > 0) {
        c.in.append(buf, static_cast<size_t>(n));
        Serve(c);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        ::close(c.fd);
        c.fd = -1;
      }
    }
    std::erase_if(conns_, [](const std::unique_ptr<Conn>& c) { return c->fd < 0; });
    open_ = static_cast<int>(conns_.size());
  }
}

}  // namespace px::sim
