// Scenario files, the command line and the transaction generator.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "SimClient.h"
#include "ctrlsim/CliOptions.h"
#include "ctrlsim/ParseUtil.h"
#include "ctrlsim/Scenario.h"
#include "ctrlsim/SerialSim.h"
#include "ctrlsim/TcpSim.h"
#include "ctrlsim/TransGenerator.h"
#include "support/TestSupport.h"

namespace px::sim {
namespace {

using test::SimClient;

TEST(ParseUtilTest, UnitListsDurationsAndEscapes) {
  EXPECT_EQ(ParseUnitList("1-3,7,2"), (std::vector<int>{1, 2, 3, 7}));
  EXPECT_EQ(ParseUnitList("all")->size(), 16u);
  for (const char* bad : {"", "0", "17", "3-1", "1,,2", "x", "1-"}) EXPECT_FALSE(ParseUnitList(bad)) << bad;
  EXPECT_EQ(ParseDurationMs("500ms"), 500);
  EXPECT_EQ(ParseDurationMs("1.5s"), 1500);
  EXPECT_EQ(ParseDurationMs("2"), 2000);
  EXPECT_EQ(ParseDurationMs("2m"), 120000);
  EXPECT_FALSE(ParseDurationMs("5h"));
  EXPECT_FALSE(ParseDurationMs("s"));
  EXPECT_EQ(Unescape("a\\x01\\r\\0\\\\b"), std::string("a\x01\r\0\\b", 6));
  EXPECT_EQ(Unescape("\\xZZ"), "\\xZZ");
  EXPECT_EQ(Unescape("end\\"), "end\\");
}

TEST(ScenarioTest, ParsesStepsAndRejectsMistakesWithTheLineNumber) {
  Scenario s;
  std::string err;
  ASSERT_TRUE(Scenario::Parse("# demo\n\nunit 3 silent\nat 5s unit 3 answer\n"
                              "at 500ms tcp 127.0.0.2:4001 unit 1-2 badsum 3\nat 1m unplug\n",
                              s, &err)) << err;
  ASSERT_EQ(s.Steps().size(), 4u);
  EXPECT_EQ(s.Steps()[0].action, "silent");
  EXPECT_EQ(s.Steps()[0].units, std::vector<int>{3});
  EXPECT_EQ(s.Steps()[1].atMs, 5000);
  EXPECT_EQ(s.Steps()[2].target, "127.0.0.2:4001");
  EXPECT_EQ(s.Steps()[2].args, std::vector<std::string>{"3"});
  EXPECT_EQ(s.Steps()[3].atMs, 60000);
  EXPECT_TRUE(s.Steps()[3].units.empty());

  const std::pair<const char*, const char*> bad[] = {
      {"unit 3 explode", "unknown action"},  {"unit 3 delay", "takes 1"},
      {"unit 99 silent", "bad unit list"},   {"unplug 3", "takes 0"},
      {"at soon unit 1 ok", "bad time"},     {"silent", "needs 'unit LIST'"},
      {"unit 1 unplug", "takes no unit"},    {"tcp", "missing address"},
  };
  for (const auto& [text, why] : bad) {
    Scenario t;
    EXPECT_FALSE(Scenario::Parse(std::string("\n") + text, t, &err)) << text;
    EXPECT_NE(err.find("line 2"), std::string::npos) << err;
    EXPECT_NE(err.find(why), std::string::npos) << err;
  }
}

TEST(ScenarioTest, AppliesToTheRightSimulator) {
  auto serialBank = std::make_shared<UnitBank>();
  px::test::TempDir dir;
  SerialSim serial(serialBank, SerialSim::Options{dir.File("tty"), 0, 0});
  ASSERT_TRUE(serial.Start());
  auto tcpBank = std::make_shared<UnitBank>();
  TcpSim tcp(tcpBank, TcpSim::Options{"127.0.0.2", 0});
  ASSERT_TRUE(tcp.Start());
  Scenario::Targets targets{&serial, {&tcp}};

  Scenario s;
  std::string err;
  ASSERT_TRUE(Scenario::Parse("unit 1,2 enable\nunit 2 delay 40\nunit 2 garbage \\x01z\n"
                              "tcp 127.0.0.2 unit 5 model KX470 9.9\ntcp " + tcp.Endpoint() + " refuse\n"
                              "unit 1 trans 4711 9\nunit 1 nuls 2 10\nunit 1 ok\nunplug\n"
                              "tcp 9.9.9.9:1 unit 1 ok\nserial refuse\n",
                              s, &err)) << err;
  const auto& st = s.Steps();
  for (std::size_t i = 0; i < 9; ++i) EXPECT_TRUE(Scenario::Apply(st[i], targets, &err)) << i << " " << err;
  EXPECT_TRUE(serialBank->Unit(1).Enabled());
  EXPECT_EQ(serialBank->Unit(2).GetFaults().delayMs, 40);
  EXPECT_EQ(serialBank->Unit(2).GetFaults().garbage, "\x01z");
  EXPECT_EQ(tcpBank->Unit(5).Model(), "KX470");
  EXPECT_FALSE(SimClient::Connect("127.0.0.2", tcp.Port()).Valid());
  EXPECT_EQ(serialBank->Unit(1).QueuedRecords(), 1);
  EXPECT_EQ(serialBank->Unit(1).GetFaults().nulCount, 0);
  EXPECT_FALSE(serial.Running());
  struct stat sb{};
  EXPECT_NE(lstat(dir.File("tty").c_str(), &sb), 0);

  EXPECT_FALSE(Scenario::Apply(st[9], targets, &err));
  EXPECT_NE(err.find("no such simulator"), std::string::npos);
  EXPECT_FALSE(Scenario::Apply(st[10], targets, &err));
  EXPECT_NE(err.find("is for a TCP address"), std::string::npos) << err;
  EXPECT_FALSE(Scenario::Apply(st[0], {nullptr, {}}, &err));  // nothing to act on
}

TEST(ScenarioTest, RunsTimedStepsInTimeOrder) {
  auto bank = std::make_shared<UnitBank>();
  TcpSim tcp(bank, TcpSim::Options{"127.0.0.1", 0});
  Scenario s;
  std::string err;
  ASSERT_TRUE(Scenario::Parse("at 60ms unit 4 disable\nat 10ms unit 4 enable\n", s, &err)) << err;
  std::vector<std::string> log;
  std::mutex m;
  s.Start({nullptr, {&tcp}}, [&](const std::string& l) {
    std::lock_guard g(m);
    log.push_back(l);
  });
  const auto until = [&](std::size_t n) {
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard g(m);
        if (log.size() >= n) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  };
  ASSERT_TRUE(until(1));
  EXPECT_TRUE(bank->Unit(4).Enabled());
  ASSERT_TRUE(until(2));
  EXPECT_FALSE(bank->Unit(4).Enabled());
  s.Stop();
  EXPECT_EQ(log[0], "scenario line 2: enable");
}

TEST(CliOptionsTest, ParsesSerialAndTcpOptions) {
  CliOptions o;
  std::string err;
  ASSERT_TRUE(CliOptions::Parse({"--pty-link", "/tmp/ttyX", "--baud", "19200", "--units", "1-4",
                                 "--tcp", "127.0.0.2:4001:1,2", "--tcp", "127.0.0.1:0", "-v",
                                 "--auto-trans", "250", "--cards", "12,000034", "--model", "KX470", "--push", "500"},
                                o, &err)) << err;
  EXPECT_TRUE(o.serial);
  EXPECT_EQ(o.ptyLink, "/tmp/ttyX");
  EXPECT_EQ(o.baud, 19200);
  EXPECT_EQ(o.units, (std::vector<int>{1, 2, 3, 4}));
  ASSERT_EQ(o.tcp.size(), 2u);
  EXPECT_EQ(o.tcp[0].address, "127.0.0.2");
  EXPECT_EQ(o.tcp[0].port, 4001);
  EXPECT_EQ(o.tcp[0].units, (std::vector<int>{1, 2}));
  EXPECT_EQ(o.tcp[1].units, std::vector<int>{1});
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.autoTransMs, 250);
  EXPECT_EQ(o.cards, (std::vector<std::string>{"12", "000034"}));
  EXPECT_EQ(o.model, "KX470");
  EXPECT_EQ(o.pushMs, 500);

  CliOptions tcpOnly;
  ASSERT_TRUE(CliOptions::Parse({"--tcp", "127.0.0.3:4001"}, tcpOnly, &err));
  EXPECT_FALSE(tcpOnly.serial);
  CliOptions none;
  ASSERT_TRUE(CliOptions::Parse({}, none, &err));
  EXPECT_TRUE(none.serial);
  EXPECT_EQ(none.units.size(), 16u);

  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--baud"}, {"--baud", "fast"}, {"--units", "0"},
                                             {"--tcp", "127.0.0.1"}, {"--tcp", "127.0.0.1:99999"},
                                             {"--tcp", "127.0.0.1:1:0"}, {"--bogus"}, {"--codes", ""}}) {
    CliOptions x;
    EXPECT_FALSE(CliOptions::Parse(bad, x, &err)) << bad[0];
  }
  EXPECT_NE(CliOptions::Usage().find("--pty-link"), std::string::npos);
}

TEST(CliOptionsTest, CardsFromFileOrListBecomeNumbersAndRecords) {
  px::test::TempDir dir;
  dir.Write("cards.txt", "# staff\n000101\n\n  77 \r\n12345678901234567890XYZ\n");
  EXPECT_EQ(CliOptions::LoadCards(dir.File("cards.txt")),
            (std::vector<std::string>{"000101", "77", "12345678901234567890XYZ"}));
  EXPECT_EQ(CliOptions::LoadCards("1, 2,,3"), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(CliOptions::CardNumber("77"), "000077");
  EXPECT_EQ(CliOptions::CardRecord("77"), "00007700000100000000");
  EXPECT_EQ(CliOptions::CardRecord("12345678901234567890XYZ"), "12345678901234567890");
}

TEST(TransGeneratorTest, EachTickQueuesOneCardPerEnabledUnit) {
  auto bank = std::make_shared<UnitBank>();
  bank->EnableUnits({2, 5});
  TransGenerator gen(bank, TransGenerator::Options{1000, {"000111", "000222"}, "09", 42});
  gen.Tick();
  gen.Tick();
  EXPECT_EQ(gen.Generated(), 4);
  EXPECT_EQ(bank->Unit(2).QueuedRecords(), 2);
  EXPECT_EQ(bank->Unit(1).QueuedRecords(), 0);
  bank->Unit(5).SetMaxRecordsPerReply(2);
  const std::string reply = bank->Handle(SimClient::Poll(5, "QA")).bytes;
  ASSERT_EQ(reply.size(), 6u + 2 + 30);
  for (int r = 0; r < 2; ++r) {
    const std::string rec = reply.substr(5 + 15 * r, 15);
    EXPECT_TRUE(rec.substr(8, 6) == "000111" || rec.substr(8, 6) == "000222") << rec;
    EXPECT_TRUE(rec[14] == '0' || rec[14] == '9') << rec;
  }

  // Running on its own thread, it stops promptly.
  TransGenerator fast(bank, TransGenerator::Options{5, {"1"}, "0", 1});
  fast.Start();
  for (int i = 0; i < 200 && fast.Generated() < 4; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  fast.Stop();
  EXPECT_GE(fast.Generated(), 4);
}

}  // namespace
}  // namespace px::sim
