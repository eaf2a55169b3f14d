#include <gtest/gtest.h>

#include "serial/ComPort.h"
#include "serial/InputDecoder.h"
#include "serial/Stack.h"

namespace px {
namespace {

using namespace std::string_literals;

TEST(BaudRate, MapsEveryRateBothWays) {
  const int values[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};
  for (int i = 0; i <= br115200; ++i) {
    EXPECT_EQ(BaudRateValue(static_cast<TBaudRate>(i)), values[i]);
    TBaudRate b = br110;
    ASSERT_TRUE(BaudRateFromValue(values[i], b));
    EXPECT_EQ(b, i);
  }
  TBaudRate b = br2400;
  EXPECT_FALSE(BaudRateFromValue(12345, b));
  EXPECT_EQ(b, br2400);
}

TEST(Stack, PopsNewestFirstAndRefusesWhenEmpty) {
  struct Item : TStackItem {
    explicit Item(int v) : v(v) {}
    int v;
  };
  TStack s;
  EXPECT_TRUE(s.Empty());
  for (int i = 1; i <= 3; ++i) s.Push(std::make_unique<Item>(i));
  EXPECT_EQ(s.Count(), 3u);
  std::vector<int> seen;
  s.ForEach([&](TStackItem& it) { seen.push_back(static_cast<Item&>(it).v); });
  EXPECT_EQ(seen, (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(static_cast<Item*>(s.Pop().get())->v, 3);
  EXPECT_EQ(static_cast<Item*>(s.Pop().get())->v, 2);
  EXPECT_EQ(static_cast<Item*>(s.Pop().get())->v, 1);
  EXPECT_TRUE(s.Empty());
  try {
    s.Pop();
    FAIL() << "no exception";
  } catch (const EGenericAlg& e) {
    EXPECT_STREQ(e.what(), "Stack is empty");
  }
}

std::string Feed(TInputDecoder& d, const std::string& raw, TInputDecoder::Result* r = nullptr) {
  std::string out;
  auto res = d.Feed(raw.data(), raw.size(), out);
  if (r) *r = res;
  return out;
}

TEST(InputDecoder, RemovesLineMarksAndReportsConditions) {
  TInputDecoder d;
  TInputDecoder::Result r;
  EXPECT_EQ(Feed(d, "a\xFF\xFF"s "b", &r), "a\xFF" "b");
  EXPECT_FALSE(r.sawBreak || r.sawError);
  EXPECT_EQ(Feed(d, "x\xFF\x00\x00y"s, &r), "xy");
  EXPECT_TRUE(r.sawBreak);
  EXPECT_FALSE(r.sawError);
  EXPECT_EQ(Feed(d, "\xFF\x00Q"s, &r), "Q");
  EXPECT_TRUE(r.sawError);
  // A lone FF that is no mark is kept, not dropped.
  EXPECT_EQ(Feed(d, "\xFF" "A"s), "\xFF" "A");
}

TEST(InputDecoder, CarriesMarksAcrossReads) {
  TInputDecoder d;
  TInputDecoder::Result r;
  EXPECT_EQ(Feed(d, "1\xFF"s), "1");
  EXPECT_EQ(Feed(d, "\x00"s), "");
  EXPECT_EQ(Feed(d, "\x00" "2"s, &r), "2");
  EXPECT_TRUE(r.sawBreak);
  EXPECT_EQ(Feed(d, "\xFF"s), "");
  EXPECT_EQ(Feed(d, "\xFF"s), "\xFF");
}

TEST(InputDecoder, AppliesReplacementNulDiscardAndEventChar) {
  TInputDecoder d;
  TInputDecoder::Options o;
  o.replaceErrors = true;
  o.replaceChar = '?';
  o.discardNull = true;
  o.eventChar = '\r';
  d.SetOptions(o);
  TInputDecoder::Result r;
  EXPECT_EQ(Feed(d, "A\0B\xFF\x00Z"s, &r), "AB?");
  EXPECT_TRUE(r.sawError);
  EXPECT_FALSE(r.sawEventChar);
  EXPECT_EQ(Feed(d, "ok\r"s, &r), "ok\r");
  EXPECT_TRUE(r.sawEventChar);
}

}  // namespace
}  // namespace px
