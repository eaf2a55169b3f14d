#include <gtest/gtest.h>

#include "common/DateTime.h"
#include "common/Format.h"
#include "common/IpKey.h"
#include "common/RingQueue.h"
#include "common/StrUtil.h"
#include "common/TextCodec.h"
#include "support/TestSupport.h"

using namespace px;

TEST(IpKey, ConvertsBothWays) {
  EXPECT_EQ(IPToKey("192.168.1.20"), "192168001020");
  EXPECT_EQ(IPToKey("10.0.0.5"), "010000000005");
  EXPECT_EQ(KeyToIP("192168001020"), "192.168.1.20");
  EXPECT_EQ(KeyToIP("010000000005extra"), "10.0.0.5");
  EXPECT_EQ(KeyToIP("19216800102"), "");  // shorter than 12
  EXPECT_THROW(IPToKey("192.168.x.1"), std::invalid_argument);
  EXPECT_THROW(IPToKey(""), std::invalid_argument);
}

TEST(TextCodec, WorkedExampleAndRoundTrip) {
  // Key 12345: D = 2,3,4,5,6; 'A' at position 1 uses D(2)=3, 'B' at 2 uses D(3)=4.
  EXPECT_EQ(EncodeText("AB", [] { return 12345; }), "12306807045");
  EXPECT_EQ(DecodeText("12306807045"), "AB");
  std::string text = "0000001234Fsecret";
  for (int k : {0, 99999, 50505, 7}) {
    std::string enc = EncodeText(text, [k] { return k; });
    EXPECT_EQ(enc.size(), 3 * text.size() + 5);
    EXPECT_EQ(DecodeText(enc), text);
  }
  EXPECT_EQ(DecodeText(EncodeText("random key")), "random key");
  // Malformed input never crashes.
  EXPECT_EQ(DecodeText("12"), "");
  // Letters where digits belong read as 0: key digits give shifts of 1,
  // triplets the code 0, so each of the two triplets decodes to 0xFF.
  EXPECT_EQ(DecodeText("abcdefghijk"), std::string(2, '\xFF'));
}

TEST(Format, PrintfStyle) {
  EXPECT_EQ(Format("%2.2d%2.2d", 3, 17), "0317");
  EXPECT_EQ(Format("%15s", "1.2.3.4"), "        1.2.3.4");
  EXPECT_EQ(Format("%-15s|", "KX"), "KX             |");
  EXPECT_EQ(Format("%5d", 42), "   42");
  std::string big(5000, 'x');
  EXPECT_EQ(Format("%s", big.c_str()).size(), 5000u);
}

TEST(DateTimeFormat, PatternsAndMinutesAfterHour) {
  DateTime t{2027, 1, 2, 3, 4, 5, 67};
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy hh:mm:ss", t), "02/01/2027 03:04:05");
  EXPECT_EQ(FormatDateTime("hhmmsszzz", t), "030405067");
  EXPECT_EQ(FormatDateTime("yymmdd", t), "270102");
  EXPECT_EQ(FormatDateTime("ddmmhhmm", t), "02010304");
  EXPECT_EQ(FormatDateTime("yymmddhhmmss", t), "270102030405");
  EXPECT_EQ(FormatDateTime("hhnn", t), "0304");
  EXPECT_EQ(t.DayOfWeek(), 6);  // a Saturday
  EXPECT_EQ(t.AddDays(-2), (DateTime{2026, 12, 31, 3, 4, 5, 67}));
  EXPECT_TRUE(DateTime::IsValidDate(2028, 2, 29));
  EXPECT_FALSE(DateTime::IsValidDate(2027, 2, 29));
  EXPECT_FALSE(DateTime::IsValidDate(2027, 2, 30));
  EXPECT_EQ(DateTime::MinutesBetween(t, t.AddMinutes(90)), 90);
  EXPECT_EQ(t.AddMinutes(-4 * 60 - 5).day, 1);
}

TEST(StrUtil, FieldReadsAreBoundsChecked) {
  EXPECT_EQ(Copy("abcdef", 2, 3), "bcd");
  EXPECT_EQ(Copy("abc", 3, 10), "c");
  EXPECT_EQ(Copy("abc", 4, 1), "");
  EXPECT_EQ(Copy("abc", 0, 2), "a");
  EXPECT_EQ(Copy("abc", -5, 2), "");
  EXPECT_EQ(CopyFrom("abc", 2), "bc");
  EXPECT_EQ(CharAt("abc", 9), '\0');
  long long v;
  EXPECT_TRUE(TryStrToInt("0x1F", v));
  EXPECT_EQ(v, 31);
  EXPECT_FALSE(TryStrToInt("12a", v));
  EXPECT_EQ(StrToIntDef(" 42 ", 0), 42);
}

TEST(RingQueue, IndexesFromOneAndFullRingDropsNewest) {
  test::CaptureLog log;
  RingQueue<> q(4, "test queue", &log);  // 4 slots hold 3 entries
  EXPECT_TRUE(q.Empty());
  EXPECT_EQ(q.PutIndex(), 1u);
  EXPECT_TRUE(q.Put("a"));
  EXPECT_TRUE(q.Put("b"));
  EXPECT_TRUE(q.Put("c"));
  EXPECT_FALSE(q.Put("d"));  // dropped, nothing overwritten
  EXPECT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0].first, 999);
  std::string s;
  ASSERT_TRUE(q.Get(s));
  EXPECT_EQ(s, "a");
  EXPECT_TRUE(q.Put("e"));  // wraps to slot 1
  EXPECT_EQ(q.PutIndex(), 1u);
  std::vector<std::string> got;
  while (q.Get(s)) got.push_back(s);
  EXPECT_EQ(got, (std::vector<std::string>{"b", "c", "e"}));
  EXPECT_TRUE(q.Empty());
}
