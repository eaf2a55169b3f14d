#include "zk/ZkFixture.h"

#include "common/Format.h"

using namespace px;
using namespace px::test;

namespace {

class ZkTerminalTest : public ZkFixture {};

TEST_P(ZkTerminalTest, AddressFormsAndThePortSplit) {
  std::string d;
  int port = 0;
  EXPECT_TRUE(TZkTerminalTable::SplitAddress("192168001020:4371", d, port));
  EXPECT_EQ(d + " " + std::to_string(port), "192.168.1.20 4371");
  EXPECT_TRUE(TZkTerminalTable::SplitAddress("010000000005", d, port));
  EXPECT_EQ(d + " " + std::to_string(port), "10.0.0.5 4370");
  EXPECT_TRUE(TZkTerminalTable::SplitAddress("127.0.0.1:5000", d, port));  // already dotted
  EXPECT_EQ(d + " " + std::to_string(port), "127.0.0.1 5000");
  for (const char* bad : {"1921680010", "999168001020", "192168001020:x", "192.168.1", "10.0.0.300"})
    EXPECT_FALSE(TZkTerminalTable::SplitAddress(bad, d, port)) << bad;

  AddTerminal("F1", 1, "KXF7", "127000000001:4371");
  AddTerminal("F2", 2, "KXF18", "none");
  auto& t = Start().State().table;
  ASSERT_EQ(t.Count(), 2);
  EXPECT_EQ(t[1].address + ":" + std::to_string(t[1].port), "127.0.0.1:4371");
  EXPECT_TRUE(log.Has("ZKF8: F2 - IP not defined."));
  bool skipped = false;
  // The poll carries the port: it connects there and nowhere else.
  EXPECT_TRUE(zk->GetTransactions(1, "F1", "127000000001:4371", skipped));
  EXPECT_EQ(terminals[0]->calls.front(), "connect 127.0.0.1:4371");
  EXPECT_FALSE(zk->GetTransactions(1, "F1", "127000000001", skipped));
  EXPECT_TRUE(log.Has("F1 127.0.0.1 4370 Not Found!"));
}

TEST_P(ZkTerminalTest, TheTableStopsAtTheTwoHundredFiftySixthTerminal) {
  // Reported as the table fills, even when no row follows.
  for (int i = 1; i <= 256; ++i) AddTerminal("T" + std::to_string(i), i, "KXF7", Format("127000%3.3d%3.3d", i / 256, i % 256));
  auto& t = Start().State().table;
  EXPECT_EQ(t.Count(), 256);
  EXPECT_EQ(t[256].tag, "T256");
  EXPECT_EQ(log.Count("ZKF8: Total F8 exceeded 256"), 1);
}

TEST_P(ZkTerminalTest, RecordsBecomeTransactionsWithTheirDirectionMarks) {
  auto term = AddTerminal("F7", 2, "KXF7", "127000000001");
  // F18Ext off: state 7 and 255 mark "7", anything else no mark, afresh per record.
  term->logs = {Rec(42, 7), Rec(42, 1), Rec(43, 255)};
  Start();
  bool skipped;
  ASSERT_TRUE(zk->GetTransactions(2, "F7", "127000000001", skipped));
  EXPECT_EQ(host->saved, (std::vector<std::string>{"F7|091210150000427 127.0.0.1", "F7|09121015000042 127.0.0.1",
                                                   "F7|091210150000437 127.0.0.1"}));
  EXPECT_EQ(host->raw[0], "  2091210150000427 127.0.0.1");
  EXPECT_EQ(term->clears, 1);

  // F18Ext on: verify mode 101 exits, the rest enter; even units exit with EvenUnitAsExit.
  opts.settings.F18Ext = true;
  term->logs = {Rec(5, 1, 101), Rec(5, 1, 1), Rec(5, 7, 101)};
  Start();
  host->saved.clear();
  ASSERT_TRUE(zk->GetTransactions(3, "F7", "127000000001", skipped));
  EXPECT_EQ(host->saved[0].substr(3, 15), "091210150000059");
  EXPECT_EQ(host->saved[1].substr(3, 15), "091210150000050");
  EXPECT_EQ(host->saved[2].substr(3, 15), "091210150000057");
  opts.settings.EvenUnitAsExit = true;
  term->logs = {Rec(5, 1, 1)};
  Start();
  host->saved.clear();
  ASSERT_TRUE(zk->GetTransactions(2, "F7", "127000000001", skipped));
  EXPECT_EQ(host->saved[0].substr(3, 15), "091210150000059");
}

TEST_P(ZkTerminalTest, CorruptRecordsStopTheReadKeepTheLogAndDisableTheTerminal) {
  auto term = AddTerminal("F7", 1, "KXF7", "127000000001");
  // The store dates a record in this year: 2027 has no 29 February.
  opts.clock = std::make_shared<ManualClock>(DateTime{2027, 6, 1, 12, 0, 0, 0});
  Start();
  bool skipped;
  // User 0, a user above 999999 (with and without a mark), a month 13, and
  // days the store cannot date: 31 April, 29 February.
  ZkLogRecord month13 = Rec(9, 7), april31 = Rec(9, 7, 1, 31), feb29 = Rec(9, 7, 1, 29);
  month13.month = 13;
  april31.month = 4;
  feb29.month = 2;
  int good = 11;
  for (const ZkLogRecord& bad : {Rec(0, 7), Rec(1000000, 7), Rec(1000000, 1), month13, april31, feb29}) {
    host->saved.clear();
    host->states.clear();
    term->logs = {Rec(++good, 7), bad, Rec(99, 7)};
    EXPECT_FALSE(zk->GetTransactions(1, "F7", "127000000001", skipped));
    ASSERT_EQ(host->saved.size(), 2u) << bad.user << " " << bad.month;
    EXPECT_EQ(host->saved[0], "F7|09121015" + Format("%6.6d", good) + "7 127.0.0.1");
    EXPECT_EQ(host->saved[1].size(), 3u + 15u);
    EXPECT_EQ(host->saved[1].substr(11), "      X");
    EXPECT_EQ(host->states, (std::vector<std::string>{"F7=DOWN"}));
    EXPECT_EQ(term->logs.size(), 3u);  // not cleared
    EXPECT_TRUE(term->enabled);
  }
  EXPECT_EQ(host->noPoll.back(), "F7=Y");
  EXPECT_TRUE(log.Has("F7: No CLR due to corruption."));
  EXPECT_TRUE(log.HasSubstr("127.0.0.1: Trans Corrupted: 09121015000000"));
  EXPECT_TRUE(log.HasSubstr("127.0.0.1: Trans Corrupted: 31041015000009"));
  EXPECT_TRUE(log.HasSubstr("127.0.0.1: Trans Corrupted: 29021015000009"));
  // Polled again as it stands, the record stored before the corrupt one is
  // not stored twice.
  host->saved.clear();
  EXPECT_FALSE(zk->GetTransactions(1, "F7", "127000000001", skipped));
  EXPECT_EQ(host->saved.size(), 1u);
}

TEST_P(ZkTerminalTest, RetryWaitsSkipPollsWithoutCountingThemAndDisconnectsAreNoticed) {
  opts.settings.RetryWaitSec = 3;
  auto term = AddTerminal("F7", 1, "KXF7", "127000000001");
  term->refuseConnect = true;
  Start();
  bool skipped = true;
  EXPECT_FALSE(zk->GetTransactions(1, "F7", "127000000001", skipped));
  EXPECT_FALSE(skipped);  // a real failed connect
  EXPECT_TRUE(log.Has("IP.Failed to Connect to 127.0.0.1 Retry in 3 sec."));
  EXPECT_TRUE(log.Has("Failed to Connect: 127.0.0.1, P=4370"));
  EXPECT_FALSE(log.Has("F7 - Poll Error"));
  for (int tick = 0; tick < 3; ++tick) {
    EXPECT_FALSE(zk->GetTransactions(1, "F7", "127000000001", skipped));
    EXPECT_TRUE(skipped);
    zk->TickOneSecond();
  }
  EXPECT_TRUE(log.Has("Retry wait : 3"));
  EXPECT_TRUE(log.Has("Retry wait : 1"));
  EXPECT_EQ(term->connects, 1);
  term->refuseConnect = false;
  term->logs = {Rec(1, 7)};
  EXPECT_TRUE(zk->GetTransactions(1, "F7", "127000000001", skipped));
  EXPECT_EQ(term->connects, 2);

  // No log and no answer to the probe: the link is marked down with a retry wait.
  term->logsFail = true;
  term->probeAnswers = false;
  EXPECT_FALSE(zk->GetTransactions(1, "F7", "127000000001", skipped));
  EXPECT_TRUE(log.Has("F7: Network disconnect - 127.0.0.1 Retry in 3 sec."));
  EXPECT_FALSE(zk->GetTransactions(1, "F7", "127000000001", skipped));
  EXPECT_TRUE(skipped);
  // An empty log with a terminal that answers is a good poll.
  term->probeAnswers = true;
  for (int i = 0; i < 3; ++i) zk->TickOneSecond();
  EXPECT_TRUE(zk->GetTransactions(1, "F7", "127000000001", skipped));

  // Records it will not hand over (an error answer): a failed poll, and the
  // terminal is enabled again with its log.
  term->logs = {Rec(2, 7)};
  EXPECT_FALSE(zk->GetTransactions(1, "F7", "127000000001", skipped));
  EXPECT_FALSE(skipped);
  EXPECT_TRUE(term->enabled);
  EXPECT_EQ(term->logs.size(), 1u);
  EXPECT_TRUE(log.Has("F7: log not read, 1 records kept."));

  // A link closed by a time-out is connected again by the next command.
  const int connects = term->connects;
  term->linkUp = false;
  int value = 0;
  EXPECT_TRUE(zk->Send(Cmd("F7", "127000000001", "DTM"), value));
  EXPECT_EQ(term->connects, connects + 1);
}

TEST_P(ZkTerminalTest, CommandRingRoundTripsAndRefusesWhatItCannotHold) {
  auto& z = Start();
  std::string id;
  ASSERT_TRUE(z.SendQPut("F18A", "192168001020:4371", id, "KXF18", "03", "000042", "INS", "5"));
  EXPECT_EQ(id.size(), 9u);
  ZkCommand c;
  ASSERT_TRUE(z.SendQGet(c));
  EXPECT_EQ(c.tag + "|" + c.address + "|" + c.unit + "|" + c.kind + "|" + c.user + "|" + c.param + "|" + c.type,
            "F18A|192168001020:4371|5|INS|000042|03|KXF18");
  EXPECT_EQ(c.id, id);
  EXPECT_FALSE(z.SendQGet(c));
  // A tag of 13 characters would shift every later column: refused.
  EXPECT_FALSE(z.SendQPut("ABCDEFGHIJKLM", "192168001020", id, "KXF7", "", "1", "DEL", "1"));
  EXPECT_TRUE(log.HasSubstr("<ZK.QPut> tag of 13 characters"));
  EXPECT_FALSE(z.SendQPut("F7", "192168001020", id, "KXF7", "", "1\r\nforged", "DEL", "1"));
  // 199 commands wait; the 200th is refused, none is lost.
  for (int i = 0; i < 199; ++i) ASSERT_TRUE(z.SendQPut("F7", "192168001020", id, "KXF7", "", std::to_string(i), "DEL", "1"));
  EXPECT_FALSE(z.SendQPut("F7", "192168001020", id, "KXF7", "", "x", "DEL", "1"));
  for (int i = 0; i < 199; ++i) {
    ASSERT_TRUE(z.SendQGet(c));
    EXPECT_EQ(c.user, std::to_string(i));
  }
}

INSTANTIATE_TEST_SUITE_P(Db, ZkTerminalTest, testing::Values("sqlite"), DbBackendName);

}  // namespace
