// The configuration of the stream and the names it publishes under.
#include <gtest/gtest.h>

#include "events/HomeAssistant.h"
#include "events/StreamOptions.h"
#include "events/TopicNames.h"
#include "support/TestSupport.h"

using namespace px;

TEST(StreamOptions, BrokerAddressesAndTheSettingsThatSwitchTheStreamOff) {
  std::string host;
  int port = 0;
  bool tls = false;
  ASSERT_TRUE(StreamOptions::ParseBroker("mqtt://broker.local", host, port, tls));
  EXPECT_EQ(host + ":" + std::to_string(port) + (tls ? " tls" : ""), "broker.local:1883");
  ASSERT_TRUE(StreamOptions::ParseBroker("MQTTS://10.0.0.5:9883/", host, port, tls));
  EXPECT_EQ(host + ":" + std::to_string(port) + (tls ? " tls" : ""), "10.0.0.5:9883 tls");
  ASSERT_TRUE(StreamOptions::ParseBroker("mqtts://[::1]", host, port, tls));
  EXPECT_EQ(host + ":" + std::to_string(port), "::1:8883");
  for (const char* bad : {"tcp://h:1883", "mqtt://", "mqtt://h:", "mqtt://h:0", "mqtt://h:65536", "mqtt://u@h",
                          "mqtt://h/x", "mqtt://[::1"})
    EXPECT_FALSE(StreamOptions::ParseBroker(bad, host, port, tls)) << bad;

  test::CaptureLog log;
  auto read = [&](const std::string& text) { return StreamOptions::FromIni(TIniFile::FromText(text), log); };
  StreamOptions o = read("[Mqtt]\nBroker=mqtt://127.0.0.1:1999\nPrefix=site1/portex/\nQos=7\n");
  EXPECT_TRUE(o.Enabled());
  EXPECT_EQ(o.prefix, "site1/portex");
  EXPECT_EQ(o.qos, 1);
  EXPECT_EQ(o.retentionDays, 90);
  EXPECT_FALSE(read("").Enabled());
  EXPECT_FALSE(read("[Mqtt]\nBroker=mqtt://h\nPrefix=a/+/b\n").Enabled());
  EXPECT_FALSE(read("[Mqtt]\nBroker=http://h\n").Enabled());
  EXPECT_TRUE(log.HasSubstr("event stream off")) << log.Dump();
  EXPECT_EQ(read("[Events]\nRetentionDays=-3\n").retentionDays, 0);
}

TEST(StreamNames, EveryTagIsOneTopicLevelAndNoTwoTagsShareOne) {
  EXPECT_EQ(TopicNames::Level("Door 1"), "Door 1");
  EXPECT_EQ(TopicNames::Level("a/b+c#d%e"), "a%2Fb%2Bc%23d%25e");
  EXPECT_EQ(TopicNames::Level(std::string("x\0y\ty", 5)), "x%00y%09y");
  EXPECT_NE(TopicNames::Level("a/b"), TopicNames::Level("a%2Fb"));
  EXPECT_EQ(TopicNames::Level("Port\xE9"), "Port\xC3\xA9");  // Windows-1252 read as such
  EXPECT_EQ(TopicNames("p").Transactions("G/1"), "p/transactions/G%2F1");
  // Home Assistant's ids: letters, digits, '-' and '_'.
  EXPECT_EQ(HomeAssistant::ObjectId("Gate 1_a-b"), "Gate_201_5fa-b");
  EXPECT_NE(HomeAssistant::ObjectId("a b"), HomeAssistant::ObjectId("a_b"));
}
