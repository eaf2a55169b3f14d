#include <gtest/gtest.h>

#include <vector>

#include "engine/FrameFinder.h"
#include "engine/Protocol.h"

namespace px {
namespace {

const std::string kCr = "\r";
std::string Addr(int unit) { return std::string(1, UnitAddress(unit)); }
std::string Reply(int unit, const std::string& code, const std::string& data) {
  return Addr(unit) + code + data + ByteSumHex(data) + kCr;
}

struct RecordingSink : FrameSink {
  int nuls = 0, starts = 0, ends = 0;
  std::vector<std::string> records;
  void OnNul() override { ++nuls; }
  void OnCardStart() override { ++starts; }
  void OnCardRecord(const std::string& r) override { records.push_back(r); }
  void OnCardEnd() override { ++ends; }
};

// Feeds the pieces as a transport would after sending a request, and
// returns everything handed to the receive ring.
std::string FeedAll(FrameFinder& f, RecordingSink& sink, const std::vector<std::string>& pieces) {
  std::string ring;
  for (const auto& p : pieces) ring += f.Feed(p, sink);
  return ring;
}

TEST(SerialFinder, EveryReplyCodeIsFoundWhole) {
  const std::string rec = "010212300012349";
  for (const std::string& frame :
       {Reply(3, "QA", "00"), Reply(3, "QA", "4A" + rec + rec), Reply(3, "QR", "00" + rec), Reply(3, "DB", rec),
        Reply(3, "AD", ""), Reply(3, "RI", "000102"), Reply(3, "RS", ""), Reply(3, "VN", "KX4100V1.23"),
        Reply(3, "PR", "")}) {
    FrameFinder f(FrameFinder::Rules::Serial);
    f.SetState('W');
    RecordingSink sink;
    std::string ring = FeedAll(f, sink, {frame});
    EXPECT_EQ(ring, frame);
    EXPECT_EQ(f.State(), 'E');
    EXPECT_EQ(ExtractFrame(ring, true), frame);
  }
}

TEST(SerialFinder, PiecesOfAnySizeGiveTheSameFrame) {
  const std::string frame = Reply(7, "QA", "00" + std::string("010212300012349"));
  for (size_t cut = 1; cut < frame.size(); ++cut) {
    FrameFinder f(FrameFinder::Rules::Serial);
    f.SetState('W');
    RecordingSink sink;
    std::string ring = f.Feed(frame.substr(0, cut), sink);
    EXPECT_EQ(f.State(), 'S');
    // Nothing leaves before the header is complete.
    if (cut < 3) {
      EXPECT_EQ(ring, "");
    }
    ring += f.Feed(frame.substr(cut), sink);
    EXPECT_EQ(ring, frame) << cut;
    EXPECT_EQ(f.State(), 'E');
  }
  // Byte by byte.
  FrameFinder f(FrameFinder::Rules::Serial);
  RecordingSink sink;
  std::string ring;
  for (char c : frame) ring += f.Feed(std::string(1, c), sink);
  EXPECT_EQ(ring, frame);
}

TEST(SerialFinder, BytesBeforeAnAddressAreDroppedAndNulsOnlyReported) {
  FrameFinder f(FrameFinder::Rules::Serial);
  f.SetState('W');
  RecordingSink sink;
  std::string frame = Reply(2, "AD", "");
  std::string ring = FeedAll(f, sink, {std::string("junk\r\0\0", 7), std::string("\0", 1) + frame.substr(0, 2),
                                       std::string("\0", 1) + frame.substr(2)});
  EXPECT_EQ(ring, frame);
  EXPECT_EQ(sink.nuls, 4);
  EXPECT_EQ(f.State(), 'E');
  // Junk alone changes nothing but is not collected.
  FrameFinder g(FrameFinder::Rules::Serial);
  g.SetState('W');
  EXPECT_EQ(g.Feed("abc\r", sink), "");
  EXPECT_EQ(g.State(), 'W');
  // Addresses outside the bus range start nothing.
  EXPECT_EQ(g.Feed("\xE1QA00\r", sink), "");
  EXPECT_EQ(g.State(), 'W');
}

TEST(SerialFinder, NewAddressRestartsACutOffFrame) {
  FrameFinder f(FrameFinder::Rules::Serial);
  RecordingSink sink;
  std::string good = Reply(4, "RS", "");
  std::string ring = FeedAll(f, sink, {Addr(3) + "Q", Addr(3) + "QA0", good});
  EXPECT_EQ(ExtractFrame(ring, true), good);
}

TEST(SerialFinder, CrEndsTheFrameOnlyAfterThePiece) {
  FrameFinder f(FrameFinder::Rules::Serial);
  RecordingSink sink;
  std::string frame = Reply(1, "RS", "");
  std::string ring = f.Feed(frame + "xy", sink);
  EXPECT_EQ(ring, frame + "xy");  // serial keeps collecting to the end of the piece
  EXPECT_EQ(f.State(), 'E');
  EXPECT_EQ(ExtractFrame(ring, true), frame);
  // Two frames in one piece: the first is not lost.
  FrameFinder g(FrameFinder::Rules::Serial);
  std::string second = Reply(2, "AD", "");
  ring = g.Feed(frame + second, sink);
  EXPECT_EQ(ExtractFrame(ring, true), frame);
}

TEST(SerialFinder, CardUploadStreamsRecordsAndEndsWithAddressOfCommand) {
  FrameFinder f(FrameFinder::Rules::Serial);
  f.SetAnswerUnit(5);
  f.SetState('W');
  RecordingSink sink;
  std::string r1(20, 'a'), r2(20, 'b'), r3(20, 'c');
  std::string stream = Addr(5) + "RC" + r1 + r2 + r3 + kCr;
  std::string ring = FeedAll(f, sink, {stream.substr(0, 2), stream.substr(2, 30), stream.substr(32)});
  EXPECT_EQ(sink.starts, 1);
  EXPECT_EQ(sink.records, (std::vector<std::string>{r1, r2, r3}));
  EXPECT_EQ(sink.ends, 1);
  EXPECT_EQ(f.State(), 'C');
  EXPECT_FALSE(f.CardMode());
  EXPECT_EQ(ring, Addr(5) + "RC" + kCr);
}

TEST(SerialFinder, CardUploadHoldsPartialRecordsAndCanBeAbandoned) {
  FrameFinder f(FrameFinder::Rules::Serial);
  RecordingSink sink;
  EXPECT_EQ(f.Feed(Addr(2) + "RC" + std::string(25, 'x'), sink), "");
  EXPECT_TRUE(f.CardMode());
  EXPECT_EQ(f.State(), 'S');
  EXPECT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(f.CarryOver(), std::string(5, 'x'));
  f.AbandonCardUpload();
  EXPECT_FALSE(f.CardMode());
  EXPECT_EQ(f.CarryOver(), "");
  // A new address byte ends card mode too.
  EXPECT_EQ(f.Feed(Addr(2) + "RC" + std::string(5, 'x') + Addr(2) + "AD00\r", sink), Addr(2) + "AD00\r");
  EXPECT_FALSE(f.CardMode());
}

TEST(IpFinder, AnyHighByteStartsAndCrEndsAtOnce) {
  FrameFinder f(FrameFinder::Rules::Ip);
  f.SetState('W');
  RecordingSink sink;
  std::string frame = "\xE5QA00" + ByteSumHex("00") + kCr;
  std::string ring = f.Feed("zz" + frame + "tail", sink);
  EXPECT_EQ(ring, frame);  // bytes after the CR are dropped
  EXPECT_EQ(f.State(), 'E');
  // NUL is an ordinary byte on IP.
  FrameFinder g(FrameFinder::Rules::Ip);
  ring = g.Feed(std::string("\xD1QA\0\0", 5) + "\r", sink);
  EXPECT_EQ(ring, std::string("\xD1QA\0\0\r", 6));
  EXPECT_EQ(sink.nuls, 0);
}

TEST(IpFinder, HeaderSplitAcrossPiecesStillStartsCardUpload) {
  FrameFinder f(FrameFinder::Rules::Ip);
  f.SetAnswerUnit(9);
  RecordingSink sink;
  std::string ring = FeedAll(f, sink, {Addr(9) + "R", "C" + std::string(20, 'k') + "\r"});
  EXPECT_EQ(sink.starts, 1);
  EXPECT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(f.State(), 'C');
  EXPECT_EQ(ring, Addr(9) + "RC\r");
}

}  // namespace
}  // namespace px
