#include "PosixUtil.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace px::sim::posix {

int MakeWakeFd() { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void Signal(int fd) {
  const std::uint64_t one = 1;
  if (fd >= 0) (void)!write(fd, &one, sizeof one);
}

void Drain(int fd) {
  std::uint64_t v;
  while (read(fd, &v, sizeof v) > 0) {
  }
}

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

int PollUntil(pollfd* fds, nfds_t count, std::optional<SteadyClock::time_point> deadline) {
  timespec ts{};
  timespec* tsp = nullptr;
  if (deadline) {
    auto left = *deadline - SteadyClock::now();
    if (left.count() < 0) left = left.zero();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    ts.tv_sec = ns / 1000000000;
    ts.tv_nsec = ns % 1000000000;
    tsp = &ts;
  }
  int r = ppoll(fds, count, tsp, nullptr);
  if (r < 0 && errno == EINTR) r = 0;
  return r;
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace px::sim::posix
