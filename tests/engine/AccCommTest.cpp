#include <gtest/gtest.h>

#include "engine/AccComm.h"
#include "engine/EngineLines.h"
#include "engine/Protocol.h"
#include "support/TestSupport.h"

namespace px::test {
namespace {

// One bus with no port: replies are fed as the port would deliver them and
// the steps are called as the bus thread would have the loop call them.
class AccCommTest : public ::testing::Test {
protected:
  AccCommTest()
      : ctx{loop,     log,       cfg,     std::make_shared<ManualClock>(DateTime{2026, 3, 1, 8, 0, 0, 0}),
            nullptr,  nullptr,   monitor, settings,
            scanning, stopping,  [this](const std::string& l) { replies.push_back(l); },
            [this](const std::string& l) { raw.push_back(l); }},
        acc(ctx, 2) {
    cfg.appDir = dir.Path() + "/";
    monitor.LED_Init();
  }

  static std::string Reply(int unit, const std::string& code, const std::string& data) {
    return std::string(1, UnitAddress(unit)) + code + data + ByteSumHex(data) + "\r";
  }
  // Polls (or commands) `unit`, then lets it answer with `frame`.
  void Exchange(int unit, const std::string& frame, const std::string& command = "") {
    for (int u = 1; u <= 16; ++u) acc.Unit(u).Enabled = u == unit;
    if (!command.empty()) acc.Queue_PutCommand("123456789" + command);
    auto result = acc.IdleStep(turn);
    ASSERT_EQ(result, command.empty() ? TAccComm::IdleResult::PollSent : TAccComm::IdleResult::CommandSent);
    ASSERT_EQ(turn.unit, unit);
    acc.Receive(frame);
    ASSERT_EQ(acc.State(), 'E');
    acc.ProcessBusReply(turn);
  }
  std::vector<std::string> Trans() {
    std::vector<std::string> out;
    std::string l;
    IIntakeJournal::Seq seq = 0;
    while (acc.GetTrans(l, seq)) out.push_back(l);
    return out;
  }

  TempDir dir;
  CaptureLog log;
  EventLoop loop;
  EngineConfig cfg;
  CommMonitor monitor;
  EngineSettings settings;
  std::atomic<bool> scanning{false}, stopping{false};
  std::vector<std::string> replies, raw;
  EngineContext ctx;
  TAccComm acc;
  BusTurn turn;
};

const std::string kRec1 = "010212300012349";
const std::string kRec2 = "010212310000559";

TEST_F(AccCommTest, RecordsOfPollRepliesBecomeTransactionsExceptStatusRecords) {
  acc.Unit(4).FailureCount = 3;
  Exchange(4, Reply(4, "QA", "41" + kRec1 + "01021231310012Z" + kRec2));
  EXPECT_EQ(Trans(), (std::vector<std::string>{"T0204" + kRec1, "T0204" + kRec2}));
  EXPECT_EQ(raw, (std::vector<std::string>{" 20" + kRec1, " 20" + kRec2}));
  EXPECT_EQ(acc.Unit(4).StatusA, "31");  // from the status record, which came after
  EXPECT_EQ(acc.Unit(4).StatusB, "0012");
  EXPECT_TRUE(acc.Unit(4).StatusRequest);
  EXPECT_EQ(acc.Unit(4).FailureCount, 0);
  EXPECT_EQ(acc.State(), 'I');
  EXPECT_TRUE(log.Has("SR: B2 U4: OK (Poll)"));
  EXPECT_EQ(monitor.BusLed(2, 4), CommMonitor::kGreen);

  // Only the two status characters: status stored, a good poll, no records.
  acc.Unit(5).FailureCount = 2;
  Exchange(5, Reply(5, "QA", "7F"));
  EXPECT_EQ(acc.Unit(5).StatusA, "7F");
  EXPECT_EQ(acc.Unit(5).FailureCount, 0);
  EXPECT_TRUE(Trans().empty());

  // DB: records from the first data character, no status request.
  Exchange(6, Reply(6, "DB", kRec1));
  EXPECT_EQ(Trans(), (std::vector<std::string>{"T0206" + kRec1}));
  EXPECT_TRUE(acc.Unit(6).DataBlock);
  EXPECT_FALSE(acc.Unit(6).StatusRequest);
}

TEST_F(AccCommTest, ABlockThatIsNotTakenIsAskedForAgain) {
  // The unit deletes a block at any poll but QR: a block with a checksum
  // error, or one the queue has no room for, must come again.
  acc.Unit(4).Model = "KX4100";
  std::string data = "00" + kRec1 + kRec2;
  Exchange(4, std::string(1, UnitAddress(4)) + "QA" + data + "00\r");
  EXPECT_TRUE(log.Has("CheckSum Error: P=00 C=" + ByteSumHex(data)));
  EXPECT_TRUE(Trans().empty());
  EXPECT_TRUE(raw.empty());
  EXPECT_TRUE(acc.Unit(4).RepeatRequest);
  Exchange(4, Reply(4, "QR", data));
  EXPECT_EQ(Trans(), (std::vector<std::string>{"T0204" + kRec1, "T0204" + kRec2}));
  EXPECT_FALSE(acc.Unit(4).RepeatRequest);
}

TEST_F(AccCommTest, AddressAndCrAloneIsNoAnswer) {
  acc.Unit(4).Model = "KX4100";
  acc.Unit(4).FailureCount = 6;  // down
  Exchange(4, std::string(1, UnitAddress(4)) + "\r");
  EXPECT_EQ(acc.Unit(4).FailureCount, 6);
  EXPECT_TRUE(acc.Unit(4).RepeatRequest);
  EXPECT_FALSE(log.HasSubstr("Controller Up"));
  EXPECT_TRUE(Trans().empty());
  EXPECT_EQ(acc.State(), 'I');
  // A command answered that way fails.
  Exchange(4, std::string(1, UnitAddress(4)) + "\r", BuildCommandFrame(4, "PR", "05"));
  EXPECT_EQ(replies, (std::vector<std::string>{"M0204123456789XX"}));
}

TEST_F(AccCommTest, AFullQueueRefusesABlockAndStopsAskingUntilItDrains) {
  acc.Unit(5).Model = "KX4100";
  std::string block = "00", big = "00";
  for (int i = 0; i < 100; ++i) block += kRec1;
  for (int i = 0; i < 150; ++i) big += kRec2;
  for (int i = 0; i < 39; ++i) Exchange(5, Reply(5, "QA", block));
  EXPECT_TRUE(log.Has("Bus 2 transaction queue holds 2000 lines: records are not asked for until it drains"));
  Exchange(5, Reply(5, "QA", big));
  EXPECT_TRUE(acc.Unit(5).RepeatRequest);
  EXPECT_TRUE(log.HasSubstr("has no room for the 150 records of B2 U5: they are asked for again"));
  // While the queue is full a unit owing a repeat is not polled at all.
  EXPECT_EQ(acc.IdleStep(turn), TAccComm::IdleResult::NoneEnabled);
  EXPECT_EQ(Trans().size(), 3900u);
  Exchange(5, Reply(5, "QR", big));
  EXPECT_TRUE(log.Has("Bus 2 transaction queue drained to 0 lines: records are asked for again"));
  EXPECT_EQ(Trans().size(), 150u);
  EXPECT_FALSE(acc.Unit(5).RepeatRequest);
}

TEST_F(AccCommTest, VersionStatusAndAcknowledgeReplies) {
  Exchange(1, Reply(1, "VN", "KX9999V4.5"));
  EXPECT_EQ(acc.Unit(1).Model, "KX9999");
  EXPECT_EQ(acc.Unit(1).Version, "4.5");
  EXPECT_FALSE(acc.Unit(1).ModelKnown);
  EXPECT_TRUE(log.Has("B2 U1: KX9999V4.5"));
  EXPECT_TRUE(replies.empty());

  acc.Unit(2).StatusRequest = true;
  acc.Unit(2).FailureCount = 4;
  Exchange(2, Reply(2, "RI", "0A0B0C"));
  EXPECT_EQ(acc.Unit(2).StatusB, "0A0B0C");
  EXPECT_FALSE(acc.Unit(2).StatusRequest);
  EXPECT_EQ(acc.Unit(2).FailureCount, 0);

  acc.Unit(3).StatusRequest = true;
  Exchange(3, Reply(3, "RS", ""));
  EXPECT_FALSE(acc.Unit(3).StatusRequest);
  EXPECT_TRUE(log.Has("SR: B2 U3: OK (Sts.S)"));

  acc.Unit(7).FailureCount = 2;
  Exchange(7, Reply(7, "AD", ""));
  EXPECT_TRUE(log.Has("SR: B2 U7: OK (ACK)"));
  EXPECT_EQ(acc.Unit(7).FailureCount, 2);  // an acknowledgement is not a poll answer
}

TEST_F(AccCommTest, CommandRepliesGoToTheRequesterWithTheirId) {
  Exchange(3, Reply(3, "PR", ""), BuildCommandFrame(3, "PR", "05"));
  EXPECT_EQ(replies, (std::vector<std::string>{"M0203123456789OKPR0"}));
  EXPECT_TRUE(log.Has("PULSE to B2 U3"));
  EXPECT_TRUE(log.Has("SR: B2 U3: Cmd OK (PULSE)"));
  // VERSI is answered by VN: while a command is in flight it is a command reply.
  replies.clear();
  Exchange(3, Reply(3, "VN", "KX4100V1"), BuildCommandFrame(3, "VN", ""));
  EXPECT_EQ(replies, (std::vector<std::string>{"M0203123456789OKVNKX4100V1" + ByteSumHex("KX4100V1").substr(0, 1)}));
  EXPECT_EQ(acc.Unit(3).Model, "");
  replies.clear();
  Exchange(3, Reply(3, "AR", "1"), BuildCommandFrame(3, "AR", "1"));
  EXPECT_TRUE(log.Has("SR: B2 U3: Cmd OK (ARMZN)"));
}

TEST_F(AccCommTest, TimeOutsOfPollsAndCommands) {
  for (int u = 1; u <= 16; ++u) acc.Unit(u).Enabled = u == 9;
  acc.IdleStep(turn);
  acc.GiveUpAnswer(turn);  // not yet: ticks remain
  EXPECT_EQ(acc.State(), 'W');
  for (int i = 0; i < TAccComm::kReplyTicks; ++i) acc.TickTimeout();
  acc.GiveUpAnswer(turn);
  EXPECT_EQ(acc.State(), 'I');
  EXPECT_TRUE(acc.Unit(9).RepeatRequest);
  EXPECT_EQ(acc.Unit(9).FailureCount, 1);
  EXPECT_TRUE(log.Has("SR: B2 U9: Failed. (TO)(1)"));
  EXPECT_EQ(monitor.BusLed(2, 9), CommMonitor::kRed);

  acc.Queue_PutCommand("123456789" + BuildCommandFrame(9, "PR", "05"));
  EXPECT_EQ(acc.IdleStep(turn), TAccComm::IdleResult::CommandSent);
  acc.Receive(std::string(1, UnitAddress(9)) + "PR");  // half an answer
  for (int i = 0; i < TAccComm::kReplyTicks; ++i) acc.TickTimeout();
  acc.GiveUpAnswer(turn);
  EXPECT_EQ(replies, (std::vector<std::string>{"M0209123456789XX"}));
  EXPECT_EQ(acc.Unit(9).FailureCount, 1);
  EXPECT_EQ(acc.State(), 'I');

  // Up and down: the sixth failure in a row reports the unit down, once.
  for (int i = 0; i < 6; ++i) acc.ReportPollTimeout(9);
  EXPECT_EQ(acc.Unit(9).FailureCount, 6);
  EXPECT_EQ(log.Count("SR: Controller Down: B2 U9"), 1);
  acc.UpdateUnitUpDown(9, true);
  EXPECT_EQ(Trans(), (std::vector<std::string>{"S09DN02", "S09UP02"}));
  EXPECT_EQ(log.Count("Controller Up: B2 U9"), 1);
}

TEST_F(AccCommTest, FullReceiveRingKeepsUnreadBytes) {
  for (int u = 1; u <= 16; ++u) acc.Unit(u).Enabled = u == 1;
  acc.IdleStep(turn);
  std::string flood = std::string(1, UnitAddress(1)) + "QA" + std::string(ByteRing::kDefaultSize + 100, '0');
  acc.Receive(flood);
  EXPECT_EQ(log.CountSubstr("<RxFull>"), 1);
  acc.Receive("\r");
  ASSERT_EQ(acc.State(), 'E');
  acc.ProcessBusReply(turn);
  // What was kept is the start of the frame, not its end.
  EXPECT_EQ(acc.Unit(1).StatusA, "00");
}

TEST_F(AccCommTest, MarkingTheBusDownReportsEveryEnabledUnit) {
  acc.Unit(2).Enabled = true;
  acc.Unit(11).Enabled = true;
  acc.RefreshBusStatus(true);
  EXPECT_EQ(Trans(), (std::vector<std::string>{"S02DN02", "S11DN02"}));
  EXPECT_EQ(acc.Unit(2).FailureCount, 6);
  stopping = true;
  acc.RefreshBusStatus(true);
  EXPECT_TRUE(Trans().empty());
}

}  // namespace
}  // namespace px::test
