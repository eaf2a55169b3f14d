// The attendance library loader against stand-in shared libraries.
#include <gtest/gtest.h>

#include <cstdlib>

#include "service/ArqLibrary.h"
#include "support/TestSupport.h"

namespace px::test {
namespace {

class ArqLibraryTest : public testing::Test {
protected:
  void SetUp() override {
    settings.AppDir = dir.Path() + "/";
    setenv("PX_ARQ_TEST_OUT", dir.File("calls.txt").c_str(), 1);
  }
  void TearDown() override { unsetenv("PX_ARQ_TEST_OUT"); }
  TempDir dir;
  CaptureLog log;
  ServiceSettings settings;
};

TEST_F(ArqLibraryTest, CallsTheLibrary) {
  settings.ARQLib = PX_ARQ_TEST_LIB;
  {
    ArqLibrary arq(settings, log);
    ASSERT_TRUE(arq.Loaded()) << log.Dump();
    arq.ARQInit();
    arq.ARQProcess("20261230", "20261231", "S100");
    arq.ARQClose();
  }
  EXPECT_EQ(dir.Read("calls.txt"), "init\nprocess 20261230 20261231 S100\nclose\n");
  EXPECT_EQ(log.Lines().size(), 0u);
}

TEST_F(ArqLibraryTest, RelativeNameIsInTheProgramFolder) {
  WriteFile(dir.File("arq.so"), ReadFile(PX_ARQ_TEST_LIB));
  settings.ARQLib = "arq.so";
  ArqLibrary arq(settings, log);
  EXPECT_TRUE(arq.Loaded());
  EXPECT_EQ(arq.Path(), dir.File("arq.so"));
}

TEST_F(ArqLibraryTest, WithoutLibraryRequestsAreLogged) {
  ArqLibrary arq(settings, log);
  EXPECT_FALSE(arq.Loaded());
  arq.ARQInit();
  arq.ARQProcess("20261230", "20261231", "S100");
  arq.ARQClose();
  EXPECT_TRUE(log.Has("ARQ: 20261230 20261231 S100"));
  for (const auto& [level, text] : log.Lines()) EXPECT_EQ(level, 20) << text;
}

TEST_F(ArqLibraryTest, MissingOrBrokenLibraryIsAnErrorNotACrash) {
  settings.ARQLib = "no-such-lib.so";
  {
    ArqLibrary arq(settings, log);
    EXPECT_FALSE(arq.Loaded());
    arq.ARQProcess("20261230", "20261231", "S1");
  }
  EXPECT_EQ(log.Lines().at(0).first, 999);
  EXPECT_TRUE(log.HasSubstr("ARQ library not loaded: "));
  log.Clear();
  settings.ARQLib = PX_ARQ_TEST_BROKEN_LIB;
  ArqLibrary arq(settings, log);
  EXPECT_FALSE(arq.Loaded());
  EXPECT_TRUE(log.HasSubstr("has no ARQClose"));
  arq.ARQProcess("20261230", "20261231", "S2");
  EXPECT_TRUE(log.Has("ARQ: 20261230 20261231 S2"));
  EXPECT_FALSE(dir.Exists("calls.txt"));
}

}  // namespace
}  // namespace px::test
