// The broker connection against a real broker: order, acknowledgements,
// the status topic, and what a broker that goes away or refuses does.
#include <gtest/gtest.h>

#include <mutex>

#include "events/MqttBroker.h"
#include "events/MqttLink.h"

using namespace px;
using namespace std::chrono_literals;

namespace {

class MqttLinkTest : public ::testing::Test {
protected:
  test::TempDir dir;
  test::MqttBroker broker{dir.Path()};
  test::MqttWatcher watcher{dir.Path(), broker.Port()};
  test::CaptureLog log;
  std::mutex m;
  std::vector<std::string> events;  // "up 1", "down 1"
  std::vector<std::int64_t> acked;
  // Last, so that it goes first: its thread calls back into the members above.
  std::unique_ptr<MqttLink> link;

  void StartLink(const std::string& ca = "") {
    StreamOptions o;
    o.tls = !ca.empty();
    o.caFile = ca;
    o.host = "127.0.0.1";
    o.port = broker.Port();
    o.user = o.password = "portex";
    o.reconnectMin = 50ms;
    o.reconnectMax = 200ms;
    link = std::make_unique<MqttLink>(o, log);
    IMqttLink::Handlers h;
    h.connected = [this](std::uint64_t c) { Note("up " + std::to_string(c)); };
    h.lost = [this](std::uint64_t c) { Note("down " + std::to_string(c)); };
    h.acknowledged = [this](std::uint64_t, std::vector<std::int64_t> t) {
      std::lock_guard<std::mutex> g(m);
      acked.insert(acked.end(), t.begin(), t.end());
    };
    link->Start(h);
  }
  void Note(const std::string& e) {
    std::lock_guard<std::mutex> g(m);
    events.push_back(e);
  }
  bool Saw(const std::string& e) {
    return test::WaitFor([&] {
      std::lock_guard<std::mutex> g(m);
      return std::find(events.begin(), events.end(), e) != events.end();
    }, 10s);
  }
  // The connection the broker accepted last, once there is one after `after`.
  std::uint64_t Up(std::uint64_t after = 0) {
    std::uint64_t c = 0;
    test::WaitFor([&] {
      std::lock_guard<std::mutex> g(m);
      for (const auto& e : events)
        if (e.rfind("up ", 0) == 0) c = std::stoull(e.substr(3));
      return c > after;
    }, 10s);
    return c > after ? c : 0;
  }
  size_t Acked() {
    std::lock_guard<std::mutex> g(m);
    return acked.size();
  }
  void Send(std::uint64_t c, int from, int n) {
    std::vector<MqttMessage> batch;
    for (int i = from; i < from + n; ++i) batch.push_back({"portex/transactions/D1", std::to_string(i), 1, false, i});
    link->Publish(c, batch);
  }
};

TEST_F(MqttLinkTest, MessagesArriveInOrderAreAcknowledgedAndTheStatusIsOnlineThenOffline) {
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(watcher.Start());
  ASSERT_TRUE(watcher.WaitSubscribed());
  StartLink();
  ASSERT_TRUE(Saw("up 1")) << log.Dump();
  Send(1, 1, 300);
  ASSERT_TRUE(test::WaitFor([&] { return Acked() == 300; }, 10s));
  ASSERT_TRUE(test::WaitFor([&] { return watcher.Messages("transactions").size() == 300; }, 10s));
  auto got = watcher.Messages("transactions");
  for (int i = 0; i < 300; ++i) ASSERT_EQ(got[static_cast<size_t>(i)].second, std::to_string(i + 1));
  link->Stop(2s);
  ASSERT_TRUE(test::WaitFor([&] { return watcher.Messages("status").size() == 2; }, 5s));
  EXPECT_EQ(watcher.Messages("status")[0].second, "online");
  EXPECT_EQ(watcher.Messages("status")[1].second, "offline");
  // Retained: a subscriber that comes later learns it at once.
  watcher.Stop();
  ASSERT_TRUE(watcher.Start("portex/status"));
  ASSERT_TRUE(test::WaitFor([&] { return watcher.Messages("status").size() == 3; }, 5s));
  EXPECT_EQ(watcher.Messages("status")[2].second, "offline");
}

TEST_F(MqttLinkTest, ABrokerThatGoesAwayGivesANewConnectionAndNothingOfTheOldIsSentOnIt) {
  // Kept out at first: the refusal is retried like a broker that is down.
  ASSERT_TRUE(broker.Start(false));
  StartLink();
  ASSERT_TRUE(test::WaitFor([&] { return log.HasSubstr("refused"); }, 5s)) << log.Dump();
  ASSERT_TRUE(broker.Admit());
  const std::uint64_t first = Up();
  ASSERT_GT(first, 1u) << log.Dump();  // the refused ones had their numbers
  broker.Stop();
  ASSERT_TRUE(Saw("down " + std::to_string(first)));
  Send(first, 1, 5);  // for the connection that is gone: dropped
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(watcher.Start());
  ASSERT_TRUE(watcher.WaitSubscribed());
  const std::uint64_t now = Up(first);
  ASSERT_NE(now, 0u);
  Send(now, 6, 5);
  ASSERT_TRUE(test::WaitFor([&] { return Acked() == 5; }, 10s));
  EXPECT_EQ(acked, (std::vector<std::int64_t>{6, 7, 8, 9, 10}));
  EXPECT_EQ(watcher.Messages("transactions").size(), 5u);
  EXPECT_TRUE(log.HasSubstr("lost")) << log.Dump();
}

TEST_F(MqttLinkTest, AnMqttsBrokerIsReachedWithItsCertificateChecked) {
  const std::string ca = broker.EnableTls();
  ASSERT_FALSE(ca.empty());
  ASSERT_TRUE(broker.Start());
  StartLink(ca);
  ASSERT_TRUE(Saw("up 1")) << log.Dump();
  Send(1, 1, 20);
  ASSERT_TRUE(test::WaitFor([&] { return Acked() == 20; }, 10s));
  link->Stop(1s);
  // Without that CA the system's do not know the certificate: no connection.
  events.clear();
  StartLink(dir.File("none.crt"));
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(events.empty());
}

TEST(MqttLinkBackoff, DoublesFromTheFirstWaitToTheLast) {
  EXPECT_EQ(MqttLink::Backoff(1, 1000ms, 30000ms), 1000ms);
  EXPECT_EQ(MqttLink::Backoff(3, 1000ms, 30000ms), 4000ms);
  EXPECT_EQ(MqttLink::Backoff(6, 1000ms, 30000ms), 30000ms);
  EXPECT_EQ(MqttLink::Backoff(1000, 1000ms, 30000ms), 30000ms);
}

}  // namespace
