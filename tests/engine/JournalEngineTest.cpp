// The bus engine with the intake journal: what a unit hands over is in the
// journal, a unit owed a repeat is asked for it first after a restart, and
// a step that throws does not stop its bus.
#include <gtest/gtest.h>

#include <stdexcept>

#include "EngineFixture.h"
#include "common/Format.h"
#include "common/IntakeJournal.h"

namespace px::test {
namespace {

class JournalEngineTest : public EngineFixture {
protected:
  std::unique_ptr<TIntakeJournal> OpenJournal() {
    TIntakeJournal::Options o;
    o.dir = dir.File("journal");
    return std::make_unique<TIntakeJournal>(o, log);
  }
  std::vector<std::string> Codes(sim::SimUnit& u) {
    std::vector<std::string> c;
    for (const auto& f : u.ReceivedFrames()) c.push_back(f.substr(1, 2));
    return c;
  }
};

TEST_F(JournalEngineTest, RecordsAreJournaledAndAUnitOwedARepeatGetsQrFirstAfterARestart) {
  auto& bank = AddSim(1);
  bank.EnableUnits({3});
  bank.Unit(3).QueueRecord("050314300000772");
  auto journal = OpenJournal();
  Run([&] {
    MakeForm(journal.get());
    ASSERT_TRUE(form->SpawnAccessComm(1, kBaud, 1));
    form->EnableCtrl(1, 3, true);
    std::vector<std::string> got;
    ASSERT_TRUE(WaitFor([&] {
      for (auto& l : TakeLines()) got.push_back(l);
      return !got.empty();
    }));
    EXPECT_EQ(got[0], "T0103050314300000772");
    EXPECT_EQ(journal->Depth(), 1u);  // the service has not taken it yet
    // The unit goes silent: its next records poll is owed for good.
    bank.Unit(3).SetSilent(true);
    ASSERT_TRUE(WaitFor([&] { return bank.Unit(3).Received("QR") >= 1; }));
  });
  journal.reset();
  bank.Unit(3).SetSilent(false);
  bank.Unit(3).ResetCounters();
  journal = OpenJournal();
  EXPECT_EQ(journal->TakeRecovered().size(), 1u);
  Run([&] {
    MakeForm(journal.get());
    ASSERT_TRUE(form->SpawnAccessComm(1, kBaud, 1));
    form->EnableCtrl(1, 3, true);
    ASSERT_TRUE(WaitFor([&] { return bank.Unit(3).ReceivedFrames().size() >= 2; }));
    // Before its version request: any other poll would delete the block.
    EXPECT_EQ(Codes(bank.Unit(3))[0], "QR");
    EXPECT_EQ(Codes(bank.Unit(3))[1], "VN");
  });
}

// A log that fails once, in the middle of a bus step.
class FailingLog : public ILog {
public:
  explicit FailingLog(ILog& next) : next_(next) {}
  void WriteLog(int level, const std::string& text) override {
    if (!failed_ && text.rfind("SR: B1 U3: Poll", 0) == 0) {
      failed_ = true;
      throw std::runtime_error("disk full");
    }
    next_.WriteLog(level, text);
  }

private:
  ILog& next_;
  bool failed_ = false;
};

TEST_F(JournalEngineTest, AStepThatThrowsIsOverAndTheBusGoesOn) {
  auto& bank = AddSim(1);
  bank.EnableUnits({3});
  FailingLog failing(log);
  formLog = &failing;
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnAccessComm(1, kBaud, 1));
    form->EnableCtrl(1, 3, true);
    ASSERT_TRUE(WaitFor([&] { return bank.Unit(3).Received("QA") >= 3; }));
  });  // and the form's end joins its bus thread
  EXPECT_TRUE(log.HasSubstr("<BusStep> B1 disk full"));
}

TEST_F(JournalEngineTest, CardUploadProgressCannotCrowdOutTheFinalReply) {
  Run([&] {
    MakeForm();
    for (int i = 1; i <= 6000; ++i) form->PutReplyQ("C0101123456789" + Format("%5d", i));
    form->PutReplyQ("M0101123456789OK");
    std::vector<std::string> got = TakeLines();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), "M0101123456789OK");
    EXPECT_LE(got.size(), TMainForm::kReplySlots / 4 + 1);
  });
}

}  // namespace
}  // namespace px::test
