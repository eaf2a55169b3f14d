#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <vector>

#include "FinderFuzz.h"
#include "support/TestSupport.h"

namespace px::fuzz {
namespace {

using CheckFn = std::string (*)(const uint8_t*, size_t);

std::string Run(CheckFn check, const std::string& bytes) {
  return check(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void RunCorpus(CheckFn check, const std::string& name) {
  std::filesystem::path dir = std::filesystem::path(PX_SOURCE_DIR) / "tests/fuzz/corpus" / name;
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    EXPECT_EQ(Run(check, test::ReadFile(e.path().string())), "") << e.path();
    ++files;
  }
  EXPECT_GT(files, 0) << "no corpus in " << dir;
}

// Inputs made of the bytes that matter to the finders, from a fixed seed so
// every run checks the same ones.
void RunRandom(CheckFn check, unsigned seed) {
  std::mt19937 rng(seed);
  const std::string interesting = std::string("\r\0RCQAVNDB", 10) + "\xD0\xD3\xDF\xE0\xCF\xFF";
  for (int n = 0; n < 3000; ++n) {
    std::string in(rng() % 400, '\0');
    for (auto& c : in) {
      unsigned r = rng();
      c = (r & 3) ? interesting[(r >> 2) % interesting.size()] : static_cast<char>(r >> 8);
    }
    ASSERT_EQ(Run(check, in), "") << "input " << n;
  }
}

TEST(FinderRegression, SerialCorpusAndRandomInputs) {
  RunCorpus(CheckSerialFinder, "serial_finder");
  RunRandom(CheckSerialFinder, 20260301u);
}

TEST(FinderRegression, IpCorpusAndRandomInputs) {
  RunCorpus(CheckIpFinder, "ip_finder");
  RunRandom(CheckIpFinder, 20260302u);
}

}  // namespace
}  // namespace px::fuzz
