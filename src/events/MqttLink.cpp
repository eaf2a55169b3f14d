#include "events/MqttLink.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "common/StrUtil.h"
#include "events/TopicNames.h"

namespace px {

using Steady = std::chrono::steady_clock;

struct MqttLink::Shared {
  Shared(StreamOptions o, ILog& l) : options(std::move(o)), log(l), wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~Shared() {
    if (wake >= 0) close(wake);
  }
  const StreamOptions options;
  ILog& log;
  std::mutex m;
  std::condition_variable cv;
  Handlers handlers;                // cleared once Stop has given up on the thread
  std::vector<MqttMessage> queue;   // handed over for connection queueFor
  std::uint64_t queueFor = 0;
  std::uint64_t accepted = 0;       // the connection the broker accepted; 0 while none
  bool stop = false, finished = false, abandoned = false;
  Steady::time_point stopBy;
  const int wake;                   // eventfd: work for the thread

  void Wake() {
    const std::uint64_t one = 1;
    if (write(wake, &one, sizeof one) < 0) {
      // Already signalled past the counter's limit: the thread wakes anyway.
    }
  }
  void Log(int level, const std::string& text) {
    std::lock_guard<std::mutex> g(m);
    if (!abandoned) log.WriteLog(level, "Mqtt: " + text);
  }
};

// One libmosquitto client, from its connect to its end; and the thread's
// loop around it.
class MqttLink::Session {
public:
  explicit Session(Shared& s) : s_(s), status_(TopicNames(s.options.prefix).Status()) {}
  ~Session() { Close(""); }

  void Run() {
    auto nextTry = Steady::now();
    for (;;) {
      {
        std::unique_lock<std::mutex> lk(s_.m);
        if (!mosq_) s_.cv.wait_until(lk, nextTry, [&] { return s_.stop; });
        if (s_.stop) break;
      }
      if (!mosq_ && !Open()) {
        Close(why_);
        nextTry = Steady::now() + Backoff(++failures_, s_.options.reconnectMin, s_.options.reconnectMax);
        continue;
      }
      Turn(std::chrono::milliseconds(1000));
      if (!accepted_ && !broken_ && Steady::now() - openedAt_ > kHandshakeLimit) Broken("no answer from the broker");
      if (broken_) {
        if (!accepted_) ++failures_;
        Close(why_);
        nextTry = Steady::now() + Backoff(std::max(failures_, 1), s_.options.reconnectMin, s_.options.reconnectMax);
      }
    }
    Farewell();
  }

private:
  bool Open() {
    const StreamOptions& o = s_.options;
    broken_ = accepted_ = offlineAcked_ = online_ = false;
    offlineMid_ = -1;
    why_.clear();
    number_ = ++counter_;
    mosq_ = mosquitto_new(o.clientId.c_str(), true, this);
    if (!mosq_) return Broken("no memory for a client");
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq_, kInFlight);
    if (!o.user.empty())
      mosquitto_username_pw_set(mosq_, o.user.c_str(), o.password.empty() ? nullptr : o.password.c_str());
    mosquitto_will_set(mosq_, status_.c_str(), 7, "offline", o.qos, true);
    if (o.tls) {
      const int rc = mosquitto_tls_set(mosq_, o.caFile.empty() ? nullptr : o.caFile.c_str(),
                                       o.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
      if (rc != MOSQ_ERR_SUCCESS) return Broken(Error(rc));
    }
    mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* p, int rc) { static_cast<Session*>(p)->Connected(rc); });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* p, int mid) { static_cast<Session*>(p)->Acked(mid); });
    mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* p, int rc) {
      static_cast<Session*>(p)->Broken(rc == 0 ? "disconnected" : Error(rc));
    });
    openedAt_ = Steady::now();
    // The TCP connect goes on in the background (the handshake limit covers
    // it and the broker's answer); only the name lookup waits, on this
    // thread, and a stop that cannot wait for it leaves the thread behind.
    const int rc = mosquitto_connect_async(mosq_, o.host.c_str(), o.port, kKeepAliveSec);
    if (rc != MOSQ_ERR_SUCCESS) return Broken(Error(rc));
    return true;
  }

  // One wait for the socket or for work, and what follows from it.
  void Turn(std::chrono::milliseconds most) {
    if (!mosq_ || broken_) return;
    pollfd fds[2] = {{mosquitto_socket(mosq_), POLLIN, 0}, {s_.wake, POLLIN, 0}};
    if (mosquitto_want_write(mosq_)) fds[0].events |= POLLOUT;
    if (!accepted_) most = std::min(most, std::chrono::duration_cast<std::chrono::milliseconds>(
                                              openedAt_ + kHandshakeLimit - Steady::now()));
    poll(fds, 2, static_cast<int>(std::max<long long>(0, most.count())));
    if (fds[1].revents & POLLIN) {
      std::uint64_t n = 0;
      if (read(s_.wake, &n, sizeof n) < 0) n = 0;
    }
    if (accepted_ && online_) {
      online_ = false;
      mosquitto_publish(mosq_, nullptr, status_.c_str(), 6, "online", s_.options.qos, true);
    }
    if (accepted_) SendHandedOver();
    if (!broken_ && (fds[0].revents & (POLLIN | POLLERR | POLLHUP))) Check(mosquitto_loop_read(mosq_, 1));
    if (!broken_ && mosquitto_want_write(mosq_)) Check(mosquitto_loop_write(mosq_, 1));
    if (!broken_) Check(mosquitto_loop_misc(mosq_));
    Report();
  }

  void SendHandedOver() {
    std::vector<MqttMessage> batch;
    {
      std::lock_guard<std::mutex> g(s_.m);
      if (s_.queueFor == number_) batch.swap(s_.queue);
      s_.queue.clear();
    }
    for (const auto& m : batch) {
      if (broken_) return;
      int mid = 0;
      const int rc = mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                       m.payload.data(), m.qos, m.retain);
      if (rc == MOSQ_ERR_SUCCESS) {
        if (m.token) tokens_[mid] = m.token;
      } else if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_NOMEM) {
        Broken(Error(rc));
      } else {
        // The broker could never take this one (a topic or size it refuses):
        // waiting for it would hold every later event for good.
        s_.Log(999, "message to " + m.topic + " refused by the client library (" + Error(rc) + "); skipped");
        if (m.token) acked_.push_back(m.token);
      }
    }
  }

  void Connected(int rc) {
    if (rc != 0) {
      Broken(std::string("refused: ") + mosquitto_connack_string(rc));
      return;
    }
    accepted_ = true;
    // Published from the next turn, not from inside the library's callback
    // (which holds its own locks in another order than a publish takes them).
    online_ = true;
    if (failures_ > 0 || number_ == 1)
      s_.Log(999, "connected to " + s_.options.host + ":" + IntToStr(s_.options.port));
    failures_ = 0;
    std::lock_guard<std::mutex> g(s_.m);
    s_.accepted = number_;
    s_.queueFor = number_;
    s_.queue.clear();
    if (s_.handlers.connected) s_.handlers.connected(number_);
  }

  void Acked(int mid) {
    if (mid == offlineMid_) offlineAcked_ = true;
    auto it = tokens_.find(mid);
    if (it == tokens_.end()) return;
    acked_.push_back(it->second);
    tokens_.erase(it);
  }

  void Report() {
    if (acked_.empty()) return;
    std::lock_guard<std::mutex> g(s_.m);
    if (s_.handlers.acknowledged) s_.handlers.acknowledged(number_, std::move(acked_));
    acked_.clear();
  }

  bool Broken(const std::string& why) {
    if (!broken_) why_ = why;
    broken_ = true;
    return false;
  }
  void Check(int rc) {
    if (rc != MOSQ_ERR_SUCCESS) Broken(Error(rc));
  }
  static std::string Error(int rc) {
    return rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc));
  }

  void Close(const std::string& why) {
    if (!mosq_) return;
    Report();
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    tokens_.clear();
    const bool was = accepted_;
    accepted_ = false;
    {
      std::lock_guard<std::mutex> g(s_.m);
      s_.accepted = 0;
      s_.queue.clear();
      if (was && s_.handlers.lost) s_.handlers.lost(number_);
    }
    if (why.empty()) return;
    const std::string where = s_.options.host + ":" + IntToStr(s_.options.port);
    const std::string next = " (" + why + "); trying again in " +
                             IntToStr(Backoff(std::max(failures_, 1), s_.options.reconnectMin, s_.options.reconnectMax).count()) +
                             " ms";
    if (was) s_.Log(999, "connection to " + where + " lost" + next);
    else s_.Log(failures_ <= 1 ? 999 : 10, "broker " + where + " not reached" + next);
  }

  // At a stop: "offline" is said before the clean disconnect (which keeps
  // the will from being sent), and what the broker still acknowledges in
  // the meantime is reported.
  void Farewell() {
    if (!mosq_ || !accepted_ || broken_) return;
    Steady::time_point by;
    {
      std::lock_guard<std::mutex> g(s_.m);
      by = s_.stopBy;
    }
    if (mosquitto_publish(mosq_, &offlineMid_, status_.c_str(), 7, "offline", s_.options.qos, true) !=
        MOSQ_ERR_SUCCESS)
      return;
    if (s_.options.qos == 0) offlineAcked_ = true;
    while (!offlineAcked_ && !broken_ && Steady::now() < by)
      Turn(std::chrono::duration_cast<std::chrono::milliseconds>(by - Steady::now()));
    if (!broken_) {
      mosquitto_disconnect(mosq_);
      mosquitto_loop_write(mosq_, 1);
    }
    Report();
  }

  Shared& s_;
  const std::string status_;
  mosquitto* mosq_ = nullptr;
  std::uint64_t number_ = 0, counter_ = 0;
  bool accepted_ = false, broken_ = false, offlineAcked_ = false, online_ = false;
  int offlineMid_ = -1;
  int failures_ = 0;
  std::string why_;
  Steady::time_point openedAt_;
  std::unordered_map<int, std::int64_t> tokens_;
  std::vector<std::int64_t> acked_;
};

std::chrono::milliseconds MqttLink::Backoff(int failures, std::chrono::milliseconds first,
                                            std::chrono::milliseconds last) {
  auto d = first;
  for (int i = 1; i < failures && d < last; ++i) d *= 2;
  return std::min(d, last);
}

MqttLink::MqttLink(StreamOptions options, ILog& log) : shared_(std::make_shared<Shared>(std::move(options), log)) {
  static std::once_flag init;
  std::call_once(init, [] { mosquitto_lib_init(); });
}

MqttLink::~MqttLink() { Stop(std::chrono::milliseconds(200)); }

void MqttLink::Start(Handlers h) {
  {
    std::lock_guard<std::mutex> g(shared_->m);
    shared_->handlers = std::move(h);
  }
  thread_ = std::thread([s = shared_] {
    {
      Session session(*s);
      session.Run();
    }
    std::lock_guard<std::mutex> g(s->m);
    s->finished = true;
    s->cv.notify_all();
  });
}

void MqttLink::Publish(std::uint64_t connection, std::vector<MqttMessage> messages) {
  std::lock_guard<std::mutex> g(shared_->m);
  if (shared_->stop || connection != shared_->accepted || connection != shared_->queueFor) return;
  for (auto& m : messages) shared_->queue.push_back(std::move(m));
  shared_->Wake();
}

void MqttLink::Stop(std::chrono::milliseconds within) {
  if (!thread_.joinable()) return;
  const auto by = Steady::now() + within;
  std::unique_lock<std::mutex> lk(shared_->m);
  shared_->stop = true;
  // The farewell leaves a little of the time for the thread to end.
  shared_->stopBy = by - within / 5;
  shared_->Wake();
  shared_->cv.notify_all();
  if (shared_->cv.wait_until(lk, by, [&] { return shared_->finished; })) {
    lk.unlock();
    thread_.join();
    return;
  }
  // Still in a name lookup: it ends on its own later and calls no handler
  // and writes no log line.
  shared_->handlers = {};
  shared_->abandoned = true;
  lk.unlock();
  thread_.detach();
  shared_->log.WriteLog(999, "Mqtt: the broker's name lookup under way was left to end by itself");
}

}  // namespace px
