#include "ctrlsim/SerialSim.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <vector>

#include "PosixUtil.h"
#include "ctrlsim/OutputSchedule.h"

namespace px::sim {

namespace {

// Points `link` at `target` in one step, so a host reopening the path never
// finds it missing or half made.
bool ReplaceSymlink(const std::string& target, const std::string& link, std::string* error) {
  const std::string tmp = link + ".tmp" + std::to_string(getpid());
  unlink(tmp.c_str());
  if (symlink(target.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
    if (error) *error = posix::ErrnoText("symlink " + link);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

// Removes `link` only while it still points at `target`: another simulator
// may own the path by now.
void RemoveOwnSymlink(const std::string& link, const std::string& target) {
  char buf[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) return;
  buf[n] = '\0';
  if (target == buf) unlink(link.c_str());
}

}  // namespace

SerialSim::SerialSim(std::shared_ptr<UnitBank> bank, Options options)
    : bank_(std::move(bank)), options_(std::move(options)), baud_(options_.baud) {}

SerialSim::~SerialSim() { Stop(); }

std::chrono::nanoseconds SerialSim::ByteTime(int baud) {
  // Start bit, eight data bits, stop bit.
  return baud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / baud) : std::chrono::nanoseconds(0);
}

bool SerialSim::Start(std::string* error) {
  std::lock_guard l(ctl_);
  if (running_) return true;
  termios tio{};
  cfmakeraw(&tio);
  cfsetspeed(&tio, B9600);
  char name[256] = {};
  int slave = -1;
  if (openpty(&master_, &slave, name, &tio, nullptr) != 0) {
    if (error) *error = posix::ErrnoText("openpty");
    return false;
  }
  // The slave is the host's alone: with it closed the master reports a
  // hang-up, which is how the simulator knows nobody listens. The raw line
  // settings stay with the pty.
  posix::CloseFd(slave);
  posix::SetNonBlocking(master_);
  slavePath_ = name;
  wake_ = posix::MakeWakeFd();
  if (wake_ < 0) {
    if (error) *error = posix::ErrnoText("eventfd");
    CloseFds();
    return false;
  }
  if (!options_.linkPath.empty() && !ReplaceSymlink(slavePath_, options_.linkPath, error)) {
    CloseFds();
    return false;
  }
  stop_ = false;
  thread_ = std::thread([this] { Loop(); });
  running_ = true;
  return true;
}

void SerialSim::Stop() {
  std::lock_guard l(ctl_);
  if (!running_) return;
  stop_ = true;
  Wake();
  thread_.join();
  if (!options_.linkPath.empty()) RemoveOwnSymlink(options_.linkPath, slavePath_);
  CloseFds();
  running_ = false;
}

bool SerialSim::Running() const {
  std::lock_guard l(ctl_);
  return running_;
}

std::string SerialSim::SlavePath() const {
  std::lock_guard l(ctl_);
  return slavePath_;
}

std::string SerialSim::DevicePath() const {
  return options_.linkPath.empty() ? SlavePath() : options_.linkPath;
}

void SerialSim::Wake() { posix::Signal(wake_); }

void SerialSim::CloseFds() {
  posix::CloseFd(master_);
  posix::CloseFd(wake_);
}

void SerialSim::Loop() {
  FrameSplitter splitter;
  OutputSchedule schedule;
  std::vector<ReceivedFrame> frames;
  std::string current;          // chunk on the wire
  std::size_t sent = 0;
  bool active = false;
  bool hostPresent = false;     // the host has the slave open
  SteadyClock::time_point chunkStart{};
  SteadyClock::time_point wireFree = SteadyClock::now();
  char buf[4096];

  while (!stop_) {
    const auto bt = ByteTime(baud_);
    auto now = SteadyClock::now();

    if (!active && !schedule.Empty() && now >= std::max(schedule.NextDue(), wireFree)) {
      chunkStart = std::max(schedule.NextDue(), wireFree);
      current = schedule.Pop().bytes;
      sent = 0;
      active = true;
    }
    if (active) {
      // Byte i has fully left the line at chunkStart + (i + 1) byte times.
      const std::size_t due = bt.count() == 0
          ? current.size()
          : std::min<std::size_t>(current.size(), (now - chunkStart) / bt);
      if (due > sent) {
        // With the port closed the bytes are lost, as on a real line; a pty
        // would keep them for whoever opens it next.
        const ssize_t n = hostPresent ? write(master_, current.data() + sent, due - sent) : 0;
        const std::size_t ok = n > 0 ? static_cast<std::size_t>(n) : 0;
        bytesWritten_ += static_cast<long>(ok);
        bytesDropped_ += static_cast<long>(due - sent - ok);
        sent = due;
      }
      if (sent == current.size()) {
        active = false;
        wireFree = chunkStart + bt * static_cast<long>(current.size());
        continue;
      }
    }

    std::optional<SteadyClock::time_point> deadline;
    if (active) deadline = chunkStart + bt * static_cast<long>(sent + 1);
    else if (!schedule.Empty()) deadline = std::max(schedule.NextDue(), wireFree);
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (hostPresent) {
      if (posix::PollUntil(fds, 2, deadline) <= 0) continue;
    } else {
      // A hung-up master polls ready at once: look again every few
      // milliseconds instead of spinning.
      const auto recheck = now + std::chrono::milliseconds(5);
      posix::PollUntil(&fds[1], 1, deadline ? std::min(*deadline, recheck) : recheck);
      posix::PollUntil(&fds[0], 1, SteadyClock::now());
    }
    if (fds[1].revents) posix::Drain(wake_);
    hostPresent = !(fds[0].revents & POLLHUP);
    if (!(fds[0].revents & POLLIN)) continue;

    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) continue;
    bytesRead_ += n;
    now = SteadyClock::now();
    frames.clear();
    splitter.Feed(std::string_view(buf, static_cast<std::size_t>(n)), now, frames);
    for (auto& f : frames) {
      // The host's bytes arrived at once; on the bus they take their time.
      const auto requestEnd = f.firstByte + bt * static_cast<long>(f.bytes.size());
      if (!active) wireFree = std::max(wireFree, requestEnd);
      const ReplyPlan plan = bank_->Handle(f.bytes);
      schedule.Add(plan, std::max(requestEnd, now) + std::chrono::milliseconds(options_.turnaroundMs),
                   false);
    }
  }
}

}  // namespace px::sim
