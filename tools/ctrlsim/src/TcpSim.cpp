#include "ctrlsim/TcpSim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "PosixUtil.h"
#include "ctrlsim/OutputSchedule.h"

namespace px::sim {

struct TcpSim::Conn {
  int fd = -1;
  FrameSplitter splitter;
  OutputSchedule schedule;
  std::string out;               // due bytes the socket has not taken yet
  bool closeWhenFlushed = false;
};

TcpSim::TcpSim(std::shared_ptr<UnitBank> bank, Options options)
    : bank_(std::move(bank)),
      options_(std::move(options)),
      port_(options_.port),
      pushMs_(options_.pushIntervalMs > 0 ? options_.pushIntervalMs : 0) {}

TcpSim::~TcpSim() { Stop(); }

std::string TcpSim::Endpoint() const { return options_.address + ":" + std::to_string(port_); }

bool TcpSim::Listen(std::string* error) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port_));
  if (inet_pton(AF_INET, options_.address.c_str(), &sa.sin_addr) != 1) {
    if (error) *error = "bad address " + options_.address;
    return false;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = posix::ErrnoText("socket");
    return false;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 64) != 0) {
    if (error) *error = posix::ErrnoText("listen on " + Endpoint());
    close(fd);
    return false;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  listener_ = fd;
  return true;
}

bool TcpSim::Start(std::string* error) {
  std::lock_guard l(ctl_);
  if (running_) return true;
  if (!Listen(error)) return false;
  wake_ = posix::MakeWakeFd();
  nextPush_ = SteadyClock::now() + std::chrono::milliseconds(pushMs_);
  stop_ = false;
  thread_ = std::thread([this] { Loop(); });
  running_ = true;
  return true;
}

void TcpSim::Stop() {
  std::lock_guard l(ctl_);
  if (!running_) return;
  stop_ = true;
  posix::Signal(wake_);
  thread_.join();
  for (auto& c : conns_) posix::CloseFd(c->fd);
  conns_.clear();
  openConnections_ = 0;
  posix::CloseFd(listener_);
  posix::CloseFd(wake_);
  running_ = false;
}

bool TcpSim::Running() const {
  std::lock_guard l(ctl_);
  return running_;
}

void TcpSim::RunInLoop(std::function<void()> task) {
  std::lock_guard l(ctl_);
  if (!running_) {
    task();
    return;
  }
  std::unique_lock tl(tasksM_);
  tasks_.push_back(std::move(task));
  const long ticket = ++tasksQueued_;
  posix::Signal(wake_);
  tasksCv_.wait(tl, [&] { return tasksDone_ >= ticket; });
}

void TcpSim::RunTasks() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard tl(tasksM_);
    tasks.swap(tasks_);
  }
  for (auto& t : tasks) t();
  {
    std::lock_guard tl(tasksM_);
    tasksDone_ += static_cast<long>(tasks.size());
  }
  tasksCv_.notify_all();
}

void TcpSim::SetRefuse(bool on) {
  RunInLoop([this, on] {
    if (on) {
      // Connections the kernel already completed were accepted as far as
      // their clients know: keep them rather than reset them.
      if (listener_ >= 0) AcceptAll();
      posix::CloseFd(listener_);
    } else if (listener_ < 0) {
      std::string err;
      if (!Listen(&err)) bank_->Trace("cannot listen again: " + err);
    }
  });
}

void TcpSim::SetHang(bool on) {
  RunInLoop([this, on] { hang_ = on; });
}

void TcpSim::DropConnections() {
  RunInLoop([this] {
    for (auto& c : conns_) posix::CloseFd(c->fd);
    conns_.clear();
    openConnections_ = 0;
  });
}

void TcpSim::SetPush(int intervalMs) {
  RunInLoop([this, intervalMs] {
    pushMs_ = intervalMs > 0 ? intervalMs : 0;
    nextPush_ = SteadyClock::now() + std::chrono::milliseconds(pushMs_);
  });
}

void TcpSim::PushRecords(SteadyClock::time_point now) {
  nextPush_ = now + std::chrono::milliseconds(pushMs_);
  // Records stay queued while nobody is connected to hear them.
  if (conns_.empty() || hang_) return;
  bank_->ForEach([&](SimUnit& u) {
    const ReplyPlan plan = u.Push();
    if (!plan.answer) return;
    bank_->Trace("push " + Printable(plan.bytes));
    for (auto& c : conns_) c->schedule.Add(plan, now, true);
  });
}

void TcpSim::AcceptAll() {
  for (;;) {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // Pieces of a reply must leave as separate segments, not be merged.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Conn>();
    c->fd = fd;
    conns_.push_back(std::move(c));
    ++accepted_;
    openConnections_ = static_cast<int>(conns_.size());
  }
}

void TcpSim::ReadFrom(Conn& c) {
  char buf[4096];
  const ssize_t n = read(c.fd, buf, sizeof buf);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    posix::CloseFd(c.fd);
    return;
  }
  if (n < 0) return;
  const auto now = SteadyClock::now();
  std::vector<ReceivedFrame> frames;
  c.splitter.Feed(std::string_view(buf, static_cast<std::size_t>(n)), now, frames);
  for (auto& f : frames) {
    if (hang_) {
      // Leave the units untouched: a hanging peer never hears the poll.
      ++ignoredFrames_;
      bank_->Trace("rx " + Printable(f.bytes) + " (hanging, no answer)");
      continue;
    }
    c.schedule.Add(bank_->Handle(f.bytes), now, true);
  }
}

void TcpSim::Flush(Conn& c) {
  const auto now = SteadyClock::now();
  while (!c.closeWhenFlushed && !c.schedule.Empty() && c.schedule.NextDue() <= now) {
    Chunk ch = c.schedule.Pop();
    c.out += ch.bytes;
    if (ch.closeAfter) {
      c.closeWhenFlushed = true;
      c.schedule.Clear();
    }
  }
  while (!c.out.empty()) {
    const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      posix::CloseFd(c.fd);
      return;
    }
    c.out.erase(0, static_cast<std::size_t>(n));
  }
  if (c.closeWhenFlushed) posix::CloseFd(c.fd);
}

void TcpSim::Loop() {
  std::vector<pollfd> fds;
  while (!stop_) {
    fds.clear();
    fds.push_back({wake_, POLLIN, 0});
    fds.push_back({listener_, POLLIN, 0});  // a closed listener (-1) is skipped by poll
    std::optional<SteadyClock::time_point> deadline;
    if (pushMs_ > 0) deadline = nextPush_;
    for (auto& c : conns_) {
      fds.push_back({c->fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
      if (!c->schedule.Empty() && (!deadline || c->schedule.NextDue() < *deadline))
        deadline = c->schedule.NextDue();
    }
    posix::PollUntil(fds.data(), fds.size(), deadline);
    if (stop_) break;
    if (fds[0].revents) {
      posix::Drain(wake_);
      RunTasks();
    }
    // Tasks may have changed the listener or the connections: only trust
    // the poll results when both are as they were.
    const bool sameSet = fds[1].fd == listener_ && fds.size() == conns_.size() + 2;
    if (sameSet && listener_ >= 0 && (fds[1].revents & POLLIN)) AcceptAll();
    if (pushMs_ > 0 && SteadyClock::now() >= nextPush_) PushRecords(SteadyClock::now());
    for (std::size_t i = 0; i < conns_.size(); ++i) {
      Conn& c = *conns_[i];
      if (sameSet && i + 2 < fds.size() && fds[i + 2].fd == c.fd &&
          (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)))
        ReadFrom(c);
      if (c.fd >= 0) Flush(c);
    }
    std::erase_if(conns_, [](const std::unique_ptr<Conn>& c) { return c->fd < 0; });
    openConnections_ = static_cast<int>(conns_.size());
  }
}

}  // namespace px::sim
