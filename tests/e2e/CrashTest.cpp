// The real program killed with SIGKILL at random moments, again and again
// (some of them amid a stop), while serial and IP controllers stream records
// and a terminal collects clockings: every record a device handed over is in
// trans exactly once, in that device's order, and a controller owed a repeat
// at a kill is asked for it (QR) before anything else.
#include <cstdlib>
#include <random>

#include "CrashRig.h"
#include "support/DbTestEnv.h"

using namespace px;
using namespace std::chrono_literals;

namespace {

class Crash : public ::testing::TestWithParam<std::string> {};

// PX_CRASH_SEED replays a failed run.
unsigned Seed() {
  const char* s = std::getenv("PX_CRASH_SEED");
  return s ? static_cast<unsigned>(std::strtoul(s, nullptr, 10)) : 20260117u;
}

}  // namespace

TEST_P(Crash, RepeatedSigkillsLoseNothingHandedOverAndStoreNothingTwice) {
  test::TempDir dir;
  crash::CrashRig::Options o;
  o.dir = dir.Path();
  o.portexd = std::string(PX_BINARY_DIR) + "/bin/portexd";
  std::unique_ptr<test::TestDatabase> mainDb, arqDb;
  if (GetParam() == "postgresql") {
    mainDb = std::make_unique<test::TestDatabase>("postgresql");
    arqDb = std::make_unique<test::TestDatabase>("postgresql");
    mainDb->CreateSchema("OstrPro");
    arqDb->CreateSchema("OstrTimeSQL");
    o.mainDb = mainDb->ConnectionString();
    o.arqDb = arqDb->ConnectionString();
  }
  crash::CrashRig rig(o);
  std::string err;
  ASSERT_TRUE(rig.Start(&err)) << err;

  const unsigned seed = Seed();
  SCOPED_TRACE("PX_CRASH_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> killAfterMs(80, 1400), intoTheStopMs(0, 40);
  int owedPolled = 0;
  std::string notQrFirst;
  for (int i = 0; i < 24; ++i) {
    // Every fourth run is stopped with SIGTERM and killed amid its stop.
    const auto at = std::chrono::milliseconds(killAfterMs(rng));
    auto run = i % 4 == 3 ? rig.CrashAfter(at + std::chrono::milliseconds(intoTheStopMs(rng)), at) : rig.CrashAfter(at);
    owedPolled += run.owedPolled;
    for (const auto& v : run.notQrFirst) notQrFirst += "run " + std::to_string(i + 1) + ": " + v + "\n";
  }
  ASSERT_TRUE(rig.Settle(60s, &err)) << err << "\n" << rig.LogText();

  auto t = rig.Reckon();
  std::string detail;
  for (const auto& d : t.detail) detail += d + "\n";
  EXPECT_EQ(notQrFirst, "");
  // The kills did come amid the streaming.
  EXPECT_GE(owedPolled, 10);
  EXPECT_GE(t.handedOver, 1000);
  EXPECT_GE(t.terminalHandedOver, 200);
  EXPECT_EQ(t.lost, 0) << detail;
  EXPECT_EQ(t.twice, 0) << detail;
  EXPECT_EQ(t.outOfOrder, 0) << detail;
  EXPECT_EQ(t.strays, 0) << detail;
  EXPECT_GT(t.attendanceWanted, 0);
  EXPECT_EQ(t.attendanceLost, 0);
  EXPECT_EQ(t.attendanceTwice, 0);
  EXPECT_EQ(t.stored, t.handedOver);
}

PX_INSTANTIATE_DB_TESTS(Crash);
