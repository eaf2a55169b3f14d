#include <gtest/gtest.h>

#include "zk/ZkLink.h"
#include "zk/ZkPacket.h"
#include "zk/ZkRecords.h"

namespace px::zk {
namespace {

std::vector<uint8_t> Hex(const std::string& h) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < h.size(); i += 2) v.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return v;
}

TEST(ZkCodec, ChecksumMatchesPublishedVectors) {
  // Header and data with the checksum field left out.
  auto a = Hex("0b00f38d03005a4b4661636556657273696f6e00");
  EXPECT_EQ(ZkChecksum(a.data(), a.size()), 0x175a);
  auto b = Hex("d007f38d0a0009");
  EXPECT_EQ(ZkChecksum(b.data(), b.size()), 0x6a29);
  // Packet form: the header words summed apart from the data give the same.
  std::vector<uint8_t> data(a.begin() + 6, a.end());
  EXPECT_EQ(ZkPacketChecksum(0x000b, 0x8df3, 0x0003, data.data(), data.size()), 0x175a);
  // Carries fold back in: 0xFFFF + 0x0001 is 1 in ones' complement.
  auto c = Hex("ffff0100");
  EXPECT_EQ(ZkChecksum(c.data(), c.size()), static_cast<uint16_t>(~1));
}

TEST(ZkCodec, ReassemblesWhateverTheStreamPieces) {
  std::vector<uint8_t> big(70000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> stream;
  for (int i = 0; i < 3; ++i) {
    auto p = ZkEncode(CMD_DATA, 0x1234, static_cast<uint16_t>(i), i == 1 ? big : std::vector<uint8_t>{1, 2, 3});
    stream.insert(stream.end(), p.begin(), p.end());
  }
  for (size_t piece : {size_t{1}, size_t{5}, size_t{4096}, stream.size()}) {
    ZkReassembler rx;
    std::vector<ZkPacket> got;
    for (size_t off = 0; off < stream.size(); off += piece) {
      rx.Feed(stream.data() + off, std::min(piece, stream.size() - off));
      ZkPacket p;
      while (rx.Next(p)) got.push_back(p);
      ASSERT_FALSE(rx.Failed()) << rx.Error();
    }
    ASSERT_EQ(got.size(), 3u) << "piece " << piece;
    EXPECT_EQ(got[1].data, big);
    EXPECT_EQ(got[2].reply, 2);
    EXPECT_EQ(got[0].session, 0x1234);
  }
}

TEST(ZkCodec, BrokenStreamsAreErrorsNotAllocations) {
  auto expectError = [](std::vector<uint8_t> bytes, const std::string& what) {
    ZkReassembler rx;
    rx.Feed(bytes.data(), bytes.size());
    ZkPacket p;
    EXPECT_FALSE(rx.Next(p));
    EXPECT_TRUE(rx.Failed()) << what;
  };
  expectError(Hex("5050827e"), "prefix");
  expectError(Hex("5050827d01000001"), "length above 16 MiB");
  expectError(Hex("5050827d04000000d0070000"), "length shorter than a header");
  auto p = ZkEncode(CMD_ACK_OK, 1, 2, {9});
  p[10] ^= 1;
  expectError(p, "checksum");
  // Without verification a mismatch is only counted.
  ZkReassembler lax(false);
  lax.Feed(p.data(), p.size());
  ZkPacket out;
  EXPECT_TRUE(lax.Next(out));
  EXPECT_EQ(lax.ChecksumMismatches(), 1u);
}

// Record layouts at the offsets of the public protocol notes, written out
// byte by byte: parsed into fields, and (users, which the driver writes)
// built back to the same bytes.
TEST(ZkCodec, RecordLayoutsAtTheDocumentedOffsets) {
  // The published example: 2000-01-01 00:00:00 is 0, each month is 31 days.
  EXPECT_EQ(ZkEncodeTime(ZkTime{2000, 2, 1, 0, 0, 0}), 31u * 86400u);
  ZkTime t = ZkDecodeTime(0x33b999fe);
  EXPECT_EQ(std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second), std::make_tuple(2026, 12, 31, 23, 59, 58));
  EXPECT_EQ(ZkEncodeTime(t), 0x33b999feu);

  // Slot 7, super admin and disabled, password 12345, "Ann", card 4000000001, enrolment 123456.
  const auto small = Hex("07000f3132333435416e6e000000000001286bee0001000040e20100");
  const auto large = Hex("07000f3132333435000000416e6e" + std::string(42, '0') + "01286bee01" + std::string(16, '0') +
                         "313233343536" + std::string(36, '0'));
  ASSERT_EQ(small.size(), kUserSmall);
  ASSERT_EQ(large.size(), kUserLarge);
  for (const auto* rec : {&small, &large}) {
    std::vector<ZkUser> got;
    ASSERT_TRUE(ParseUsers(rec->data(), rec->size(), rec->size(), got));
    const ZkUser& u = got.at(0);
    EXPECT_EQ(std::tie(u.uid, u.userId, u.password, u.name, u.card, u.privilege, u.enabled),
              std::make_tuple(uint16_t{7}, std::string("123456"), std::string("12345"), std::string("Ann"),
                              4000000001u, 3, false));
    EXPECT_EQ(BuildUser(u, rec->size()), *rec);
  }

  // Slot 3 (8 bytes), enrolment 4321, verify 15, state 255, work code 77.
  const std::string when = "fe99b933";
  const auto log8 = Hex("03000f" + when + "ff");
  const auto log16 = Hex("e1100000" + when + "0fff00004d000000");
  const auto log40 = Hex("030034333231" + std::string(40, '0') + "0f" + when + "ff" + std::string(16, '0'));
  for (const auto* rec : {&log8, &log16, &log40}) {
    std::vector<ZkAttendance> got;
    ASSERT_TRUE(ParseLogs(rec->data(), rec->size(), rec->size(), got)) << rec->size();
    const ZkAttendance& a = got.at(0);
    EXPECT_EQ(a.userId, rec->size() == kLogSmall ? "" : "4321") << "the short record names no enrolment";
    if (rec->size() != kLogMedium) {
      EXPECT_EQ(a.uid, 3);
    }
    EXPECT_EQ(std::tie(a.verify, a.state, a.time.day, a.time.second), std::make_tuple(15, 255, 31, 58));
    EXPECT_EQ(a.workCode, rec->size() == kLogMedium ? 77u : 0u);
  }

  // A template entry: its size (with the 6-byte head), slot, finger, flag.
  const auto finger = Hex("0900" "0500" "03" "01" "aabbcc");
  std::vector<ZkFinger> fingers;
  ASSERT_TRUE(ParseFingers(finger.data(), finger.size(), fingers));
  EXPECT_EQ(std::tie(fingers[0].uid, fingers[0].finger, fingers[0].flag), std::make_tuple(uint16_t{5}, 3, 1));
  EXPECT_EQ(fingers[0].data, Hex("aabbcc"));
  auto longer = finger;
  longer[0] = 200;  // claims more than the table holds
  EXPECT_FALSE(ParseFingers(longer.data(), longer.size(), fingers));
}

TEST(ZkCodec, RecordSizeByCountThenByWhatTheTerminalUsed) {
  // 80 bytes are ten short records or two long ones: the terminal's count decides.
  EXPECT_EQ(ChooseLogSize(80, 10), kLogSmall);
  EXPECT_EQ(ChooseLogSize(80, 2), kLogLarge);
  // A count that fits no size (a record arrived in between): the layout the
  // terminal is known to use, not the first that divides.
  EXPECT_EQ(ChooseLogSize(80, 6, kLogMedium), kLogMedium);
  EXPECT_EQ(ChooseLogSize(80, 6), kLogLarge);
  EXPECT_EQ(ChooseLogSize(81, 0), 0u);
  EXPECT_EQ(ChooseUserSize(504, 18), kUserSmall);
  EXPECT_EQ(ChooseUserSize(504, 0, kUserSmall), kUserSmall);
  EXPECT_EQ(UserNumber("12a"), 0);
  EXPECT_EQ(UserNumber("99999999999"), 2147483647);
}

TEST(ZkCodec, CommunicationKeyMatchesThePublishedAlgorithm) {
  EXPECT_EQ(MakeCommKey(123456, 0x1234), Hex("267f32eb"));
  EXPECT_EQ(MakeCommKey(0, 0x1234), Hex("617d326b"));
  EXPECT_EQ(MakeCommKey(999999, 0xfffe, 0x9d), Hex("8d2e9d39"));
}

}  // namespace
}  // namespace px::zk
