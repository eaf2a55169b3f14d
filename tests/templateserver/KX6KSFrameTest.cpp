// Frames to the template server devices and what their replies mean.
#include <gtest/gtest.h>

#include "kx6kssim/TemplateDevice.h"
#include "templateserver/KX6KSFrame.h"
#include "templateserver/KX6KSLink.h"
#include "templateserver/KX6KSRing.h"

using namespace px;

TEST(KX6KSFrame, FramesCarryDataAndChecksumOnlyWithData) {
  EXPECT_EQ(kx6ks::BuildFrame(1, "RU", "000000000123"), "\xE0RU000000000123" "46\r");
  EXPECT_EQ(kx6ks::BuildFrame(1, "RP", ""), "\xE0RP\r");
  EXPECT_EQ(kx6ks::BuildFrame(3, "DU", "   "), "\xE2" "DU\r");
  std::string id;
  EXPECT_TRUE(kx6ks::UserId12("123", id));
  EXPECT_EQ(id, "000000000123");
  EXPECT_FALSE(kx6ks::UserId12("12a", id));
  EXPECT_FALSE(kx6ks::UserId12("1234567890123", id));
}

TEST(KX6KSFrame, ReplyCodesRecordsAndFileNames) {
  EXPECT_EQ(kx6ks::ReplyResult("AK", "EU"), 1);
  EXPECT_EQ(kx6ks::ReplyResult("RU", "RU"), 1);
  EXPECT_EQ(kx6ks::ReplyResult("UE", "WU"), -1);
  EXPECT_EQ(kx6ks::ReplyResult("UN", "EU"), -6);
  EXPECT_EQ(kx6ks::ReplyResult("NK", "EU"), -7);
  EXPECT_EQ(kx6ks::ReplyResult("ZZ", "EU"), -99);
  EXPECT_EQ(kx6ks::ResultText(-1), "ID Exists");
  EXPECT_EQ(kx6ks::ResultText(-5), "User DB Full");
  EXPECT_EQ(kx6ks::ResultText(0), "? Error");
  EXPECT_EQ(kx6ks::DescribeUserRecord("C 00012302"), "ID + FG  000123 FG=2");
  EXPECT_EQ(kx6ks::DescribeUserRecord("X 000001"), "Undefined[X]  000001 FG=");
  EXPECT_EQ(kx6ks::TemplateFileName("000000000123"), "000000000123T_KT7100.efm");
  EXPECT_EQ(kx6ks::FingerCount(std::string(20, ' ') + "02"), 2);
  EXPECT_EQ(kx6ks::FingerCount("short"), -1);
}

TEST(KX6KSFrame, RingRefusesWhatDoesNotFitAndKeepsUnreadBytes) {
  TKX6KSRing ring(8);
  ASSERT_TRUE(ring.Put("abcde"));
  char c;
  ASSERT_TRUE(ring.Get(c));
  EXPECT_FALSE(ring.Put("12345"));  // 4 unread + 5 > 8
  ASSERT_TRUE(ring.Put("1234"));    // wraps
  std::string out;
  while (ring.Get(c)) out += c;
  EXPECT_EQ(out, "bcde1234");
}

TEST(KX6KSFrame, ClientTextAndReplyWaitAreKeptInBounds) {
  EXPECT_EQ(kx6ks::Shown(" 12\r\n3\x1b\\\xff "), "12\\r\\n3\\x1B\\\\\\xFF");
  EXPECT_EQ(TKX6KSLink::ReplyWaitMs(100), 100000);
  EXPECT_EQ(TKX6KSLink::ReplyWaitMs(0), 1000);
  EXPECT_EQ(TKX6KSLink::ReplyWaitMs(2147484), 3600000);  // would overflow in milliseconds
}

TEST(KX6KSFrame, DeviceSimulatorRefusesABadChecksum) {
  sim::TemplateDevice d;
  d.AddUser(1, 1);
  std::string reply;
  ASSERT_TRUE(d.Handle("\xE0" "EU000000000001" "00", reply));
  EXPECT_EQ(reply, "\xE0" "NK00\r");
  EXPECT_TRUE(d.HasUser("000000000001"));
  ASSERT_TRUE(d.Handle("\xE0" "EU000000000001" "41", reply));
  EXPECT_EQ(reply, "\xE0" "AK00\r");
  EXPECT_FALSE(d.HasUser("000000000001"));
}
