// The stream on a real database (SQLite, and PostgreSQL when at hand) with a
// broker connection the test plays: what is published, in which order, and
// how far the position moves.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "events/EventStream.h"
#include "platform/Database.h"
#include "platform/EventLoop.h"
#include "support/DbTestEnv.h"

using namespace px;

namespace {

class FakeLink : public IMqttLink {
public:
  Handlers h;
  std::vector<std::pair<std::uint64_t, MqttMessage>> sent;
  void Start(Handlers handlers) override { h = std::move(handlers); }
  void Publish(std::uint64_t c, std::vector<MqttMessage> m) override {
    for (auto& x : m) sent.emplace_back(c, std::move(x));
  }
  void Stop(std::chrono::milliseconds) override {}
  std::vector<std::int64_t> Tokens() const {
    std::vector<std::int64_t> t;
    for (const auto& [c, m] : sent)
      if (m.token) t.push_back(m.token);
    return t;
  }
  std::vector<std::string> Topics(const std::string& part) const {
    std::vector<std::string> t;
    for (const auto& [c, m] : sent)
      if (m.topic.find(part) != std::string::npos) t.push_back(m.topic + " " + m.payload);
    return t;
  }
};

class EventStreamTest : public test::DbTest {
protected:
  EventLoop loop;
  test::CaptureLog log;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(DateTime{2026, 12, 9, 10, 0, 0});
  std::unique_ptr<TDatabase> db;
  FakeLink* link = nullptr;
  std::unique_ptr<EventStream> stream;
  StreamOptions options;

  void SetUp() override {
    DbTest::SetUp();
    Db().CreateSchema("OstrPro");
    db = std::make_unique<TDatabase>(Db().Resolver(), Db().Dir().Path(), &log);
    db->AliasName = "OstrPro";
    db->Open();
    options.broker = "mqtt://127.0.0.1:1883";
    options.host = "127.0.0.1";
    options.pollEvery = std::chrono::hours(1);  // the test ticks
  }
  void Make(bool withLink = true) {
    stream.reset();
    auto l = std::make_unique<FakeLink>();
    link = withLink ? l.get() : nullptr;
    EventStreamHost h;
    h.loop = &loop;
    h.log = &log;
    h.clock = clock;
    h.db = db.get();
    h.units = [] { return std::vector<StreamUnit>{{"D1", "KX4100", false}, {"T/1", "KXF7", true}}; };
    stream = std::make_unique<EventStream>(h, options, withLink ? std::move(l) : nullptr);
    stream->Start();
  }
  void Run() { loop.Context().poll(); }
  void Connect(std::uint64_t c) {
    link->h.connected(c);
    Run();
  }
  void Ack(std::uint64_t c, std::vector<std::int64_t> tokens) {
    link->h.acknowledged(c, std::move(tokens));
    Run();
  }
  // `n` stored transactions of `tag`.
  void Store(int n, const std::string& tag = "D1", const std::string& date = "20261209") {
    for (int i = 0; i < n; ++i) {
      std::vector<std::string> row = {"", "101500", std::to_string(100000 + i), date, tag, "", "Ann", "S1",
                                      "", "", "", "", "0"};
      Db().Exec(TransactionEvent::InsertSql(row, "Access granted"));
    }
  }
  std::string Position() { return Db().Scalar("select last_id from event_position where stream = 'mqtt'"); }
};

TEST_P(EventStreamTest, EventsGoOutInStorageOrderAndThePositionMovesOnlyOverAcknowledgedOnes) {
  Make();
  Connect(1);
  EXPECT_EQ(Position(), "0");  // first start on an empty table
  Store(3);
  Store(2, "Gate/2");
  stream->AfterStorageTick();
  ASSERT_EQ(link->Tokens(), (std::vector<std::int64_t>{1, 2, 3, 4, 5}));
  const auto& [c, first] = link->sent[link->sent.size() - 5];
  EXPECT_EQ(c, 1u);
  EXPECT_EQ(first.topic, "portex/transactions/D1");
  EXPECT_EQ(link->sent.back().second.topic, "portex/transactions/Gate%2F2");
  auto j = nlohmann::json::parse(first.payload);
  EXPECT_EQ(j["id"], "1");
  EXPECT_EQ(j["card"], "100000");
  EXPECT_EQ(j["description"], "Access granted");
  EXPECT_EQ(first.qos, 1);
  EXPECT_FALSE(first.retain);

  // 2 before 1: nothing is acknowledged until 1 is.
  Ack(1, {2});
  stream->Tick();
  EXPECT_EQ(stream->Acknowledged(), 0);
  Ack(1, {1, 3});
  EXPECT_EQ(stream->Acknowledged(), 3);
  std::this_thread::sleep_for(EventStream::kSaveEvery);
  stream->Tick();
  EXPECT_EQ(Position(), "3");

  // A restart resumes after the last acknowledged event: 4 and 5 again.
  Make();
  Connect(1);
  EXPECT_EQ(link->Tokens(), (std::vector<std::int64_t>{4, 5}));
}

TEST_P(EventStreamTest, AReconnectHandsOverTheUnacknowledgedAgainAndIgnoresTheOldConnection) {
  options.window = 4;
  options.batch = 3;
  Make();
  Connect(1);
  Store(10);
  stream->AfterStorageTick();
  EXPECT_EQ(link->Tokens(), (std::vector<std::int64_t>{1, 2, 3, 4}));  // the window is full
  Ack(1, {1, 3});  // 3 came back, 2 did not: 3 keeps its place behind 2
  EXPECT_EQ(link->Tokens(), (std::vector<std::int64_t>{1, 2, 3, 4, 5}));
  link->h.lost(1);
  Run();
  link->sent.clear();
  Ack(1, {2, 4});  // late news of the old connection
  EXPECT_EQ(stream->Acknowledged(), 1);
  Connect(2);
  // 3 was acknowledged and is not sent again; the rest in order.
  EXPECT_EQ(link->Tokens(), (std::vector<std::int64_t>{2, 4, 5}));
  for (const auto& [c, m] : link->sent) EXPECT_EQ(c, 2u);
  Ack(2, {2, 4, 5});
  EXPECT_EQ(stream->Acknowledged(), 5);
  Ack(2, {6, 7, 8, 9});
  Ack(2, {10});
  EXPECT_EQ(stream->Acknowledged(), 10);
  EXPECT_EQ(stream->Unacknowledged(), 0u);
}

TEST_P(EventStreamTest, TheFirstStartBeginsAfterWhatIsStoredAndADatabaseWithoutTheTableIsGivenIt) {
  Db().Exec("drop table if exists trans_event");
  Make();
  Connect(1);
  EXPECT_EQ(Position(), "0");
  Db().Exec("delete from event_position");
  Store(3);
  Make();
  Connect(1);
  EXPECT_EQ(Position(), "3");
  EXPECT_TRUE(link->Tokens().empty());
}

TEST_P(EventStreamTest, UnitStatesAreRetainedStoredOnesFirstAndSentAgainOnEachConnection) {
  options.homeAssistant = true;
  Db().Exec("insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) "
            "values ('D1', 1, '', 'KX4100', 'DOWN', 'Y')");
  Make();
  Connect(1);
  auto states = link->Topics("/state");
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0], "portex/units/D1/state {\"state\":\"DOWN\",\"time\":null}");
  EXPECT_TRUE(link->sent.back().second.retain);
  // Discovery: a connectivity sensor and a last-transaction sensor per unit.
  auto config = link->Topics("homeassistant/");
  ASSERT_EQ(config.size(), 4u);
  EXPECT_NE(config[2].find("homeassistant/binary_sensor/portexd/T_2f1/config"), std::string::npos);
  EXPECT_NE(config[2].find("\"state_topic\":\"portex/units/T%2F1/state\""), std::string::npos);
  link->sent.clear();
  stream->UnitState("D1", "UP");
  ASSERT_EQ(link->sent.size(), 1u);
  TransactionEvent now;
  now.date = "20261209";
  now.time = "100000";
  EXPECT_EQ(nlohmann::json::parse(link->sent[0].second.payload)["time"], now.IsoTime());
  link->h.lost(1);
  Run();
  link->sent.clear();
  Connect(2);
  EXPECT_EQ(link->Topics("/state").size(), 1u);
  EXPECT_EQ(link->Topics("homeassistant/").size(), 4u);
}

TEST_P(EventStreamTest, RetentionDeletesByTheDayOfStoringAndNeverWhatTheStreamStillOwes) {
  options.retentionDays = 2;
  Make();
  Connect(1);
  Store(5, "D1", "20190101");  // a controller with its clock years behind
  stream->Tick();              // notes the newest id of 9 December
  EXPECT_EQ(Db().Scalar("select count(*) from trans_event"), "5");
  // Two days on, the same: stored less than two days ago.
  clock->Set(DateTime{2026, 12, 11, 10, 0, 0});
  Store(3);
  stream->Tick();
  EXPECT_EQ(Db().Scalar("select count(*) from trans_event"), "8");
  // On the 12th the rows of the 9th go, once acknowledged: 1..3 so far.
  Ack(1, {1, 2, 3});
  std::this_thread::sleep_for(EventStream::kSaveEvery);
  stream->Tick();
  clock->Set(DateTime{2026, 12, 12, 10, 0, 0});
  stream->Tick();
  EXPECT_EQ(Db().Scalar("select min(id) from trans_event"), "4");
  Ack(1, {4, 5, 6, 7, 8});
  std::this_thread::sleep_for(EventStream::kSaveEvery);
  stream->Tick();
  clock->Set(DateTime{2026, 12, 12, 11, 1, 0});  // the next hourly pass
  stream->Tick();
  EXPECT_EQ(Db().Scalar("select min(id) from trans_event"), "6");

  // With the stream off the position is not waited for.
  Make(false);
  clock->Set(DateTime{2026, 12, 14, 10, 0, 0});
  Store(1);
  stream->Tick();
  EXPECT_EQ(Db().Scalar("select min(id) from trans_event"), "9");
}

PX_INSTANTIATE_DB_TESTS(EventStreamTest);

}  // namespace
