#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "ApiFuzz.h"
#include "support/TestSupport.h"

namespace px::fuzz {
namespace {

std::string Check(const std::string& bytes) {
  return CheckApiRequest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Random bytes rarely make a request the API parses past its token check,
// so the inputs are pieces of real ones, joined and then damaged.
TEST(ApiRegression, CorpusAndMixedRequests) {
  std::filesystem::path dir = std::filesystem::path(PX_SOURCE_DIR) / "tests/fuzz/corpus/api";
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    EXPECT_EQ(Check(test::ReadFile(e.path().string())), "") << e.path();
    ++files;
  }
  EXPECT_GT(files, 0);
  const char* paths[] = {"units",        "transactions",   "units/Door01/commands",
                         "commands/1-1", "openapi.json",   "units/%D1%0d/commands",
                         "commands/",    "transactions/",  "%",
                         "%2",           "units//commands"};
  const char* queries[] = {
      "",         "?after=5",   "?limit=1000&after=", "?tag=a+b%21&card=%ff", "?limit=0", "?after=999999999999999999",
      "?&&=&tag", "?tag=%0d%0a"};
  const char* bodies[] = {"",
                          R"({"code":"PR","params":"05"})",
                          R"({"code":"AC","params":"\u00d1"})",
                          R"({"code":"PR","params":"\r"})",
                          "[[[[[[[[[[",
                          R"({"code":"PR","code":7})",
                          "{\"code\":\"PR\",\"params\":\"\xc3\x28\"}",
                          R"({"code":"SC","params":"\u20ac\u0416"})"};
  std::mt19937 rng(20261210u);
  for (int n = 0; n < 4000; ++n) {
    std::string in{static_cast<char>(rng() | 0x80), static_cast<char>(rng())};
    in += paths[rng() % std::size(paths)];
    in += queries[rng() % std::size(queries)];
    in += "\n";
    in += bodies[rng() % std::size(bodies)];
    for (int k = rng() % 4; k > 0; --k) in[2 + rng() % (in.size() - 2)] = static_cast<char>(rng());
    ASSERT_EQ(Check(in), "") << "input " << n;
  }
}

}  // namespace
}  // namespace px::fuzz
