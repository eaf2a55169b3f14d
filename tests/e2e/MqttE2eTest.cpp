// The real program publishing to a real broker (mosquitto) for a real
// subscriber (mosquitto_sub): every stored transaction once and in order,
// also across a broker outage and a restart of the program meanwhile.
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "common/Format.h"
#include "e2e/E2eFixture.h"
#include "events/MqttBroker.h"

using namespace px;
using namespace std::chrono_literals;

namespace {
class MqttE2e : public test::E2eFixture {
protected:
  test::MqttBroker broker{dir.Path()};
  test::MqttWatcher watcher{dir.Path(), broker.Port()};

  void Seed(int units) {
    std::vector<int> numbers;
    for (int u = 1; u <= units; ++u) {
      Exec(Db(), Format("insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) "
                        "values ('Door%02d', %d, '', 'KX4100', 'UP', 'Y')",
                        u, u));
      Exec(Db(), Format("insert into flrdet values ('Door%02d', 'UP')", u));
      numbers.push_back(u);
    }
    Exec(Db(), "insert into trcode values ('4','Door forced'), ('X','Down'), ('Y','Up')");
    bank->EnableUnits(numbers);
    // Short reconnect waits keep the test fast.
    WriteConfig("[Mqtt]\nBroker=" + broker.Url() +
                "\nUser=portex\nPassword=portex\nReconnectMinMs=100\nReconnectMaxMs=400\n");
  }
  // `n` records of each unit, with cards unique to the unit and the phase.
  void Queue(int units, int n, int phase) {
    const std::string stamp = sim::SimUnit::Stamp(std::time(nullptr));
    for (int u = 1; u <= units; ++u) {
      bank->Unit(u).SetMaxRecordsPerReply(10);
      for (int i = 0; i < n; ++i) bank->Unit(u).QueueRecord(stamp + Format("%d%02d%03d", phase, u, i) + "4");
    }
  }
  // Broker, subscriber, `units` controllers with `n` records each, server.
  void StartAll(int units, int n) {
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(watcher.Start());
    ASSERT_TRUE(watcher.WaitSubscribed());
    Seed(units);
    Queue(units, n, 1);
    StartServer();
  }
  long Stored() { return Count(Db(), "select count(*) from trans where trans_code = '4'"); }
  std::vector<nlohmann::json> Transactions() {
    std::vector<nlohmann::json> out;
    for (const auto& [topic, payload] : watcher.Messages("/transactions/")) {
      auto j = nlohmann::json::parse(payload);
      EXPECT_EQ(topic, "portex/transactions/" + j["tag"].get<std::string>());
      if (j["code"] == "4") out.push_back(j);
    }
    return out;
  }
  // Each unit's handed-over records arrived once each, in its order, and
  // the ids grew in the order of arrival.
  void ExpectEveryRecordOnceInOrder(int units, size_t total) {
    // A unit counts a record handed over once the next poll confirms it.
    ASSERT_TRUE(test::WaitFor([&] {
      size_t handed = 0;
      for (int u = 1; u <= units; ++u) handed += bank->Unit(u).HandedOver().size();
      return handed >= total;
    }, 10s));
    auto got = Transactions();
    ASSERT_EQ(got.size(), total);
    std::map<std::string, std::vector<std::string>> cards;
    long long lastId = 0;
    for (const auto& j : got) {
      const long long id = std::stoll(j["id"].get<std::string>());
      EXPECT_GT(id, lastId);
      lastId = id;
      cards[j["tag"]].push_back(j["card"]);
      for (const char* f : {"time", "description", "holder", "staff"}) EXPECT_TRUE(j.contains(f)) << f;
      EXPECT_EQ(j["description"], "Door forced");
      EXPECT_EQ(j["time"].get<std::string>().size(), 25u);  // 2026-12-09T10:15:00+01:00
    }
    for (int u = 1; u <= units; ++u) {
      auto handed = bank->Unit(u).HandedOver();
      auto& mine = cards[Format("Door%02d", u)];
      ASSERT_EQ(mine.size(), handed.size()) << "unit " << u;
      for (size_t i = 0; i < handed.size(); ++i) ASSERT_EQ(mine[i], handed[i].substr(8, 6)) << "unit " << u;
    }
  }
};
}  // namespace

TEST_F(MqttE2e, ABurstOf1000RecordsIsPublishedOnceEachInOrderWithStatesAndTheLastWill) {
  StartAll(4, 250);
  ASSERT_TRUE(test::WaitFor([&] { return Transactions().size() >= 1000; }, 90s)) << LogText();
  ExpectEveryRecordOnceInOrder(4, 1000);
  auto states = watcher.Messages("Door03/state");
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states[0].second, R"({"state":"UP","time":null})");  // as stored before the start
  // A unit that stops answering: its state, with the time it went down.
  bank->Unit(3).SetSilent(true);
  ASSERT_TRUE(test::WaitFor([&] { return watcher.Messages("Door03/state").size() == 2; }, 30s)) << LogText();
  auto down = nlohmann::json::parse(watcher.Messages("Door03/state")[1].second);
  EXPECT_EQ(down["state"], "DOWN");
  EXPECT_EQ(down["time"].get<std::string>().size(), 25u);
  // The program dies: the broker tells the subscribers with the last will.
  server->Signal(SIGKILL);
  server->Wait(5s);
  server.reset();
  ASSERT_TRUE(test::WaitFor([&] { return watcher.Messages("portex/status").size() == 2; }, 10s));
  EXPECT_EQ(watcher.Messages("portex/status")[0].second, "online");
  EXPECT_EQ(watcher.Messages("portex/status")[1].second, "offline");
}

TEST_F(MqttE2e, WhatIsStoredWhileTheBrokerIsDownArrivesInOrderAlsoAfterARestartOfTheProgram) {
  StartAll(2, 50);
  ASSERT_TRUE(test::WaitFor([&] { return Transactions().size() >= 100; }, 60s)) << LogText();
  // The broker goes while records keep coming.
  broker.Stop();
  watcher.Stop();
  Queue(2, 100, 2);
  ASSERT_TRUE(test::WaitFor([&] { return Stored() >= 300; }, 60s)) << LogText();
  std::this_thread::sleep_for(2s);  // several reconnect attempts
  // The program is restarted while the broker is still down.
  StopServer();
  Queue(2, 50, 3);
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return Stored() >= 400; }, 60s)) << LogText();
  // The broker is back; the subscriber is in before the program may send.
  ASSERT_TRUE(broker.Start(false));
  ASSERT_TRUE(watcher.Start());
  ASSERT_TRUE(watcher.WaitSubscribed());
  ASSERT_TRUE(broker.Admit());
  ASSERT_TRUE(test::WaitFor([&] { return Transactions().size() >= 400; }, 30s)) << LogText();
  std::this_thread::sleep_for(500ms);
  ExpectEveryRecordOnceInOrder(2, 400);
  StopServer();
  // A clean stop: "offline" said by the program itself.
  ASSERT_TRUE(test::WaitFor([&] { return watcher.Messages("portex/status").back().second == "offline"; }, 5s));
}
