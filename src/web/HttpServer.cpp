#include "web/HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace px {

namespace {

// Set while the accepting thread answers a connection over the limit.
thread_local bool tlRefuse = false;
// Status of the last response written on this thread.
thread_local int tlStatus = 0;

bool WaitFor(int sock, short events, int ms) {
  pollfd p{sock, events, 0};
  int r;
  do r = ::poll(&p, 1, ms);
  while (r < 0 && errno == EINTR);
  return r > 0;
}

// Worker threads with a bounded number of connections waiting or served.
class BoundedPool : public httplib::TaskQueue {
public:
  BoundedPool(size_t threads, size_t cap) : cap_(cap) {
    for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> g(m_);
      if (jobs_.size() + busy_ < cap_) {
        jobs_.push_back(std::move(fn));
        cv_.notify_one();
        return;
      }
    }
    // The job only closes the socket after a short refusal in this mode.
    tlRefuse = true;
    fn();
    tlRefuse = false;
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> g(m_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
  }

private:
  void Work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait(lk, [this] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        fn = std::move(jobs_.front());
        jobs_.pop_front();
        ++busy_;
      }
      fn();
      std::lock_guard<std::mutex> g(m_);
      --busy_;
    }
  }
  size_t cap_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  size_t busy_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// A connected socket as the library reads and writes it, buffered, with
// time-outs, and with a byte budget per request.
class BudgetStream : public httplib::Stream {
public:
  BudgetStream(int sock, int timeoutMs) : sock_(sock), timeoutMs_(timeoutMs) {}
  void NewRequest(size_t budget) { budget_ = budget; }
  bool HasBuffered() const { return pos_ < buf_.size(); }

  bool is_readable() const override { return HasBuffered() || WaitFor(sock_, POLLIN, timeoutMs_); }
  bool is_writable() const override { return WaitFor(sock_, POLLOUT, timeoutMs_); }
  ssize_t read(char* ptr, size_t size) override {
    if (budget_ == 0) return -1;
    if (!HasBuffered()) {
      if (!WaitFor(sock_, POLLIN, timeoutMs_)) return -1;
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
    size_t n = std::min({size, buf_.size() - pos_, budget_});
    std::memcpy(ptr, buf_.data() + pos_, n);
    pos_ += n;
    budget_ -= n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override { Name(::getpeername, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Name(::getsockname, ip, port); }
  socket_t socket() const override { return sock_; }

private:
  template <typename F>
  void Name(F get, std::string& ip, int& port) const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    ip.clear();
    port = 0;
    if (get(sock_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
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
  int sock_;
  int timeoutMs_;
  std::vector<char> buf_;
  size_t pos_ = 0;
  size_t budget_ = 0;
};

}  // namespace

HttpServer::HttpServer(const Limits& limits) : limits_(limits) {
  new_task_queue = [this] { return new BoundedPool(limits_.threads, limits_.maxConnections); };
  set_read_timeout(limits_.readTimeoutSec, 0);
  set_write_timeout(limits_.readTimeoutSec, 0);
  set_keep_alive_timeout(limits_.keepAliveSec);
  set_keep_alive_max_count(limits_.keepAliveRequests);
  set_logger([](const httplib::Request&, const httplib::Response& res) { tlStatus = res.status; });
}

bool HttpServer::process_and_close_socket(socket_t sock) {
  bool ok = false;
  if (tlRefuse) {
    static const char kBusy[] =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 38\r\n"
        "Connection: close\r\nRetry-After: 1\r\n\r\nToo many connections; try again soon.\n";
    (void)::send(sock, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  } else {
    BudgetStream strm(sock, limits_.readTimeoutSec * 1000);
    // The listening socket is closed when the server stops: kept-alive
    // connections then end after the request under way.
    auto serving = [this] { return svr_sock_ != INVALID_SOCKET; };
    for (size_t left = limits_.keepAliveRequests; left > 0 && serving(); --left) {
      // An idle kept-alive connection is let go sooner than a slow request,
      // and at once when the server stops.
      bool ready = strm.HasBuffered();
      for (int waited = 0; !ready && waited < limits_.keepAliveSec * 1000 && serving(); waited += 100)
        ready = WaitFor(sock, POLLIN, 100);
      if (!ready || !serving()) break;
      strm.NewRequest(limits_.maxRequestBytes);
      bool closed = false;
      tlStatus = 0;
      ok = process_request(strm, left == 1, closed, nullptr);
      // After a request that could not be read whole, the rest of the
      // stream cannot be trusted to start a request.
      if (!ok || closed || tlStatus == 400 || tlStatus == 413 || tlStatus == 414 || tlStatus == 431) break;
    }
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace px
