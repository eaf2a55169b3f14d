#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "Session.h"
#include "Wire.h"
#include "zksim/ZkSim.h"

namespace zksim {

Simulator::Simulator(Config cfg) : cfg_(cfg) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(int port, const std::string& host) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) return false;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return false;
  }
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  listenFd_ = fd;
  stop_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void Simulator::Stop() {
  if (listenFd_ < 0) return;
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  ::close(listenFd_);
  listenFd_ = -1;
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lk(threadsMu_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
}

void Simulator::AcceptLoop() {
  while (!stop_) {
    pollfd pf{listenFd_, POLLIN, 0};
    if (::poll(&pf, 1, 100) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    bool refuse;
    {
      std::lock_guard<std::mutex> lk(mu_);
      ++stats_.connections;
      refuse = faults_.refuse;
    }
    if (refuse) {
      // Reset rather than a polite close, as a terminal that turns callers away.
      linger lg{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
      ::close(fd);
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lk(threadsMu_);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void Simulator::Serve(int fd) {
  Session s(*this, fd);
  s.Run();
  ::close(fd);
}

void Simulator::SetFaults(const Faults& f) {
  std::lock_guard<std::mutex> lk(mu_);
  faults_ = f;
  templateReads_ = 0;  // counted from the moment the faults are set
}

Faults Simulator::GetFaults() {
  std::lock_guard<std::mutex> lk(mu_);
  return faults_;
}

void Simulator::SetConfig(const Config& c) {
  std::lock_guard<std::mutex> lk(mu_);
  cfg_ = c;
}

void Simulator::AddUser(const std::string& userId, const std::string& name, const std::string& password,
                        int privilege, uint32_t card, bool enabled) {
  std::lock_guard<std::mutex> lk(mu_);
  User u;
  // The lowest free slot, as an enrolment at the keypad takes one.
  for (bool taken = true; taken;) {
    ++u.slot;
    taken = std::any_of(users_.begin(), users_.end(), [&](const User& x) { return x.slot == u.slot; });
  }
  u.userId = userId;
  u.name = name;
  u.password = password;
  u.privilege = privilege;
  u.card = card;
  u.enabled = enabled;
  users_.push_back(u);
}

void Simulator::RemoveUser(const std::string& userId) {
  std::lock_guard<std::mutex> lk(mu_);
  for (auto it = users_.begin(); it != users_.end();) {
    if (it->userId != userId) {
      ++it;
      continue;
    }
    const uint16_t slot = it->slot;
    fingers_.erase(std::remove_if(fingers_.begin(), fingers_.end(), [&](const Finger& f) { return f.slot == slot; }),
                   fingers_.end());
    it = users_.erase(it);
  }
}

Record Simulator::MakeRecord(const std::string& userId, const Time& t, int verify, int state, uint32_t workCode) {
  Record r;
  r.userId = userId;
  for (const User& u : users_)
    if (u.userId == userId) r.slot = u.slot;
  r.time = t;
  r.verify = verify;
  r.state = state;
  r.workCode = workCode;
  return r;
}

void Simulator::AddRecord(const std::string& userId, const Time& t, int verify, int state, uint32_t workCode) {
  std::lock_guard<std::mutex> lk(mu_);
  records_.push_back(MakeRecord(userId, t, verify, state, workCode));
}

void Simulator::AddTemplate(const std::string& userId, int finger, const std::vector<uint8_t>& data, int flag) {
  std::lock_guard<std::mutex> lk(mu_);
  for (const User& u : users_)
    if (u.userId == userId) fingers_.push_back(Finger{u.slot, finger, flag, data});
}

void Simulator::ClockOnEnable(const std::string& userId, int state) {
  std::lock_guard<std::mutex> lk(mu_);
  onEnable_.emplace_back(userId, state);
}

void Simulator::ClockAfterRead(const std::string& userId, int state) {
  std::lock_guard<std::mutex> lk(mu_);
  afterRead_.emplace_back(userId, state);
}

void Simulator::Populate(int users, int records, int templates, uint32_t seed, Time first) {
  std::mt19937 rng(seed);
  for (int i = 1; i <= users; ++i) {
    std::string id = std::to_string(i);
    AddUser(id, "User " + id, i % 3 == 0 ? std::to_string(1000 + i % 9000) : "", i == 1 ? 3 : 0,
            i % 2 == 0 ? 100000u + static_cast<uint32_t>(i) : 0u);
    for (int f = 0; f < templates; ++f) {
      std::vector<uint8_t> t(600 + rng() % 900);
      for (auto& b : t) b = static_cast<uint8_t>(rng());
      t.back() = static_cast<uint8_t>(t.back() | 1);  // a template ends in a byte that is not zero
      AddTemplate(id, f, t);
    }
  }
  uint32_t base = PackTime(first);
  for (int k = 0; k < records && users > 0; ++k)
    AddRecord(std::to_string(k % users + 1), UnpackTime(base + static_cast<uint32_t>(k) * 37u), 1, k % 2);
}

std::vector<User> Simulator::Users() {
  std::lock_guard<std::mutex> lk(mu_);
  return users_;
}

std::vector<Record> Simulator::Records() {
  std::lock_guard<std::mutex> lk(mu_);
  return records_;
}

std::vector<Finger> Simulator::Fingers() {
  std::lock_guard<std::mutex> lk(mu_);
  return fingers_;
}

std::map<int, TimeZone> Simulator::TimeZones() {
  std::lock_guard<std::mutex> lk(mu_);
  return zones_;
}

uint32_t Simulator::ClockValue() {
  int64_t offset;
  {
    std::lock_guard<std::mutex> lk(mu_);
    offset = clockOffset_;
  }
  return PackTime(LocalClock(offset));
}

Time Simulator::ClockTime() { return UnpackTime(ClockValue()); }

Stats Simulator::GetStats() {
  std::lock_guard<std::mutex> lk(mu_);
  return stats_;
}

}  // namespace zksim
