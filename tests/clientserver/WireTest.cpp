// The wire transform and the request texts that client programs build.
#include <gtest/gtest.h>

#include "clientserver/ClientWire.h"
#include "common/StrUtil.h"
#include "common/TextCodec.h"

using namespace px;

namespace {

TEST(ScrambleTest, KnownBytesAndCarriageReturns) {
  EXPECT_EQ(ScrambleClientText("abc"), "\x9E\x26\x36");
  // CR itself, and the bytes that would turn into CR, pass unchanged.
  EXPECT_EQ(ScrambleClientText("\r\r\r"), "\r\r\r");
  EXPECT_EQ(ScrambleClientText("\xF2"), "\xF2");          // complemented position
  EXPECT_EQ(ScrambleClientText("a\xD0"), "\x9E\xD0");     // swapped position
  EXPECT_EQ(ScrambleClientText("ab\xD0"), "\x9E\x26\xD0");
  EXPECT_EQ(ScrambleClientText("abc\xF2"), "\x9E\x26\x36\xF2");
  EXPECT_EQ(ScrambleClientText(""), "");
}

TEST(ScrambleTest, IsItsOwnInverseForEveryByteAtEveryPosition) {
  for (int p = 0; p < 3; ++p) {
    for (int b = 0; b < 256; ++b) {
      std::string s(static_cast<size_t>(p), 'x');
      s += static_cast<char>(b);
      std::string once = ScrambleClientText(s);
      ASSERT_EQ(once.size(), s.size());
      ASSERT_EQ(ScrambleClientText(once), s) << "byte " << b << " at " << p;
      // A CR on the wire always means a CR in the text.
      ASSERT_EQ(once.back() == '\r', b == '\r') << "byte " << b << " at " << p;
    }
  }
}

TEST(WireRequestTest, FieldsStandWhereTheServerReadsThem) {
  std::string poll = wire::PollRequest("DOOR1", "last");
  EXPECT_EQ(poll, std::string("\x01\r") + "DOOR1       last");
  std::string cmd = wire::CommandRequest("DOOR1", "PR", "05");
  EXPECT_EQ(Copy(cmd, 6, 12), "DOOR1       ");
  EXPECT_EQ(Copy(cmd, 18, 2), "PR");
  EXPECT_EQ(Copy(cmd, 20, 2), "05");
  EXPECT_EQ(cmd.back(), '\r');
  std::string fetch = wire::FetchReplyRequest("A-TAG-LONGER-THAN-12", "123456789");
  EXPECT_EQ(Copy(fetch, 4, 2), "SZ");
  EXPECT_EQ(Copy(fetch, 6, 12), "A-TAG-LONGER");
  EXPECT_EQ(Copy(fetch, 18, 9), "123456789");
  std::string mob = wire::MobileRequest("C2", "bob", "DOOR1", "AC", "123456");
  EXPECT_EQ(Copy(mob, 4, 2), "C2");
  EXPECT_EQ(Copy(mob, 6, 15), PadRight("bob", 15));
  EXPECT_EQ(Copy(mob, 21, 12), PadRight("DOOR1", 12));
  EXPECT_EQ(Copy(mob, 33, 2), "AC");
  EXPECT_EQ(CopyFrom(mob, 35), "123456");
  std::string job = wire::JobRequest("KX6KS1", 3, "000042", "2U", "127000000001", "REQ", "192168001050");
  EXPECT_EQ(job.size(), 61u);
  EXPECT_EQ(Copy(job, 14, 4), "0003");
  EXPECT_EQ(Copy(job, 24, 2), "2U");
  EXPECT_EQ(Copy(job, 26, 12), "127000000001");
  EXPECT_EQ(Copy(job, 38, 11), PadRight("REQ", 11));
  EXPECT_EQ(Copy(job, 49, 12), "192168001050");
}

TEST(WireRequestTest, LoginFieldDecodesToUserAndPassword) {
  std::string req;
  ASSERT_TRUE(wire::LoginRequest("operator15chars", "tenchars10", req));
  EXPECT_EQ(req.size(), 100u);
  std::string plain = DecodeText(Copy(req, 6, 95));
  ASSERT_EQ(plain.size(), 30u);
  EXPECT_EQ(Copy(plain, 6, 15), "operator15chars");
  EXPECT_EQ(Trim(Copy(plain, 21, 15)), "tenchars10");
  EXPECT_FALSE(wire::LoginRequest("operator16chars!", "x", req));
}

TEST(WireReplyTest, RepliesAndPollBodiesAreTakenApart) {
  EXPECT_FALSE(wire::ParseReply("XXRE").ok);
  EXPECT_FALSE(wire::ParseReply("\x06OK").ok);
  auto r = wire::ParseReply("\x06OK\r");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.body, "OK");
  auto p = wire::ParsePollBody("123456_&8UUser 7 uploaded");
  EXPECT_TRUE(p.progress);
  EXPECT_EQ(p.jobCode, "8U");
  EXPECT_EQ(p.message, "User 7 uploaded");
  p = wire::ParsePollBody("000000_*REQ00000001N2U127000000001");
  EXPECT_TRUE(p.result);
  EXPECT_EQ(p.tag, "REQ00000001");
  EXPECT_EQ(p.yesNo, "N");
  EXPECT_EQ(p.key, "127000000001");
  p = wire::ParsePollBody("000001a,b;c,d;");
  EXPECT_EQ(p.status, "000001");
  ASSERT_EQ(p.lines.size(), 2u);
  EXPECT_EQ(p.lines[1], "c,d");
  std::string bytes;
  ASSERT_TRUE(wire::ParseHex("01 0d ff", bytes));
  EXPECT_EQ(bytes, "\x01\r\xff");
  EXPECT_FALSE(wire::ParseHex("0g", bytes));
  EXPECT_FALSE(wire::ParseHex("012", bytes));
  EXPECT_EQ(wire::Printable("\x06OK\r"), "<06>OK<0D>");
}

}  // namespace
