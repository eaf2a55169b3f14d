// Exactly once through the intake journal: what a device handed over is
// stored once after a crash at any point, and once when a commit's answer is
// lost, however alike the rows are.
#include <filesystem>

#include "common/IntakeJournal.h"
#include "store/StoreFixture.h"

namespace px::test {
namespace {

using namespace std::chrono_literals;

// Passes everything to the real connection; armed, the next transaction
// either lands and loses its answer, or is lost before it is sent.
class LosingConnection : public DbConnection {
public:
  enum class Arm { None, AfterCommit, BeforeCommit };
  LosingConnection(std::unique_ptr<DbConnection> real, Arm* arm) : real_(std::move(real)), arm_(arm) {}
  DbRows Query(const std::string& sql) override { return real_->Query(sql); }
  void Execute(const std::string& sql) override {
    const Arm a = sql.find("commit") != std::string::npos ? *arm_ : Arm::None;
    if (a == Arm::None) return real_->Execute(sql);
    *arm_ = Arm::None;
    if (a == Arm::AfterCommit) real_->Execute(sql);
    throw DbError("READ FAILURE: connection reset", true);
  }
  bool HasTables() override { return real_->HasTables(); }
  std::string Dialect() const override { return real_->Dialect(); }

private:
  std::unique_ptr<DbConnection> real_;
  Arm* arm_;
};

class JournalStoreTest : public StoreTest {
protected:
  void SetUp() override {
    StoreTest::SetUp();
    settings.ChronexLink = true;
    AddCtrl("Door1", 1);
    AddCard("000007", "S7", "Ann");
    OpenJournal();
  }
  void TearDown() override {
    store.reset();
    journal.reset();
    StoreTest::TearDown();
  }
  // A journal on the folder, as a new run finds it; the store with it.
  void OpenJournal() {
    store.reset();
    journal.reset();
    TIntakeJournal::Options o;
    o.dir = Db().Dir().File("journal");
    o.clock = clock;
    journal = std::make_unique<TIntakeJournal>(o, log);
    ctx.journal = journal.get();
    MakeStore();
  }
  // Bus 1 unit 1 hands over these records as one block.
  void Hand(const std::vector<std::string>& records) {
    std::vector<std::string> lines;
    for (const auto& r : records) lines.push_back("T0101" + r);
    auto last = journal->Append("B1", lines);
    ASSERT_GT(last, 0u);
    for (size_t i = 0; i < lines.size(); ++i) {
      engine.lines.push_back(lines[i]);
      engine.seqs.push_back(last - lines.size() + 1 + i);
    }
  }
  void Arm(LosingConnection::Arm a) {
    arm = a;
    db->Database1.Adopt(std::make_unique<LosingConnection>(db->Database1.Release(), &arm));
  }
  LosingConnection::Arm arm = LosingConnection::Arm::None;
  std::unique_ptr<TIntakeJournal> journal;
};

TEST_P(JournalStoreTest, ACrashAtAnyPointStoresEveryLineOnceInBothDatabases) {
  const std::string a = Rec(2, 1, 8, 0, "000007", '0'), b = Rec(2, 1, 8, 1, "000007", '9');
  Hand({a, a, b});  // a double swipe: two rows alike in every column
  Tick();
  EXPECT_EQ(Count("trans"), "3");
  EXPECT_EQ(Count("ot_tmclk"), "3");
  EXPECT_EQ(journal->Depth(), 0u);
  // Handed over and journaled, then the process dies before storing them.
  Hand({Rec(2, 1, 9, 0, "000007", '0'), Rec(2, 1, 9, 0, "000007", '0')});
  engine.lines.clear();
  engine.seqs.clear();
  OpenJournal();
  ASSERT_TRUE(store->PrepareRecovery());
  EXPECT_EQ(store->RecoveryLeft(), 2u);
  EXPECT_EQ(engine.holds.back(), true);  // no records asked for meanwhile
  Tick();
  EXPECT_EQ(Count("trans"), "5");
  EXPECT_EQ(Count("ot_tmclk"), "5");
  EXPECT_EQ(engine.holds.back(), false);
  // Rows in the main database only (as after a crash between the two
  // commits): only the attendance rows come again.
  settings.ChronexLink = false;
  Hand({Rec(2, 1, 10, 0, "000007", '0'), Rec(2, 1, 10, 1, "000007", '9')});
  Tick();
  EXPECT_EQ(Count("trans"), "7");
  settings.ChronexLink = true;
  OpenJournal();
  ASSERT_TRUE(store->PrepareRecovery());
  EXPECT_EQ(store->RecoveryLeft(), 2u);
  Tick();
  EXPECT_EQ(Count("trans"), "7");
  EXPECT_EQ(Count("ot_tmclk"), "7");
  // Restarted once more: nothing is stored twice.
  OpenJournal();
  ASSERT_TRUE(store->PrepareRecovery());
  EXPECT_EQ(store->RecoveryLeft(), 0u);
  Tick();
  EXPECT_EQ(Count("trans"), "7");
  EXPECT_EQ(Count("ot_tmclk"), "7");
  // Each trans row has its event for integrators, written with it.
  EXPECT_EQ(Count("trans_event"), "7");
}

TEST_P(JournalStoreTest, ACommitWhoseAnswerIsLostIsDecidedByTheMarkAndAlikeRowsAreCounted) {
  const std::string a = Rec(2, 1, 8, 0, "000123", '1');
  for (auto how : {LosingConnection::Arm::AfterCommit, LosingConnection::Arm::BeforeCommit}) {
    Db().Exec("delete from trans");
    Hand({a, a});
    Arm(how);
    Tick();
    EXPECT_EQ(store->Writer().Spool().Size("GDB1"), 2u);
    EXPECT_TRUE(log.HasSubstr("Spooled trans row (commit failed)"));
    ASSERT_TRUE(db->SQLDB_Connect(false));
    Tick();
    Tick();
    EXPECT_TRUE(store->Writer().Spool().Empty());
    EXPECT_EQ(Count("trans"), "2") << (how == LosingConnection::Arm::AfterCommit ? "landed" : "lost");
  }
  EXPECT_EQ(log.CountSubstr("Spooled row already in the database, not stored again"), 2);
  EXPECT_EQ(journal->Depth(), 0u);
}

TEST_P(JournalStoreTest, AStopLeavesWhatItCannotStoreInTheJournalAndSaysSoTruly) {
  Hand({Rec(2, 1, 8, 0, "000123", '1'), Rec(2, 1, 8, 1, "000123", '1')});
  engine.lines.push_back("M0101123456789OK");  // a reply: not journaled
  // The database is gone and the spool cannot be written.
  db->Database1.Close();
  std::filesystem::create_directory(Db().Dir().File("trans.spool"));
  EXPECT_FALSE(store->DrainAtStop(std::chrono::steady_clock::now() + 1s));
  store->SpoolAtStop();
  EXPECT_FALSE(log.HasSubstr("kept in the spool"));
  EXPECT_TRUE(log.HasSubstr("Stop: 2 lines left in the intake journal, stored at the next start"));
  EXPECT_EQ(journal->Depth(), 2u);
  ASSERT_TRUE(db->SQLDB_Connect(false));
  OpenJournal();
  ASSERT_TRUE(store->PrepareRecovery());
  Tick();
  EXPECT_EQ(Count("trans"), "2");
}

TEST_P(JournalStoreTest, ATickStoresForAtMostATenthOfASecondWhateverTheInterval) {
  settings.QCheckInterval = 2000;
  for (int i = 0; i < 50000; ++i) engine.lines.push_back("T0101" + Rec(2, 1, 8, i % 60, "000123", '1'));
  const auto t0 = std::chrono::steady_clock::now();
  store->CheckThCommTrans();
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GT(std::stoi(Count("trans")), 10);
  EXPECT_LT(took, 600ms);  // 800 ms at this interval before the ceiling
}

TEST_P(JournalStoreTest, ADeferredClockingWhoseReplayLostItsAnswerStillGetsItsAttendanceRow) {
  // The holder cannot be looked up: the clocking waits in the spool.
  Db().Exec("alter table cards rename to cards_away");
  Hand({Rec(2, 1, 8, 0, "000007", '0')});
  Tick();
  ASSERT_TRUE(log.HasSubstr("Spooled card transaction (card lookup failed)"));
  Db().Exec("alter table cards_away rename to cards");
  // Its replay commits, and the answer is lost on the way.
  Arm(LosingConnection::Arm::AfterCommit);
  Tick();
  EXPECT_EQ(Count("trans"), "1");
  ASSERT_TRUE(db->SQLDB_Connect(false));
  Tick();
  EXPECT_TRUE(log.HasSubstr("Spooled row already in the database, not stored again"));
  // Its attendance row follows, looked for by its mark first; replayed again
  // (a stop before the spool recorded the row as done), it is not doubled.
  for (int i = 0; i < 5 && !store->Writer().Spool().Empty(); ++i) Tick();
  EXPECT_TRUE(store->Writer().Spool().Empty());
  EXPECT_EQ(Count("trans"), "1");
  EXPECT_EQ(Count("ot_tmclk"), "1");
  SpoolEntry again{0, "ARQ1", "ot_tmclk", Rows("ot_tmclk")[0]};
  again.mayExist = true;
  again.seq = again.witnessSeq = 1;
  again.source = again.witnessSource = "B1";
  store->Writer().Spool().Append(again);
  for (int i = 0; i < 5 && !store->Writer().Spool().Empty(); ++i) Tick();
  EXPECT_EQ(Count("ot_tmclk"), "1");
}

PX_INSTANTIATE_DB_TESTS(JournalStoreTest);

}  // namespace
}  // namespace px::test
