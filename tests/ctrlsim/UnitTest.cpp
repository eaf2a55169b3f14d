// The protocol side of the simulator, without a transport.
#include <gtest/gtest.h>

#include "ctrlsim/Frame.h"
#include "ctrlsim/SimUnit.h"
#include "ctrlsim/UnitBank.h"

namespace px::sim {
namespace {

std::string Poll(int unit, const std::string& code) { return std::string(1, AddressByte(unit)) + code + kCR; }

std::string Cmd(int unit, const std::string& code, const std::string& params) {
  return std::string(1, AddressByte(unit)) + code + params + Checksum(params) + kCR;
}

// The data between the code and the checksum of a reply, after checking
// its frame: address, checksum of the data, CR.
std::string DataOf(const std::string& reply, int unit, const std::string& code) {
  EXPECT_GE(reply.size(), 6u);
  if (reply.size() < 6) return {};
  EXPECT_EQ(reply[0], AddressByte(unit));
  EXPECT_EQ(reply.substr(1, 2), code);
  EXPECT_EQ(reply.back(), kCR);
  const std::string data = reply.substr(3, reply.size() - 6);
  EXPECT_EQ(reply.substr(reply.size() - 3, 2), Checksum(data)) << Printable(reply);
  return data;
}

TEST(FrameTest, ChecksumAndReplyLayout) {
  EXPECT_EQ(Checksum("abc"), "26");
  EXPECT_EQ(Checksum(""), "00");
  EXPECT_EQ(Checksum("05"), "65");
  const std::string r = BuildReply(3, "RI", "123456");
  EXPECT_EQ(r, std::string("\xD2RI123456") + Checksum("123456") + "\r");
  EXPECT_EQ(AddressByte(1), '\xD0');
  EXPECT_EQ(AddressByte(16), '\xDF');
}

TEST(FrameTest, ParsesPollsCommandsAndDamagedFrames) {
  auto poll = ParseRequest(Poll(16, "QA"));
  ASSERT_TRUE(poll);
  EXPECT_EQ(poll->unit, 16);
  EXPECT_EQ(poll->code, "QA");
  EXPECT_TRUE(poll->params.empty());
  EXPECT_TRUE(poll->checksumOk);

  auto cmd = ParseRequest(Cmd(3, "PR", "05"));
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->params, "05");
  EXPECT_TRUE(cmd->checksumOk);

  auto bad = ParseRequest(std::string("\xD2PR0566\r"));
  ASSERT_TRUE(bad);
  EXPECT_FALSE(bad->checksumOk);
  // A tail too short to carry parameters and a checksum.
  auto shortTail = ParseRequest(std::string("\xD2PR5\r"));
  ASSERT_TRUE(shortTail);
  EXPECT_FALSE(shortTail->checksumOk);

  EXPECT_FALSE(ParseRequest(std::string("\xD2Q\r")));
  EXPECT_FALSE(ParseRequest(std::string("\xD2QA")));
  EXPECT_FALSE(ParseRequest(std::string("AQA\r")));
  EXPECT_FALSE(ParseRequest(""));
}

TEST(FrameTest, SplitterFindsFramesInPiecesAndDropsJunk) {
  FrameSplitter s;
  std::vector<ReceivedFrame> out;
  const auto t = SteadyClock::now();
  s.Feed("junk\r", t, out);                            // before any address byte
  s.Feed(std::string("\xD0Q"), t, out);
  s.Feed(std::string("A\r\xD1V"), t, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, Poll(1, "QA"));
  s.Feed(std::string("\xD2RI\r"), t, out);             // restarts the half frame for unit 2
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].bytes, Poll(3, "RI"));

  // An endless frame is given up rather than grown without limit.
  s.Feed(std::string(1, '\xD0') + std::string(FrameSplitter::kMaxFrame + 10, 'x') + "\r", t, out);
  EXPECT_EQ(out.size(), 2u);
}

TEST(FrameTest, PrintableNamesOddBytes) {
  EXPECT_EQ(Printable(std::string("\xD2QA00", 5) + std::string(1, '\0') + "\r"), "<U3>QA00<00><CR>");
}

class SimUnitTest : public ::testing::Test {
protected:
  SimUnitTest() { unit.SetEnabled(true); }
  std::string Ask(const std::string& frame) {
    auto req = ParseRequest(frame);
    EXPECT_TRUE(req);
    last = unit.Answer(*req);
    return last.bytes;
  }
  static std::string Rec(int i) { return "0101120" + std::to_string(i) + "00012" + std::to_string(i) + "0"; }

  SimUnit unit{5};
  ReplyPlan last;
};

TEST_F(SimUnitTest, VersionStatusAndCommandReplies) {
  unit.SetModel("KX6000", "2.01");
  EXPECT_EQ(DataOf(Ask(Poll(5, "VN")), 5, "VN"), "KX6000V2.01");
  unit.SetStatusB("1A2B3C");
  EXPECT_EQ(DataOf(Ask(Poll(5, "RI")), 5, "RI"), "1A2B3C");
  EXPECT_EQ(DataOf(Ask(Poll(5, "RS")), 5, "RS"), "");
  EXPECT_EQ(DataOf(Ask(Cmd(5, "PR", "05")), 5, "PR"), "");
  unit.SetCommandReply("CT", "00");
  EXPECT_EQ(DataOf(Ask(Cmd(5, "CT", "1")), 5, "CT"), "00");
  // The clock the host set is kept for inspection.
  Ask(Cmd(5, "SC", "0102253093015"));
  EXPECT_EQ(unit.LastParams("SC"), "0102253093015");
  EXPECT_EQ(unit.Received("PR"), 1);
  EXPECT_EQ(unit.TotalReceived(), 6);
  EXPECT_EQ(unit.ReceivedFrames().back(), Cmd(5, "SC", "0102253093015"));
}

TEST_F(SimUnitTest, QaDeliversUpToMaxRecordsAndQrRepeatsThem) {
  unit.SetStatusA("4F");
  unit.SetMaxRecordsPerReply(2);
  for (int i = 1; i <= 3; ++i) unit.QueueRecord(Rec(i));
  EXPECT_EQ(DataOf(Ask(Poll(5, "QA")), 5, "QA"), "4F" + Rec(1) + Rec(2));
  EXPECT_EQ(unit.UnconfirmedRecords(), 2);
  // The host missed the answer: the same records again.
  EXPECT_EQ(DataOf(Ask(Poll(5, "QR")), 5, "QR"), "4F" + Rec(1) + Rec(2));
  // A command in between is not a sign the block arrived.
  Ask(Cmd(5, "PR", "05"));
  EXPECT_EQ(DataOf(Ask(Poll(5, "QR")), 5, "QR"), "4F" + Rec(1) + Rec(2));
  // The next QA moves on.
  EXPECT_EQ(DataOf(Ask(Poll(5, "QA")), 5, "QA"), "4F" + Rec(3));
  EXPECT_EQ(unit.ConfirmedRecords(), 2);
  // A status request after it confirms; a later QR has nothing to repeat.
  Ask(Poll(5, "RI"));
  EXPECT_EQ(unit.ConfirmedRecords(), 3);
  EXPECT_EQ(DataOf(Ask(Poll(5, "QR")), 5, "QR"), "4F");
  EXPECT_EQ(DataOf(Ask(Poll(5, "QA")), 5, "QA"), "4F");
}

TEST_F(SimUnitTest, RecordsAreFixedWidthAndStatusRecordsEndInZ) {
  unit.SetStatusA("41");
  unit.SetStatusB("0203");
  const std::time_t when = 1700000000;
  unit.QueueTransaction("1234", '9', when);
  unit.QueueStatusRecord(when);
  unit.QueueRecord("too long to be a record");
  const std::string data = DataOf(Ask(Poll(5, "QA")), 5, "QA");
  ASSERT_EQ(data.size(), 2u + 3 * 15);
  const std::string stamp = SimUnit::Stamp(when);
  EXPECT_EQ(data.substr(2, 15), stamp + "1234  9");
  EXPECT_EQ(data.substr(17, 15), stamp + "41" + "0203" + "Z");
  EXPECT_EQ(data.substr(32, 15), "too long to be ");
}

TEST_F(SimUnitTest, PollOverridesAnswerDbOrAck) {
  unit.QueueRecord(Rec(1));
  unit.SetPollOverride("DB", 1);
  EXPECT_EQ(DataOf(Ask(Poll(5, "QA")), 5, "DB"), Rec(1));
  unit.SetPollOverride("AD", 1);
  unit.QueueRecord(Rec(2));
  EXPECT_EQ(DataOf(Ask(Poll(5, "QA")), 5, "AD"), "");
  EXPECT_EQ(unit.QueuedRecords(), 1);  // an ack delivers nothing
  EXPECT_EQ(DataOf(Ask(Poll(5, "QA")), 5, "QA"), "00" + Rec(2));
}

TEST_F(SimUnitTest, CardUploadStreamsTwentyCharacterRecords) {
  unit.SetCards({"000001000001000000001", "short"});
  const std::string r = Ask(Poll(5, "RC"));
  EXPECT_EQ(r, std::string(1, AddressByte(5)) + "RC" + "00000100000100000000" + "short               " + "\r");
  unit.SetCardCut(1);
  EXPECT_EQ(Ask(Poll(5, "RC")), std::string(1, AddressByte(5)) + "RC" + "00000100000100000000");
}

TEST_F(SimUnitTest, SilentDisabledAndDamagedRequestsGetNoAnswer) {
  unit.SetSilent(true);
  Ask(Poll(5, "QA"));
  EXPECT_FALSE(last.answer);
  unit.SetSilent(false);
  unit.SetEnabled(false);
  Ask(Poll(5, "QA"));
  EXPECT_FALSE(last.answer);
  unit.SetEnabled(true);
  Ask(std::string("\xD4PR0500\r"));
  EXPECT_FALSE(last.answer);
  EXPECT_EQ(unit.BadRequests(), 1);
  EXPECT_EQ(unit.Received("QA"), 2);  // heard all the same
  EXPECT_EQ(unit.RepliesSent(), 0);
  unit.ResetCounters();
  EXPECT_EQ(unit.TotalReceived(), 0);
}

TEST_F(SimUnitTest, BadChecksumWearsOffAfterKReplies) {
  unit.SetBadChecksum(2);
  for (int i = 0; i < 2; ++i) {
    const std::string r = Ask(Poll(5, "RI"));
    EXPECT_NE(r.substr(r.size() - 3, 2), Checksum(r.substr(3, r.size() - 6)));
  }
  DataOf(Ask(Poll(5, "RI")), 5, "RI");  // checks a good checksum
}

TEST_F(SimUnitTest, PlanCarriesDelayNulsGarbageAndTcpFaults) {
  unit.SetDelay(300);
  unit.SetNuls(3, 100);
  unit.SetGarbage("\x01zz");
  unit.SetPieces(3, 20);
  unit.SetCloseMidFrame(1);
  const std::string full = BuildReply(5, "RS", "");
  Ask(Poll(5, "RS"));
  EXPECT_TRUE(last.answer);
  EXPECT_EQ(last.delayMs, 300);
  EXPECT_EQ(last.nulCount, 3);
  EXPECT_EQ(last.nulGapMs, 100);
  EXPECT_EQ(last.pieces, 3);
  EXPECT_TRUE(last.closeAfter);
  EXPECT_EQ(last.bytes, "\x01zz" + full.substr(0, full.size() / 2));
  Ask(Poll(5, "RS"));
  EXPECT_FALSE(last.closeAfter);
  EXPECT_EQ(last.bytes, "\x01zz" + full);
  unit.ClearFaults();
  Ask(Poll(5, "RS"));
  EXPECT_EQ(last.bytes, full);
  EXPECT_EQ(last.delayMs, 0);
}

TEST(UnitBankTest, RoutesByAddressAndIgnoresAbsentUnits) {
  UnitBank bank;
  bank.EnableUnits({2, 9});
  EXPECT_EQ(bank.EnabledUnits(), (std::vector<int>{2, 9}));
  std::vector<std::string> trace;
  bank.SetTrace([&](const std::string& s) { trace.push_back(s); }, "bus");
  EXPECT_EQ(bank.Handle(Poll(9, "RS")).bytes, BuildReply(9, "RS", ""));
  EXPECT_FALSE(bank.Handle(Poll(3, "RS")).answer);
  EXPECT_FALSE(bank.Handle("garbage").answer);
  EXPECT_EQ(bank.MalformedFrames(), 1);
  EXPECT_EQ(bank.Unit(3).Received("RS"), 1);
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[0], "bus rx <U9>RS<CR>");
  EXPECT_EQ(trace[1], "bus tx <U9>RS00<CR>");
  EXPECT_THROW(bank.Unit(0), std::out_of_range);
  EXPECT_THROW(bank.Unit(17), std::out_of_range);
}

}  // namespace
}  // namespace px::sim
