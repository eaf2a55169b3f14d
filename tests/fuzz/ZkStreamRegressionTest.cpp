#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "ZkFuzz.h"
#include "support/TestSupport.h"
#include "zk/ZkPacket.h"

namespace px::fuzz {
namespace {

std::string Check(const std::string& bytes) {
  return CheckZkStream(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Random bytes rarely make a packet, so the inputs are real packets with
// random data, some cut short or with a flipped bit.
TEST(ZkStreamRegression, CorpusAndRandomPacketStreams) {
  std::filesystem::path dir = std::filesystem::path(PX_SOURCE_DIR) / "tests/fuzz/corpus/zk_stream";
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    EXPECT_EQ(Check(test::ReadFile(e.path().string())), "") << e.path();
    ++files;
  }
  EXPECT_GT(files, 0);
  std::mt19937 rng(20261209u);
  for (int n = 0; n < 3000; ++n) {
    std::string in(1, static_cast<char>(rng()));
    for (int k = 0; k < 3; ++k) {
      std::vector<uint8_t> body(rng() % 300);
      for (auto& b : body) b = static_cast<uint8_t>(rng() % 4 ? rng() % 3 : rng());
      auto pkt = zk::ZkEncode(static_cast<uint16_t>(rng()), static_cast<uint16_t>(rng() % 12),
                              static_cast<uint16_t>(rng()), body);
      if (rng() % 4 == 0) pkt[rng() % pkt.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      if (rng() % 8 == 0) pkt.resize(rng() % pkt.size());
      in.append(pkt.begin(), pkt.end());
    }
    ASSERT_EQ(Check(in), "") << "input " << n;
  }
}

}  // namespace
}  // namespace px::fuzz
