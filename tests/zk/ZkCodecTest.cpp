#include <gtest/gtest.h>

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

TEST(ZkCodec, TimeAndRecordLayouts) {
  ZkTime t{2026, 12, 31, 23, 59, 58};
  ZkTime back = ZkDecodeTime(ZkEncodeTime(t));
  EXPECT_EQ(std::tie(back.year, back.month, back.day, back.hour, back.minute, back.second),
            std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second));
  // The published example: 2000-01-01 00:00:00 is 0, each month is 31 days.
  EXPECT_EQ(ZkEncodeTime(ZkTime{2000, 2, 1, 0, 0, 0}), 31u * 86400u);

  ZkUser u;
  u.uid = 7;
  u.userId = "123456";
  u.name = "Ann";
  u.password = "12345";
  u.privilege = 3;
  u.enabled = false;
  u.card = 4000000001u;
  for (size_t size : {kUserSmall, kUserLarge}) {
    auto rec = BuildUser(u, size);
    ASSERT_EQ(rec.size(), size);
    std::vector<ZkUser> got;
    ASSERT_TRUE(ParseUsers(rec.data(), rec.size(), size, got));
    EXPECT_EQ(got[0].userId, "123456");
    EXPECT_EQ(got[0].password, "12345");
    EXPECT_EQ(got[0].card, 4000000001u);
    EXPECT_EQ(got[0].privilege, 3);
    EXPECT_FALSE(got[0].enabled);
  }
  ZkAttendance a;
  a.uid = 3;
  a.userId = "4321";
  a.verify = 15;
  a.state = 255;
  a.time = t;
  a.workCode = 77;
  for (size_t size : {kLogSmall, kLogMedium, kLogLarge}) {
    auto rec = BuildLog(a, size);
    std::vector<ZkAttendance> got;
    ASSERT_TRUE(ParseLogs(rec.data(), rec.size(), size, got));
    EXPECT_EQ(got[0].userId, "4321") << size;
    EXPECT_EQ(got[0].state, 255);
    EXPECT_EQ(got[0].time.second, 58);
    EXPECT_EQ(got[0].workCode, size == kLogMedium ? 77u : 0u);
  }
  // 80 bytes are ten short records or two long ones: the terminal's count decides.
  EXPECT_EQ(ChooseLogSize(80, 10), kLogSmall);
  EXPECT_EQ(ChooseLogSize(80, 2), kLogLarge);
  EXPECT_EQ(ChooseLogSize(81, 0), 0u);
  EXPECT_EQ(ChooseUserSize(504, 18), kUserSmall);
  EXPECT_EQ(ChooseUserSize(504, 7), kUserLarge);
  // A template entry that claims more than the table holds is refused.
  auto f = BuildFinger(ZkFinger{1, 0, 1, std::vector<uint8_t>(10, 5)});
  f[0] = 200;
  std::vector<ZkFinger> fingers;
  EXPECT_FALSE(ParseFingers(f.data(), f.size(), fingers));
  EXPECT_EQ(UserNumber("12a"), 0);
  EXPECT_EQ(UserNumber("99999999999"), 2147483647);
}

}  // namespace
}  // namespace px::zk
