// Transaction storage on a real database: record decoding, card lookup, the
// trans and attendance rows, the monitor line, the engine's output lines,
// transaction codes and the raw attendance file.
#include "store/StoreFixture.h"

namespace px::test {
namespace {

using Row = std::vector<std::string>;

class TransStoreTest : public StoreTest {};

TEST_P(TransStoreTest, DecemberRecordReadInJanuaryBelongsToLastYear) {
  // 2 January 2027 10:20:30.456; the record's characters after the 15th are not decoded.
  store->Save_Trans("Door1", "311223590012340 192168001020");
  auto rows = Rows("trans");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (Row{"27010210203056", "235900", "001234", "20261231", "Door1", "", "Unknown", "", "", "", "",
                          "", "0", "", "0"}));
  // The monitor shows the current year.
  EXPECT_EQ(monitor.LineCount(), 1);
  EXPECT_EQ(monitor.CellText(1, 0), "     Door1");
  EXPECT_EQ(monitor.CellText(1, 1), "31/12/2027");
  EXPECT_EQ(monitor.CellText(1, 2), "23:59");
  EXPECT_EQ(monitor.CellText(1, 5), "Unknown");
  EXPECT_EQ(monitor.CellText(1, 7), "0");

  clock->Set(DateTime{2026, 12, 15, 8, 0, 0, 0});
  store->Save_Trans("Door1", Rec(1, 12, 7, 5, "001234", '1'));
  EXPECT_EQ(Rows("trans")[1][3], "20261201");
  EXPECT_EQ(Rows("trans")[1][1], "070500");
}

TEST_P(TransStoreTest, KnownCardWithAttendanceLink) {
  settings.ChronexLink = true;
  settings.RawEnable = true;
  AddCard("001234", "S100", "O'Brien");
  store->Save_Trans("Door'1", Rec(31, 12, 23, 59, "001234", '0'));
  store->Save_Trans("Door'1", Rec(2, 1, 8, 15, "001234", '9'));

  auto trans = Rows("trans");
  ASSERT_EQ(trans.size(), 2u);
  EXPECT_EQ(trans[0][4], "Door'1");
  EXPECT_EQ(trans[0][6], "O'Brien");
  EXPECT_EQ(trans[0][7], "S100");
  EXPECT_EQ(trans[0][8], "u1");
  EXPECT_EQ(trans[0][10], "u3");
  auto att = Rows("ot_tmclk");
  ASSERT_EQ(att.size(), 2u);
  EXPECT_EQ(att[0], (Row{"S100", "20261231", "2359", "000", "I", "001234", "", "01", "R", "0001", "PX"}));
  EXPECT_EQ(att[1][4], "O");
  EXPECT_EQ(att[1][1], "20270102");
  ASSERT_EQ(ctx.ReproList.size(), 2u);
  EXPECT_EQ(ctx.ReproList[0], "2026123020261231S100");
  EXPECT_EQ(ctx.ReproList[1], "2027010120270102S100");
  EXPECT_TRUE(log.Has("Q.Reprocess [S100]"));
  // One raw line per clocking, in the file of the event's day.
  EXPECT_EQ(Db().Dir().Read("m20261231.txt"), "Door'1,31122026,2359,S100,<\n");
  EXPECT_EQ(Db().Dir().Read("m20270102.txt"), "Door'1,02012027,0815,S100,>\n");

  settings.NoOTFRepro = true;
  store->Save_Trans("Door'1", Rec(2, 1, 9, 0, "001234", '0'));
  EXPECT_EQ(ctx.ReproList.size(), 2u);
  EXPECT_EQ(Count("ot_tmclk"), "3");
}

TEST_P(TransStoreTest, UnknownCardAndStatusCodesMakeNoAttendance) {
  settings.ChronexLink = true;
  settings.RawEnable = true;
  AddCard("      ", "S0", "Blank");  // a card lookup for a status record would find this
  store->Save_Trans("Door1", Rec(2, 1, 8, 0, "004321", '0'));
  store->Save_Trans("Door1", Rec(2, 1, 8, 1, "", 'X'));
  store->Save_Trans("Door1", Rec(2, 1, 8, 2, "", 'Y'));
  auto trans = Rows("trans");
  ASSERT_EQ(trans.size(), 3u);
  EXPECT_EQ(trans[0][6], "Unknown");
  EXPECT_EQ(trans[1][6], "");
  EXPECT_EQ(trans[1][7], "");
  EXPECT_EQ(trans[2][12], "Y");
  EXPECT_TRUE(log.Has("Staff not found in DB: card=004321"));
  EXPECT_EQ(log.CountSubstr("Staff not found"), 1);
  EXPECT_EQ(Count("ot_tmclk"), "0");
  EXPECT_TRUE(ctx.ReproList.empty());
  EXPECT_FALSE(Db().Dir().Exists("m20270102.txt"));

  // A terminal record without a direction mark names its holder, and still
  // makes no clocking.
  AddCard("001234", "S100", "Ann");
  store->Save_Trans("F7", "02010803001234 127.0.0.1");
  EXPECT_EQ(Rows("trans").back()[6], "Ann");
  EXPECT_EQ(Count("ot_tmclk"), "0");
}

TEST_P(TransStoreTest, InvalidRecordsAreLoggedAndNotStored) {
  store->Save_Trans("Door1", "300212001234560");  // 30 February
  store->Save_Trans("Door1", "0101250012345600");  // hour 25
  store->Save_Trans("Door1", "01a1");              // short and not a date
  EXPECT_EQ(log.CountSubstr("<SaveT>"), 3);
  EXPECT_EQ(Count("trans"), "0");
  EXPECT_EQ(monitor.LineCount(), 0);
}

TEST_P(TransStoreTest, TransactionCodes) {
  Db().Exec("insert into trcode values(' 0 ','Valid Card')");
  Db().Exec("insert into trcode values('','')");
  Db().Exec("insert into trcode values('E','')");
  for (int i = 0; i < 60; ++i) Db().Exec("insert into trcode values('Z','Zed')");
  store->GetTranCodeFromTable();
  EXPECT_EQ(store->TranCodeCount(), 60);
  EXPECT_EQ(log.CountSubstr("trcode has more than 60 rows"), 1);
  EXPECT_EQ(store->TranCode(2).code, '\0');
  EXPECT_EQ(store->GetTranStr("0"), "Valid Card");
  EXPECT_EQ(store->GetTranStr("Q"), "Q:Unknown");
  EXPECT_EQ(store->GetTranStr("E"), "E:Unknown");
  EXPECT_EQ(store->GetTranStr(""), " ");
  store->Save_Trans("Door1", Rec(2, 1, 8, 0, "", 'Q'));
  EXPECT_EQ(monitor.CellText(1, 6).substr(0, 9), "Q:Unknown");
}

TEST_P(TransStoreTest, UnitUpAndDownLines) {
  AddCtrl("Door21", 21);
  AddCtrl("IPDoor", 3, "192168001020");
  AddCtrl("ZK1", 4, "192168001021");
  ZKCtrlRec zk;
  zk.TagName = "ZK1";
  zk.NoPoll = true;
  registry->ZKList().push_back(zk);
  engine.lines = {"S05DN02", "S03DN192.168.1.20", "S04UP192.168.1.21", "S05UP02"};
  store->CheckThCommTrans();

  auto trans = Rows("trans");
  ASSERT_EQ(trans.size(), 3u);
  EXPECT_EQ(trans[0][4], "Door21");
  EXPECT_EQ(trans[0][12], "X");
  EXPECT_EQ(trans[0][2], "      ");
  EXPECT_EQ(trans[0][3], "20270102");
  EXPECT_EQ(trans[0][1], "102000");
  EXPECT_EQ(trans[1][4], "IPDoor");
  EXPECT_EQ(trans[2][4], "Door21");  // the ZK terminal out of polling is not brought up
  EXPECT_EQ(trans[2][12], "Y");
  EXPECT_EQ(Db().Scalar("select state from rdrmain where tag_name='Door21'"), "UP");
  EXPECT_EQ(Db().Scalar("select state from rdrmain where tag_name='IPDoor'"), "DOWN");
  EXPECT_EQ(Db().Scalar("select state from flrdet where point_tag='IPDoor'"), "DOWN");
  EXPECT_EQ(Db().Scalar("select state from rdrmain where tag_name='ZK1'"), "UP");

  engine.lines = {"S05DN02"};
  store->CheckThCommTrans();
  EXPECT_EQ(Db().Scalar("select state from rdrmain where tag_name='Door21'"), "DOWN");
  EXPECT_EQ(Db().Scalar("select state from flrdet where point_tag='Door21'"), "DOWN");
}

TEST_P(TransStoreTest, TransactionLinesFindTheirController) {
  AddCtrl("Door19", 19);
  AddCtrl("IPDoor", 3, "192168001020");
  engine.lines = {"T0203" + Rec(2, 1, 8, 0, "000111", '1'),
                  Format("%3d", 3) + Rec(2, 1, 8, 1, "000222", '2') + " 192.168.1.20",
                  "T0816" + Rec(2, 1, 8, 2, "000333", '3')};  // no controller there: empty tag
  store->CheckThCommTrans();
  auto trans = Rows("trans");
  ASSERT_EQ(trans.size(), 3u);
  EXPECT_EQ(trans[0][4], "Door19");
  EXPECT_EQ(trans[0][2], "000111");
  EXPECT_EQ(trans[1][4], "IPDoor");
  EXPECT_EQ(trans[1][2], "000222");
  EXPECT_EQ(trans[2][4], "");
  EXPECT_TRUE(log.Has("C.T=T0203" + Rec(2, 1, 8, 0, "000111", '1')));
}

TEST_P(TransStoreTest, TickStoresTransactionsAndAttendanceTogether) {
  settings.ChronexLink = true;
  AddCtrl("Door1", 1);
  AddCard("000007", "S7", "Ann");
  for (int i = 0; i < 5; ++i) engine.lines.push_back("T0101" + Rec(2, 1, 8, i, "000007", i % 2 ? '9' : '0'));
  engine.lines.push_back("S01DN01");
  store->CheckThCommTrans();
  EXPECT_EQ(Count("trans"), "6");
  EXPECT_EQ(Count("ot_tmclk"), "5");
  EXPECT_EQ(Db().Scalar("select state from rdrmain where tag_name='Door1'"), "DOWN");
  EXPECT_TRUE(store->Writer().Spool().Empty());
  EXPECT_EQ(log.CountSubstr("<RSQL>"), 0) << log.Dump();
}

// Every byte of the upper half in a tag, a card number and a holder's name
// (Windows-1252 texts) is looked up, stored and read back unchanged, on a
// UTF-8 PostgreSQL database too. Through the service's own connection: the
// fixture's speaks the server's encoding.
TEST_P(TransStoreTest, UpperHalfBytesInTagCardAndName) {
  std::string all;
  for (int b = 0x80; b <= 0xFF; ++b) all += static_cast<char>(b);
  TCtrlRec r;
  r.TagName = "D" + all;
  r.LogicalPoint = 1;
  registry->CtrlTable().Add(r);
  std::vector<std::string> cards;
  for (size_t i = 0; i < all.size(); i += 6) {
    std::string card = (all.substr(i) + "000000").substr(0, 6);
    cards.push_back(card);
    ASSERT_TRUE(db->RunSQL(db->Query2,
                           "insert into cards values(" + SqlQuote(card) + ",'S'," + SqlQuote(all + card) + ",'','','')",
                           false));
    engine.lines.push_back("T0101" + Rec(2, 1, 8, static_cast<int>(i % 60), card, '0'));
  }
  for (int i = 0; i < 10 && !engine.lines.empty(); ++i) Tick();
  EXPECT_EQ(Count("trans"), std::to_string(cards.size()));
  for (const auto& card : cards) {
    ASSERT_TRUE(db->RunSQL(db->Query2, "select * from trans where card_number=" + SqlQuote(card), true)) << log.Dump();
    EXPECT_EQ(db->Query2.FieldByName("name"), all + card);
    EXPECT_EQ(db->Query2.FieldByName("tag_name"), r.TagName);
  }
  EXPECT_EQ(log.CountSubstr("<RSQL>"), 0) << log.Dump();
}

TEST_P(TransStoreTest, BadLinesAreSkippedAndABacklogDrainsFasterThanTenLinesATick) {
  AddCtrl("Door1", 1);
  engine.lines = {"T0101", "S05", "TxX01" + Rec(2, 1, 8, 0, "000001", '1'), "C0101123456789    1"};
  for (int i = 0; i < 500; ++i) engine.lines.push_back("T0101" + Rec(2, 1, 8, i % 60, "000001", '1'));
  store->CheckThCommTrans();
  EXPECT_EQ(log.Count("Short engine line skipped: [T0101]"), 1);
  EXPECT_EQ(log.Count("Short engine line skipped: [S05]"), 1);
  EXPECT_EQ(log.CountSubstr("<ChkTHC>"), 1);
  EXPECT_LT(engine.lines.size(), 494u);  // more than ten lines in one tick
  EXPECT_TRUE(log.HasSubstr("Backlog of engine lines: a tick stores more than 10 lines"));
  for (int i = 0; i < 100 && !engine.lines.empty(); ++i) store->CheckThCommTrans();
  store->CheckThCommTrans();
  EXPECT_EQ(Count("trans"), "500");
  EXPECT_EQ(log.CountSubstr("Backlog stored: 504 lines in "), 1);
}

TEST_P(TransStoreTest, RepliesMatchOnlyTheLatestCommand) {
  client.lastId = "101010123";
  engine.lines = {"M0205101010123OK0A12", "M0205101010000OK0A12", "I05101010123OK   192.168.1.20A9X",
                  "I05101010000OK   192.168.1.20A9X", "M0205"};
  store->CheckThCommTrans();
  ASSERT_EQ(client.replies.size(), 2u);
  EXPECT_EQ(client.replies[0], (std::pair<std::string, std::string>{"101010123", "OK0A12"}));
  EXPECT_EQ(client.replies[1], (std::pair<std::string, std::string>{"101010123", "OK   192.168.1.20A9"}));
  // Without the client protocol the reply has nowhere to go.
  ctx.client = nullptr;
  engine.lines = {"M0205101010123OK"};
  store->CheckThCommTrans();
  EXPECT_EQ(Count("trans"), "0");
}

TEST_P(TransStoreTest, StatusQueryAsksTheNextController) {
  AddCtrl("Door21", 21);
  AddCtrl("IPDoor", 3, "192168001020");
  engine.status["S0205"] = "0A1234";
  engine.status["S0103192.168.1.20"] = "bad";
  store->CheckThCommTrans();
  store->CheckThCommTrans();
  EXPECT_EQ(engine.statusAsked, (std::vector<std::string>{"S0205", "S0103192.168.1.20"}));
  std::string status;
  EXPECT_TRUE(registry->GetCtrlStatus("Door21", status));
  EXPECT_EQ(status, "0A1234");
  EXPECT_TRUE(registry->GetCtrlStatus("IPDoor", status));
  EXPECT_EQ(status, "000000");  // only 6-character answers are kept
}

PX_INSTANTIATE_DB_TESTS(TransStoreTest);

// The raw file's layouts need no database.
class RawFileTest : public testing::Test {
protected:
  void SetUp() override { settings.AppDir = dir.Path() + "/"; }
  TempDir dir;
  CaptureLog log;
  ServiceSettings settings;
  DateTime day{2026, 12, 31, 23, 59, 0, 0};
};

TEST_F(RawFileTest, FieldsAndFormats) {
  TRawTextFile raw(settings, log);
  raw.BreakRaw("F", "STF,SPC,DAT");
  raw.BreakRaw("L", ",,yyyymmdd");
  EXPECT_EQ(settings.Raw.FormatList, (std::vector<std::string>{"", "", "yyyymmdd"}));
  EXPECT_EQ(raw.FormatRawLine("S100", "001234", "0", day, day), "S100 20261231");
  raw.DumpTOTextFile("311223590012340", "Door1", "S100", "001234", "0", day, day);
  EXPECT_EQ(dir.Read("m20261231.txt"), "S100 20261231\n");

  settings.Raw.FieldList = {"FIL", "TIM", "XYZ"};
  settings.Raw.FormatList = {"T:", "hh:nn", ""};
  EXPECT_EQ(raw.FormatRawLine("S100", "001234", "0", day, day), "T:23:59");

  // Without a format for each field the line is written empty.
  settings.Raw.FormatList.clear();
  settings.Raw.FieldList = {"STF", "SPC", "DAT"};
  raw.DumpTOTextFile("311223590012340", "Door1", "S100", "001234", "0", day, day);
  EXPECT_EQ(log.CountSubstr("<FormatRaw>"), 1);
  EXPECT_EQ(dir.Read("m20261231.txt"), "S100 20261231\n\n");
}

TEST_F(RawFileTest, FileNameRedirectAndFailures) {
  TRawTextFile raw(settings, log);
  raw.BreakRaw("N", "att,yymmdd");  // too few items: defaults stay
  EXPECT_EQ(raw.FileName(day), "m20261231.txt");
  raw.BreakRaw("N", "att,yymmdd,csv");
  EXPECT_EQ(raw.FileName(day), "att261231.csv");
  settings.RawReDir = true;
  raw.DumpTOTextFile("311223590012340 xyz", "Door1", "S100", "001234", "9", day, day);
  EXPECT_EQ(dir.Read("att261231.csv"), "311223590012340 xyz\n");
  EXPECT_TRUE(log.Has("Enter DumpTOTextFile : " + dir.Path() + "/att261231.csv"));

  settings.Raw.Folder = dir.Path() + "/missing/";
  raw.DumpTOTextFile("311223590012340", "Door1", "S100", "001234", "9", day, day);
  EXPECT_EQ(log.CountSubstr("<DumpToText>"), 1);
}

}  // namespace
}  // namespace px::test
