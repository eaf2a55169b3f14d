#pragma once
#include <poll.h>

#include <optional>
#include <string>

#include "ctrlsim/Frame.h"

namespace px::sim::posix {

// An eventfd that another thread signals to wake a poll loop.
int MakeWakeFd();
void Signal(int fd);
void Drain(int fd);

void SetNonBlocking(int fd);
void CloseFd(int& fd);

// poll() with a deadline instead of a millisecond count, so byte pacing is
// not rounded to whole milliseconds. No deadline waits for an event.
int PollUntil(pollfd* fds, nfds_t count, std::optional<SteadyClock::time_point> deadline);

std::string ErrnoText(const std::string& what);

}  // namespace px::sim::posix
