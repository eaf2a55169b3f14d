// No transaction is lost when a database fails: rows go to the spool, are
// stored once and in order when the database answers again, survive a
// restart, and a row the database refuses for good does not block the rest.
#include <filesystem>

#include "service/TransSpool.h"
#include "store/StoreFixture.h"

namespace px::test {
namespace {

class TransSpoolTest : public StoreTest {
protected:
  std::string Card(int i) { return Format("%6.6d", i); }
  void Arrive(int from, int to) {
    for (int i = from; i < to; ++i) store->Save_Trans("Door1", Rec(2, 1, 8, i % 60, Card(i), '1'));
  }
  void ExpectCardsInOrder(int n) {
    auto rows = Rows("trans");
    ASSERT_EQ(rows.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) ASSERT_EQ(rows[static_cast<size_t>(i)][2], Card(i)) << "row " << i;
  }
  // Ticks until the spool is empty (at most `max` ticks).
  void Drain(int max = 10) {
    for (int i = 0; i < max && !store->Writer().Spool().Empty(); ++i) Tick();
  }
  size_t Spooled() { return store->Writer().Spool().Size(); }
};

TEST_P(TransSpoolTest, OutageKeepsEveryRowAndOrder) {
  BlockInserts("trans");
  for (int batch = 0; batch < 10; ++batch) {
    Arrive(batch * 10, batch * 10 + 10);
    Tick(2);  // replay attempts during the outage fail and change nothing
  }
  EXPECT_EQ(Count("trans"), "0");
  EXPECT_EQ(Spooled(), 100u);
  EXPECT_EQ(log.CountSubstr("Spooled trans row (database unavailable): insert into trans values("), 1);
  EXPECT_EQ(log.CountSubstr("Spooled trans row (behind "), 99);
  EXPECT_EQ(monitor.LineCount(), 49);  // shown at once all the same

  UnblockInserts("trans");
  Tick();
  EXPECT_TRUE(log.Has("Spool replayed: 50 rows (50 left)"));
  // New rows queue behind the spooled ones.
  Arrive(100, 101);
  Drain();
  ExpectCardsInOrder(101);
  EXPECT_FALSE(Db().Dir().Exists("trans.spool.bad"));
  EXPECT_EQ(Db().Dir().Read("trans.spool"), "");
}

TEST_P(TransSpoolTest, RestartsDuringOutageAndReplay) {
  BlockInserts("trans");
  Arrive(0, 100);
  MakeStore();  // restart while the database still refuses
  EXPECT_TRUE(log.HasSubstr("holds 100 rows from an earlier run"));
  UnblockInserts("trans");
  Tick();
  EXPECT_EQ(Count("trans"), "50");
  MakeStore();  // restart half-way through the replay
  EXPECT_TRUE(log.HasSubstr("holds 50 rows from an earlier run"));
  Drain();
  ExpectCardsInOrder(100);
  MakeStore();
  EXPECT_TRUE(store->Writer().Spool().Empty());
  Tick();
  EXPECT_EQ(Count("trans"), "100");
}

TEST_P(TransSpoolTest, RowStoredJustBeforeAStopIsNotStoredTwice) {
  BlockInserts("trans");
  Arrive(0, 3);
  UnblockInserts("trans");
  // The previous run stored the oldest row and stopped before recording it.
  SpoolEntry first = *store->Writer().Spool().At("GDB1", 0);
  Db().Exec(TransRowWriter::InsertSql(first.kind, first.fields));
  MakeStore();
  Drain();
  ExpectCardsInOrder(3);
  EXPECT_EQ(log.CountSubstr("Spooled row already in the database, not stored again"), 1);
}

TEST_P(TransSpoolTest, RefusedRowMovesAsideWhileLaterRowsAreStored) {
  BlockInserts("trans", "NEW.card_number='666666'");
  store->Save_Trans("Door1", Rec(2, 1, 8, 0, "666666", '1'));
  Arrive(0, 5);
  EXPECT_EQ(Spooled(), 6u);
  Tick();
  Tick();
  EXPECT_EQ(Count("trans"), "0");  // two failures: still taken for an outage
  Tick();
  ExpectCardsInOrder(5);
  EXPECT_TRUE(store->Writer().Spool().Empty());
  EXPECT_EQ(log.CountSubstr("Spooled row moved to " + Db().Dir().File("trans.spool.bad") + " after 3 failed replays"), 1);
  std::string bad = Db().Dir().Read("trans.spool.bad");
  EXPECT_NE(bad.find("GDB1\t"), std::string::npos);
  EXPECT_NE(bad.find("insert into trans values("), std::string::npos);
  EXPECT_NE(bad.find("'666666'"), std::string::npos);
}

TEST_P(TransSpoolTest, LostConnectionDefersTheWholeTransaction) {
  settings.ChronexLink = true;
  AddCard("000007", "S7", "Ann");
  db->Database1.Close();
  db->Database2.Close();
  store->Save_Trans("Door1", Rec(2, 1, 8, 0, "000007", '0'));
  store->Save_Trans("Door1", Rec(2, 1, 8, 1, "", 'X'));
  EXPECT_TRUE(log.HasSubstr("Spooled card transaction (card lookup failed): tag=Door1 record="));
  EXPECT_TRUE(ctx.ReproList.empty());
  EXPECT_EQ(log.CountSubstr("Staff not found"), 0);
  int failures = log.CountSubstr("<RSQL>");
  Tick();
  Tick();
  EXPECT_EQ(log.CountSubstr("<RSQL>"), failures);  // nothing is tried on a closed database

  ASSERT_TRUE(db->SQLDB_Connect(false));
  Tick();
  auto trans = Rows("trans");
  ASSERT_EQ(trans.size(), 2u);
  EXPECT_EQ(trans[0][6], "Ann");
  EXPECT_EQ(trans[0][7], "S7");
  EXPECT_EQ(trans[0][0], "27010210203056");  // the time it arrived
  EXPECT_EQ(trans[1][12], "X");
  EXPECT_EQ(Count("ot_tmclk"), "1");
  ASSERT_EQ(ctx.ReproList.size(), 1u);
  EXPECT_EQ(ctx.ReproList[0], "2027010120270102S7");
}

TEST_P(TransSpoolTest, AttendanceOutageDoesNotHoldBackTransactions) {
  settings.ChronexLink = true;
  AddCard("000007", "S7", "Ann");
  BlockInserts("ot_tmclk");
  store->Save_Trans("Door1", Rec(2, 1, 8, 0, "000007", '0'));
  store->Save_Trans("Door1", Rec(2, 1, 17, 0, "000007", '9'));
  EXPECT_EQ(Count("trans"), "2");
  EXPECT_EQ(Count("ot_tmclk"), "0");
  EXPECT_EQ(store->Writer().Spool().Size("ARQ1"), 2u);
  EXPECT_TRUE(log.HasSubstr("Spooled ot_tmclk row (database unavailable): insert into ot_tmclk values('S7',"));
  UnblockInserts("ot_tmclk");
  Tick();
  auto att = Rows("ot_tmclk");
  ASSERT_EQ(att.size(), 2u);
  EXPECT_EQ(att[0][4], "I");
  EXPECT_EQ(att[1][4], "O");
}

TEST_P(TransSpoolTest, FailedRowInsideATickKeepsTheTicksEarlierRows) {
  AddCtrl("Door1", 1);
  BlockInserts("trans", "NEW.card_number='666666'");
  engine.lines = {"T0101" + Rec(2, 1, 8, 0, Card(0), '1'), "T0101" + Rec(2, 1, 8, 1, "666666", '1'),
                  "T0101" + Rec(2, 1, 8, 2, Card(1), '1')};
  store->CheckThCommTrans();
  EXPECT_EQ(Count("trans"), "0");  // the first went back with the tick's transaction
  EXPECT_EQ(Spooled(), 3u);
  EXPECT_TRUE(log.HasSubstr("Spooled trans row (transaction rolled back): "));
  Tick();
  Tick();
  Tick();
  ExpectCardsInOrder(2);
  EXPECT_TRUE(store->Writer().Spool().Empty());
}

TEST_P(TransSpoolTest, RefusedAttendanceRowInsideATick) {
  settings.ChronexLink = true;
  AddCtrl("Door1", 1);
  AddCard("000007", "S7", "Ann");
  AddCard("000008", "S8", "Bob");
  BlockInserts("ot_tmclk", "NEW.staff_number='S8'");
  engine.lines = {"T0101" + Rec(2, 1, 8, 0, "000007", '0'), "T0101" + Rec(2, 1, 8, 1, "000008", '0'),
                  "T0101" + Rec(2, 1, 8, 2, "000007", '9')};
  store->CheckThCommTrans();
  EXPECT_EQ(Count("trans"), "3");
  EXPECT_EQ(Count("ot_tmclk"), "0");
  EXPECT_EQ(store->Writer().Spool().Size("ARQ1"), 3u);
  Drain();
  auto att = Rows("ot_tmclk");
  ASSERT_EQ(att.size(), 2u);
  EXPECT_EQ(att[0][4], "I");
  EXPECT_EQ(att[1][4], "O");
  EXPECT_NE(Db().Dir().Read("trans.spool.bad").find("'S8'"), std::string::npos);
}

TEST_P(TransSpoolTest, AtAStopEveryEngineLineIsStoredOrSpooled) {
  AddCtrl("Door1", 1);
  auto lines = [&](int from, int to) {
    for (int i = from; i < to; ++i) engine.lines.push_back("T0101" + Rec(2, 1, 8, i % 60, Card(i), '1'));
  };
  lines(0, 30);
  ctx.Stopping = true;
  store->CheckThCommTrans();  // a stopping service takes no new lines in its ticks...
  EXPECT_EQ(Count("trans"), "0");
  // ...but stores what the engine holds, as long as the stop allows,
  EXPECT_FALSE(store->DrainAtStop(std::chrono::steady_clock::now() + std::chrono::minutes(1)));
  EXPECT_EQ(Count("trans"), "30");
  // and keeps the rest in the spool for the next start.
  lines(30, 60);
  EXPECT_TRUE(store->DrainAtStop(std::chrono::steady_clock::now() - std::chrono::seconds(1)));
  store->SpoolAtStop();
  EXPECT_TRUE(engine.lines.empty());
  EXPECT_TRUE(log.Has("Stop: 30 engine lines kept in the spool, stored at the next start"));
  ctx.Stopping = false;
  MakeStore();
  Drain();
  ExpectCardsInOrder(60);
}

TEST_P(TransSpoolTest, ACardThatCannotBeLookedUpIsStoredAsUnknownAfterThreeTries) {
  Db().Exec("alter table cards rename to cards_gone");
  store->Save_Trans("Door1", Rec(2, 1, 8, 0, Card(0), '1'));
  for (int i = 1; i <= 3; ++i) store->Save_Trans("Door1", Rec(2, 1, 8, i, "", 'X'));
  EXPECT_EQ(Spooled(), 4u);
  Tick();
  Tick();
  EXPECT_EQ(Count("trans"), "0");
  Tick();
  auto rows = Rows("trans");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0][2], Card(0));
  EXPECT_EQ(rows[0][6], "Unknown");
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(rows[i][12], "X");
  EXPECT_TRUE(log.HasSubstr("Card lookup failed 3 times: stored as an unknown card: tag=Door1 record="));
  EXPECT_FALSE(Db().Dir().Exists("trans.spool.bad"));
}

TEST_P(TransSpoolTest, EveryRowOfACommitWithUnknownOutcomeIsLookedUpAfterARestart) {
  // The commit took effect though its answer was lost: all its rows are in.
  for (int i = 0; i < 3; ++i) {
    SpoolEntry e{0, "GDB1", "trans", {"27010210203000", "080000", Card(i), "20270102", "Door1", "", "Unknown", "", "",
                                      "", "", "", "1", "", "0"}};
    e.mayExist = true;
    Db().Exec(TransRowWriter::InsertSql("trans", e.fields));
    store->Writer().Spool().Append(e);
  }
  MakeStore();
  Drain();
  ExpectCardsInOrder(3);
  EXPECT_EQ(log.CountSubstr("Spooled row already in the database, not stored again"), 3);
}

TEST_P(TransSpoolTest, ReprocessingIsRequestedWhenTheAttendanceRowLands) {
  settings.ChronexLink = true;
  AddCard("000007", "S7", "Ann");
  BlockInserts("ot_tmclk");
  store->Save_Trans("Door1", Rec(2, 1, 8, 0, "000007", '0'));
  EXPECT_TRUE(ctx.ReproList.empty());
  MakeStore();
  UnblockInserts("ot_tmclk");
  Tick();
  ASSERT_EQ(ctx.ReproList.size(), 1u);
  EXPECT_EQ(ctx.ReproList[0], "2027010120270102S7");
}

TEST_P(TransSpoolTest, ASpoolThatCannotBeWrittenStopsTheEngineAskingForRecords) {
  BlockInserts("trans");
  // Writes fail (no space), and so does the rewrite of the whole file.
  std::filesystem::create_symlink("/dev/full", Db().Dir().File("trans.spool"));
  std::filesystem::create_directory(Db().Dir().File("trans.spool.tmp"));
  Arrive(0, 2);
  EXPECT_TRUE(log.HasSubstr("<Spool> cannot write"));
  Tick();
  EXPECT_EQ(engine.holds, std::vector<bool>{true});
  EXPECT_TRUE(log.HasSubstr("cannot be written: controllers are asked for no records"));
  std::filesystem::remove(Db().Dir().File("trans.spool.tmp"));
  Tick();
  EXPECT_EQ(engine.holds, (std::vector<bool>{true, false}));
  MakeStore();  // the rows reached the disk once it could be written
  EXPECT_TRUE(log.HasSubstr("holds 2 rows from an earlier run"));
  UnblockInserts("trans");
  Drain();
  ExpectCardsInOrder(2);
}

PX_INSTANTIATE_DB_TESTS(TransSpoolTest);

// The spool's files on their own.
class SpoolFileTest : public testing::Test {
protected:
  SpoolEntry Entry(const std::string& alias, const std::string& value) { return {0, alias, "trans", {value, "x"}}; }
  TempDir dir;
  CaptureLog log;
  std::string path = dir.File("trans.spool");
};

TEST_F(SpoolFileTest, LinesKeepAnyText) {
  SpoolEntry e{42, "GDB1", "trans", {"O'Brien\tA\\B", "two\nlines\r", ""}};
  SpoolEntry back;
  ASSERT_TRUE(TransSpool::DecodeLine(TransSpool::EncodeLine(e), back));
  EXPECT_EQ(back.id, 42u);
  EXPECT_EQ(back.alias, "GDB1");
  EXPECT_EQ(back.fields, e.fields);
  EXPECT_EQ(TransSpool::EncodeLine(e).find('\n'), std::string::npos);
  EXPECT_FALSE(TransSpool::DecodeLine("x\tGDB1\ttrans", back));
  EXPECT_FALSE(TransSpool::DecodeLine("12", back));
}

TEST_F(SpoolFileTest, ProgressAndTornWritesSurviveRestart) {
  {
    TransSpool s(path, log);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(s.Append(Entry(i % 2 ? "ARQ1" : "GDB1", "v" + std::to_string(i))));
    s.Done("GDB1", 1);  // v0
  }
  // A crash in the middle of writing a fifth line.
  {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    std::fputs("99\tGDB1\ttr", f);
    std::fclose(f);
  }
  {
    TransSpool s(path, log);
    EXPECT_TRUE(log.HasSubstr("incomplete last line dropped"));
    EXPECT_EQ(s.Size(), 3u);
    ASSERT_NE(s.At("GDB1", 0), nullptr);
    EXPECT_EQ(s.At("GDB1", 0)->fields[0], "v2");
    EXPECT_TRUE(s.At("GDB1", 0)->mayExist);  // the first of each database is looked up first
    EXPECT_FALSE(s.At("ARQ1", 1)->mayExist);
    s.Done("ARQ1", 1);  // v1
  }
  // The newest progress slot is torn: the older one still holds.
  {
    std::string pos = ReadFile(path + ".pos");
    ASSERT_EQ(pos.size(), 512u);
    size_t newest = pos.find("seq=2;") == 0 ? 0 : 256;
    pos[newest + 10] ^= 1;
    WriteFile(path + ".pos", pos);
  }
  TransSpool s(path, log);
  EXPECT_EQ(s.Size(), 3u);  // v1 counts as waiting again
  EXPECT_EQ(s.At("ARQ1", 0)->fields[0], "v1");
}

TEST_F(SpoolFileTest, EmptiedFileAndIdsGoOn) {
  std::uint64_t last = 0;
  {
    TransSpool s(path, log);
    s.Append(Entry("GDB1", "a"));
    s.Append(Entry("GDB1", "b"));
    last = s.At("GDB1", 1)->id;
    s.Done("GDB1", 2);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
  }
  TransSpool s(path, log);
  EXPECT_TRUE(s.Empty());
  s.Append(Entry("GDB1", "c"));
  EXPECT_GT(s.At("GDB1", 0)->id, last);
  s.SaveBad(*s.At("GDB1", 0), "insert into trans values('c')");
  EXPECT_EQ(ReadFile(path + ".bad"), "GDB1\t" + std::to_string(last + 1) + "\tinsert into trans values('c')\n");
}

}  // namespace
}  // namespace px::test
