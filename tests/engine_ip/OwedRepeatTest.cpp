// A controller owed a repeat when the last run ended is asked for it before
// anything else, also while records are held after a restart (the lines of
// the last run being stored): any other poll, the version request included,
// would have it delete the block.
#include <ctime>

#include "IPFixture.h"
#include "common/IntakeJournal.h"

namespace px::test {
namespace {

TEST_F(IPFixture, AnOwedControllerHearsNothingWhileRecordsAreHeldThenQrFirst) {
  auto& a = AddSim("a", "127.0.0.1", {1, 2});
  a.Bank().Unit(1).QueueTransaction("000042", '4', std::time(nullptr));
  TIntakeJournal::Options o;
  o.dir = dir.File("journal");
  TIntakeJournal journal(o, log);
  journal.SetOwed("IP1", "127000000001U1", true);
  Run([&] {
    form = std::make_unique<TMainForm>(loop, log, cfg, clock, &table, templates, &journal);
    form->HoldRecords(true);
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 1));
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 2));
    // Unit 2, owing nothing, is polled meanwhile: unit 1 has had its turns.
    ASSERT_TRUE(WaitFor([&] { return a.Bank().Unit(2).TotalReceived() >= 4; }));
    EXPECT_EQ(a.Bank().Unit(1).TotalReceived(), 0);
    form->HoldRecords(false);
    ASSERT_TRUE(WaitFor([&] { return a.Bank().Unit(1).TotalReceived() >= 2; }));
    EXPECT_EQ(a.Bank().Unit(1).ReceivedFrames().front().substr(1, 2), "QR");
  });
}

}  // namespace
}  // namespace px::test
