// The pieces of the IP side that need no socket: the command queue's
// re-queue rule, the reply reader and the checksum check.
#include <gtest/gtest.h>

#include "engine/IPCommandQueue.h"
#include "engine/IPReplyReader.h"
#include "engine/Protocol.h"
#include "support/TestSupport.h"

namespace px::test {
namespace {

std::string Reply(int unit, const std::string& code, const std::string& data) {
  return std::string(1, UnitAddress(unit)) + code + data + ByteSumHex(data) + kCR;
}

TEST(IPCommandQueueTest, CommandsForOtherAddressesKeepTheirOrderAndWait) {
  CaptureLog log;
  TIPCommandQueue q("q", &log);
  ASSERT_TRUE(q.Put("10.0.0.2", "B1"));
  ASSERT_TRUE(q.Put("10.0.0.1", "A1"));
  ASSERT_TRUE(q.Put("10.0.0.2", "B2"));
  ASSERT_TRUE(q.Put("10.0.0.1", "A2"));
  std::string line;
  ASSERT_TRUE(q.Get("10.0.0.1", line));
  EXPECT_EQ(line, "A1");
  ASSERT_TRUE(q.Get("10.0.0.1", line));
  EXPECT_EQ(line, "A2");
  EXPECT_FALSE(q.Get("10.0.0.1", line));
  std::string ip;
  ASSERT_TRUE(q.GetAny(ip, line));
  EXPECT_EQ(ip + "/" + line, "10.0.0.2/B1");
  ASSERT_TRUE(q.Get("10.0.0.2", line));
  EXPECT_EQ(line, "B2");
  EXPECT_TRUE(q.Empty());
}

TEST(IPCommandQueueTest, FullQueueDropsTheNewestAndClearReportsEachEntry) {
  CaptureLog log;
  TIPCommandQueue q("IP test queue", &log);
  for (size_t i = 1; i < TIPCommandQueue::kSlots; ++i) ASSERT_TRUE(q.Put("1.2.3.4", "x"));
  EXPECT_FALSE(q.Put("1.2.3.4", "y"));
  EXPECT_TRUE(log.HasSubstr("IP test queue full"));
  int n = 0;
  q.Clear([&](const std::string& ip, const std::string& line) {
    EXPECT_EQ(ip, "1.2.3.4");
    EXPECT_EQ(line, "x");
    ++n;
  });
  EXPECT_EQ(n, static_cast<int>(TIPCommandQueue::kSlots) - 1);
  const std::string line = "123456789" + std::string(1, UnitAddress(7)) + "PR\r";
  EXPECT_EQ(TIPCommandQueue::IdOf(line), "123456789");
  EXPECT_EQ(TIPCommandQueue::UnitOf(line), 7);
  EXPECT_EQ(TIPCommandQueue::FrameOf(line), line.substr(9));
  // A short line reads as empty fields, not past its end.
  EXPECT_EQ(TIPCommandQueue::FrameOf("1234"), "");
  EXPECT_EQ(TIPCommandQueue::UnitOf("1234"), -kAddressBase);
}

class Recorder : public IPReplySink {
public:
  void OnPollHeader(int u, const std::string& code, const std::string& a) override {
    events.push_back("H" + std::to_string(u) + code + a);
  }
  void OnRecord(int u, const std::string& r) override { events.push_back("R" + std::to_string(u) + r); }
  void OnFrameEnd(int u, const std::string& f) override {
    events.push_back("E" + std::to_string(u) + ":" + std::to_string(f.size()));
  }
  std::vector<std::string> events;
};

TEST(IPReplyReaderTest, PollRepliesAreCutIntoRecordsOtherRepliesAreWhole) {
  Recorder r;
  std::string qa = Reply(3, "QA", "41" "010314050001230" "0103140600000AZ");
  ReadIPReplies("junk" + qa + Reply(3, "RI", "000300"), r);
  ASSERT_EQ(r.events.size(), 5u);
  EXPECT_EQ(r.events[0], "H3QA41");
  EXPECT_EQ(r.events[1], "R3010314050001230");
  EXPECT_EQ(r.events[2], "R30103140600000AZ");
  EXPECT_EQ(r.events[3], "E3:" + std::to_string(qa.size()));
  EXPECT_EQ(r.events[4], "E3:12");
  // A record cut short by the CR is not a record.
  Recorder cut;
  ReadIPReplies(std::string(1, UnitAddress(1)) + "QR00" + "0103" + "\r", cut);
  EXPECT_EQ(cut.events, (std::vector<std::string>{"H1QR00", "E1:10"}));
  // Frames beyond unit 16 keep their number (any byte above 0xCF starts one).
  Recorder high;
  ReadIPReplies(std::string(1, static_cast<char>(0xE5)) + "VNX\r", high);
  EXPECT_EQ(high.events, (std::vector<std::string>{"E22:5"}));
  EXPECT_EQ(ReplyData(Reply(1, "VN", "KX4100V1.2")), "KX4100V1.2");
  EXPECT_EQ(ReplyData("x"), "");
}

TEST(IPReplyReaderTest, ChecksumIsCheckedOnTheFirstFrameWithData) {
  std::string good = Reply(2, "QA", "00" "010314050001230");
  EXPECT_TRUE(VerifyFrameCheckSum(good));
  std::string bad = good;
  bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';
  EXPECT_FALSE(VerifyFrameCheckSum(bad));
  // Only the first frame counts; a cut-off start before it is ignored.
  EXPECT_TRUE(VerifyFrameCheckSum(std::string(1, UnitAddress(2)) + "QA0" + good + bad));
  // Up to 7 characters (a bare status) are not checked.
  EXPECT_TRUE(VerifyFrameCheckSum(std::string(1, UnitAddress(2)) + "QA00ZZ\r"));
  EXPECT_FALSE(VerifyFrameCheckSum(std::string(1, UnitAddress(2)) + "QA000ZZ\r"));
  EXPECT_TRUE(VerifyFrameCheckSum(""));
}

TEST(IPReplyReaderTest, ControllerGoesDownAtTheFourthFailureAndUpOnce) {
  int failures = 0;
  std::vector<int> changes;
  for (int i = 0; i < 6; ++i) changes.push_back(CountIPPoll(failures, false));
  EXPECT_EQ(changes, (std::vector<int>{0, 0, 0, -1, 0, 0}));
  EXPECT_EQ(failures, 4);
  EXPECT_EQ(CountIPPoll(failures, true), 1);
  EXPECT_EQ(CountIPPoll(failures, true), 0);
  // Three failures are not down, so the next good poll is no "up".
  for (int i = 0; i < 3; ++i) CountIPPoll(failures, false);
  EXPECT_EQ(CountIPPoll(failures, true), 0);
}

}  // namespace
}  // namespace px::test
