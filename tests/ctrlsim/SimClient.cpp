#include "SimClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

namespace px::sim::test {

SimClient SimClient::OpenPty(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return SimClient(-1);
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  return SimClient(fd);
}

SimClient SimClient::Connect(const std::string& address, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return SimClient(-1);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return SimClient(fd);
}

SimClient::SimClient(SimClient&& o) noexcept { *this = std::move(o); }

SimClient& SimClient::operator=(SimClient&& o) noexcept {
  std::swap(fd_, o.fd_);
  pending_ = std::move(o.pending_);
  return *this;
}

SimClient::~SimClient() {
  if (fd_ >= 0) close(fd_);
}

bool SimClient::Send(const std::string& bytes) {
  return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

int SimClient::ReadSome(char* buf, int size, int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return 0;
  const ssize_t n = read(fd_, buf, static_cast<std::size_t>(size));
  if (n > 0) return static_cast<int>(n);
  return -1;
}

std::string SimClient::ReadFrame(int timeoutMs) {
  const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  reads_ = 0;
  std::string out;
  char buf[1];
  // One byte at a time, so bytes after the CR stay for the next call and
  // the arrival time of each byte is seen.
  for (;;) {
    if (!pending_.empty()) {
      out += pending_.front();
      pending_.erase(0, 1);
    } else {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
      if (left.count() <= 0) return out;
      const int n = ReadSome(buf, 1, static_cast<int>(left.count()) + 1);
      if (n <= 0) {
        if (n < 0) return out;
        continue;
      }
      ++reads_;
      lastByte_ = SteadyClock::now();
      if (out.empty()) firstByte_ = lastByte_;
      out += buf[0];
    }
    if (out.back() == kCR) return out;
  }
}

std::string SimClient::ReadFor(int ms) {
  const auto end = SteadyClock::now() + std::chrono::milliseconds(ms);
  std::string out = std::move(pending_);
  pending_.clear();
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
    if (left.count() <= 0) return out;
    const int n = ReadSome(buf, sizeof buf, static_cast<int>(left.count()));
    if (n < 0) return out;
    if (n > 0) out.append(buf, static_cast<std::size_t>(n));
  }
}

bool SimClient::WaitHangup(int timeoutMs) {
  const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[256];
  while (SteadyClock::now() < end) {
    if (ReadSome(buf, sizeof buf, 50) < 0) return true;
  }
  return false;
}

std::string SimClient::Poll(int unit, const std::string& code) {
  return std::string(1, AddressByte(unit)) + code + kCR;
}

std::string SimClient::Command(int unit, const std::string& code, const std::string& params) {
  return std::string(1, AddressByte(unit)) + code + params + Checksum(params) + kCR;
}

}  // namespace px::sim::test
