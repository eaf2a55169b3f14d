// A terminal's read-and-clear through the intake journal: the terminal stays
// disabled until the journal holds what was read, a clocking made meanwhile
// is never erased, and each record is stored once whatever fails.
#include <algorithm>

#include "common/IntakeJournal.h"
#include "zk/FakeJournal.h"
#include "zk/ZkFixture.h"

using namespace px;
using namespace px::test;

namespace {

class ZkJournalTest : public ZkFixture {
protected:
  std::shared_ptr<FakeTerminal> term;
  FakeJournal journal;
  bool skipped = false;
  void SetUp() override {
    ZkFixture::SetUp();
    term = AddTerminal("F7", 1, "KXF7", "127000000001");
    host->journal = &journal;
  }
  bool Poll() { return zk->GetTransactions(1, "F7", "127000000001", skipped); }
  std::vector<IIntakeJournal::Seq> Seqs() const {
    std::vector<IIntakeJournal::Seq> out;
    for (const auto& l : host->journaled) out.push_back(l.first);
    return out;
  }
};

TEST_P(ZkJournalTest, AClockingMadeAsTheKeypadWorksAgainIsStoredAtTheNextPoll) {
  for (bool withJournal : {true, false}) {
    host->journal = withJournal ? &journal : nullptr;
    host->saved.clear();
    term->calls.clear();
    term->logs = {Rec(11, 0), Rec(12, 1), Rec(13, 0)};
    term->onEnable = {Rec(14, 0, 1, 9, 10, 16)};
    bool disabledAtAppend = false;
    journal.onAppend = [&] { disabledAtAppend = !term->enabled; };
    Start();
    ASSERT_TRUE(Poll()) << log.Dump();
    // Cleared while the keypad was still off, then enabled: the clocking survives.
    auto at = [&](const char* c) { return std::find(term->calls.begin(), term->calls.end(), c) - term->calls.begin(); };
    EXPECT_LT(at("disable"), at("clear"));
    EXPECT_LT(at("clear"), at("enable"));
    ASSERT_EQ(term->logs.size(), 1u) << withJournal;
    EXPECT_EQ(host->saved.size(), 3u);
    ASSERT_TRUE(Poll());
    ASSERT_EQ(host->saved.size(), 4u);
    EXPECT_EQ(host->saved[3], "F7|09121016000014 127.0.0.1");
    EXPECT_TRUE(term->logs.empty());
    EXPECT_EQ(disabledAtAppend, withJournal);
  }
  // With the journal: one entry per poll under the terminal's source, the
  // rows stored with their consecutive numbers and reported consumed.
  ASSERT_EQ(journal.entries.size(), 2u);
  EXPECT_EQ(journal.entries[0].source, "ZK127000000001");
  EXPECT_EQ(journal.entries[0].lines,
            (std::vector<std::string>{"ZF7\t09121015000011 127.0.0.1", "ZF7\t09121015000012 127.0.0.1",
                                      "ZF7\t09121015000013 127.0.0.1"}));
  EXPECT_EQ(Seqs(), (std::vector<IIntakeJournal::Seq>{1, 2, 3, 4}));
  EXPECT_EQ(journal.consumed, (std::set<IIntakeJournal::Seq>{1, 2, 3, 4}));
}

TEST_P(ZkJournalTest, AJournalThatDoesNotTakeTheRecordsKeepsTheLogAndStoresNothing) {
  Start();
  // Refused, and not synced in time (taken back).
  for (int refused = 1; refused >= 0; --refused) {
    journal.accept = refused == 0;
    journal.settle = false;
    term->logs = {Rec(11, 0), Rec(12, 0)};
    EXPECT_FALSE(Poll());
    EXPECT_TRUE(skipped) << "not the terminal's failure";
    EXPECT_EQ(term->logs.size(), 2u);
    EXPECT_EQ(term->clears, 0);
    EXPECT_TRUE(term->enabled);
    EXPECT_TRUE(host->saved.empty());
  }
  EXPECT_TRUE(journal.entries.back().withdrawn);
  EXPECT_TRUE(log.Has("F7: records not journaled, log kept."));
  EXPECT_TRUE(log.Has("F7: journal not synced in time, log kept."));
  // On disk by the time it was taken back: the journal has them, the log goes.
  journal.withdrawable = false;
  EXPECT_TRUE(Poll());
  EXPECT_EQ(term->clears, 1);
  EXPECT_EQ(host->saved.size(), 2u);
}

TEST_P(ZkJournalTest, ARecordArrivingDuringTheReadKeepsTheLogUntilTheNextPoll) {
  Start();
  term->logs = {Rec(11, 0), Rec(12, 0)};
  term->afterRead = {Rec(13, 0)};
  EXPECT_TRUE(Poll());
  EXPECT_EQ(term->clears, 0);
  EXPECT_TRUE(journal.entries.empty());
  EXPECT_TRUE(host->saved.empty());
  EXPECT_TRUE(Poll());
  EXPECT_EQ(host->saved.size(), 3u);
  EXPECT_TRUE(term->logs.empty());
}

TEST_P(ZkJournalTest, RecordsStoredBeforeAFailedClearAreNotStoredAgain) {
  Start();
  term->logs = {Rec(11, 0), Rec(12, 0)};
  term->clearFails = true;
  EXPECT_FALSE(Poll());
  EXPECT_EQ(host->saved.size(), 2u) << "journaled, so stored";
  EXPECT_TRUE(log.Has("F7: log not cleared, 2 records stay on the terminal."));
  term->clearFails = false;
  term->logs.push_back(Rec(13, 0));
  EXPECT_TRUE(Poll());  // connects again
  ASSERT_EQ(host->saved.size(), 3u);
  EXPECT_EQ(host->saved[2], "F7|09121015000013 127.0.0.1");
  // A log emptied by other hands meanwhile: every record read is new.
  term->logs = {Rec(11, 0)};
  term->clearFails = true;
  EXPECT_FALSE(Poll());
  term->clearFails = false;
  term->logs = {Rec(12, 0), Rec(11, 0)};
  EXPECT_TRUE(Poll());
  EXPECT_EQ(host->saved.size(), 6u);
}

TEST_P(ZkJournalTest, ALogNotClearedBeforeARestartIsKnownAgainAndItsRecordsAreNotTakenTwice) {
  TIntakeJournal::Options o;
  o.dir = dir.File("journal");
  auto real = std::make_unique<TIntakeJournal>(o, log);
  host->journal = real.get();
  Start();
  term->logs = {Rec(11, 0), Rec(12, 0)};
  term->clearFails = true;
  EXPECT_FALSE(Poll());
  EXPECT_EQ(host->saved.size(), 2u);
  // The service ends (or dies) with the log still on the terminal.
  zk.reset();
  real.reset();
  real = std::make_unique<TIntakeJournal>(o, log);
  host->journal = real.get();
  term->clearFails = false;
  term->logs.push_back(Rec(13, 0));
  Start();
  EXPECT_TRUE(Poll());
  ASSERT_EQ(host->saved.size(), 3u);
  EXPECT_EQ(host->saved[2], "F7|09121015000013 127.0.0.1");
  EXPECT_TRUE(term->logs.empty());
  // Cleared: the note goes, and the next records are all new.
  EXPECT_EQ(real->Note("ZK127000000001"), "");
  host->journal = nullptr;
  zk.reset();
}

INSTANTIATE_TEST_SUITE_P(Db, ZkJournalTest, testing::Values("sqlite"), DbBackendName);

}  // namespace
