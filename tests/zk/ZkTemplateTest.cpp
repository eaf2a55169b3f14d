#include <algorithm>
#include <filesystem>

#include "common/TextCodec.h"
#include "zk/ZkFixture.h"

using namespace px;
using namespace px::test;

namespace {

class ZkTemplateTest : public ZkFixture {
protected:
  std::shared_ptr<FakeTerminal> master, target;
  void SetUp() override {
    ZkFixture::SetUp();
    opts.settings.MasterF8 = "MASTER";
    master = AddTerminal("MASTER", 1, "KXF7", "127000000001");
    target = AddTerminal("F18", 2, "KXF18", "127000000002");
  }
  static std::vector<std::uint8_t> Tpl(std::uint8_t b) { return std::vector<std::uint8_t>(300, b); }
  // Z_Card -> decoded record for the given version.
  std::map<std::string, std::string> List(const std::string& ver) {
    std::map<std::string, std::string> out;
    for (const auto& r : db->Query("select Z_Card, Z_Data from ZKList where Z_Ver=" + SqlQuote(ver)).rows)
      out[r[0]] = DecodeText(r[1]);
    return out;
  }
  bool Upload() {
    zk->SetMachineNumber(1);
    zk->SetRedirectId("010000000005");
    return zk->UploadAll("127000000001", 4370);
  }
};

TEST_P(ZkTemplateTest, CollectionStoresModesFilesAndProgress) {
  auto& u = master->users;
  u[1].fingers = {{0, Tpl(1)}, {1, Tpl(2)}};  // two fingers, no card: F
  u[2].fingers = {{0, Tpl(3)}};               // finger 1 missing: card only
  u[2].card = "7788";
  u[3].password = "4321";                     // password only: W
  u[4].card = "55";                           // card only, blank password: C with a random one
  u[5].fingers = {{1, Tpl(4)}};               // finger 0 missing: nothing read after it
  Start();
  ASSERT_TRUE(Upload());
  auto rows = List("0");
  EXPECT_EQ(rows["000001"].substr(0, 11), "0000000000F");
  EXPECT_EQ(rows["000002"].substr(0, 11), "0000007788C");
  EXPECT_EQ(rows["000003"], "0000000000W4321");
  EXPECT_EQ(rows["000004"].substr(0, 11), "0000000055C");
  int pw = std::stoi(rows["000004"].substr(11));
  EXPECT_TRUE(pw >= 1000 && pw <= 100998) << pw;
  EXPECT_EQ(rows.count("000005"), 0u);  // no finger, card or password
  EXPECT_EQ(ReadFile(dir.File("templates/Users_000001.tpl")).size(), 2048u);
  EXPECT_EQ(ReadFile(dir.File("templates/Users_000001_1.tpl"))[0], 2);
  EXPECT_TRUE(dir.Exists("templates/Users_000002.tpl"));
  EXPECT_FALSE(dir.Exists("templates/Users_000005.tpl"));
  EXPECT_EQ(host->done.front(), "010000000005_S_8U000001 - Finger0 uploaded. (0000000000)");
  EXPECT_EQ(host->done.back(), "010000000005_S_8UTotal 5 Templates Uploaded.");
  EXPECT_EQ(host->audit, (std::vector<std::string>{"Temp.UpAll:Total 5 Uploaded."}));

  // Mode C reads back without a password.
  std::string card, mode, password;
  ASSERT_TRUE(zk->Cards().ReadFromCardFile("000004", card, mode, password));
  EXPECT_EQ(card + mode + "[" + password + "]", "0000000055C[]");

  // Each collection makes the last one the previous; twice leaves one row of "1" per user.
  zk->Cards().ClearZKList();
  zk->Cards().ClearZKList();
  EXPECT_TRUE(List("0").empty());
  EXPECT_EQ(List("1").size(), 4u);
  EXPECT_EQ(db->Scalar("select count(*) from ZKList"), "4");
}

TEST_P(ZkTemplateTest, ABrokenTransferLeavesTheCollectionAsItWasAndStaleFingersGo) {
  opts.settings.F18Ext = true;  // every finger found is collected
  master->users[1].fingers = {{0, Tpl(1)}, {1, Tpl(2)}};
  master->users[2].fingers = {{0, Tpl(3)}, {1, Tpl(4)}};
  master->users[2].card = "7788";
  Start();
  ASSERT_TRUE(Upload());
  const auto before = List("0");
  const std::string file = ReadFile(dir.File("templates/Users_000002.tpl"));
  // The link breaks after the third finger read: the job fails and nothing
  // of the collection changes, its list nor its files.
  master->users[2].fingers = {{0, Tpl(5)}, {1, Tpl(6)}};
  master->templateReadsBeforeDrop = 3;
  EXPECT_FALSE(Upload());
  EXPECT_EQ(List("0"), before);
  EXPECT_TRUE(List("1").empty());
  EXPECT_EQ(ReadFile(dir.File("templates/Users_000002.tpl")), file);
  EXPECT_TRUE(log.Has("ZK.UpT: transfer broke off, the collection is left as it was."));
  // Collected again with one finger left: the older second finger goes.
  master->templateReadsBeforeDrop = -1;
  master->linkUp = true;
  master->users[1].fingers = {{0, Tpl(7)}};
  master->users[1].password = "55";
  dir.Write("templates/USERS_000001_2.TPL", "older, under another letter case");
  ASSERT_TRUE(Upload());
  EXPECT_EQ(List("0")["000001"], "0000000000R55");
  EXPECT_TRUE(dir.Exists("templates/Users_000001.tpl"));
  EXPECT_FALSE(dir.Exists("templates/Users_000001_1.tpl"));
  EXPECT_FALSE(dir.Exists("templates/USERS_000001_2.TPL"));
  EXPECT_TRUE(dir.Exists("templates/Users_000002_1.tpl"));
}

TEST_P(ZkTemplateTest, InstallWritesEachModeWithItsStyleAndValidTemplates) {
  opts.settings.F18Ext = true;
  master->users[7].fingers = {{0, Tpl(9)}, {1, Tpl(8)}};
  master->users[7].password = "1234";  // R
  master->users[8].card = "99";        // C
  master->users[9].password = "77";    // W
  Start();
  ASSERT_TRUE(Upload());
  // A file copied in under another letter case is found all the same.
  std::filesystem::rename(dir.File("templates/Users_000007_1.tpl"), dir.File("templates/USERS_000007_1.TPL"));
  int style = -1;
  ZkCommand ins = Cmd("F18", "127000000002", "INS", "000007", "KXF18", "03");
  ASSERT_TRUE(zk->Send(ins, style));
  EXPECT_EQ(style, 137);
  const auto& u7 = target->users[7];
  EXPECT_EQ(u7.password, "1234");
  EXPECT_EQ(u7.fingers.at(0), Tpl(9)) << "the template's own length, not the file's 2048 bytes";
  EXPECT_EQ(u7.fingers.at(1), Tpl(8));
  EXPECT_EQ(u7.flags.at(0), 1);  // valid, not 0
  EXPECT_EQ(u7.zones, "3:3:3");
  EXPECT_TRUE(target->enabled);  // disabled during the batch, enabled after it
  ins.user = "000008";
  ASSERT_TRUE(zk->Send(ins, style));
  EXPECT_EQ(style, 132);
  EXPECT_EQ(target->users[8].card, "0000000099");
  ins.user = "000009";
  ASSERT_TRUE(zk->Send(ins, style));
  EXPECT_EQ(style, 131);
  // The follow-up sets the style on its own.
  ZkCommand usr = Cmd("F18", "127000000002", "USR", "000009", "KXF18");
  int value = 139;
  EXPECT_TRUE(zk->Send(usr, value));
  EXPECT_EQ(target->users[9].style, 139);

  // No current row: nothing written, and the F18 is restarted at its next reconnect.
  size_t calls = target->calls.size();
  ins.user = "000066";
  EXPECT_FALSE(zk->Send(ins, style));
  EXPECT_TRUE(log.Has("Failed to get 000066 from card list"));
  EXPECT_EQ(target->calls.size(), calls);
  EXPECT_TRUE(log.Has("Mark F18 for Inst.Err"));
  EXPECT_TRUE(zk->State().table[2].resetMark);

  // The master terminal is only read from; a user number must be digits.
  EXPECT_FALSE(zk->Send(Cmd("MASTER", "127000000001", "DEL", "000007"), style));
  EXPECT_TRUE(log.Has("No operation on MasterUnit: MASTER (DEL 000007)"));
  EXPECT_FALSE(zk->Send(Cmd("F18", "127000000002", "DEL", "../x", "KXF18"), style));
  EXPECT_TRUE(zk->Send(Cmd("F18", "127000000002", "DEL", "000007", "KXF18"), style));
  EXPECT_EQ(target->users.count(7), 0u);
}

TEST_P(ZkTemplateTest, TimeZonesKeepTheirWeekdays) {
  db->Exec("insert into timers values ('DAY','0900','1700')");
  db->Exec("insert into timers values ('EARLY','0600','1200')");
  db->Exec("insert into tzones values ('OFFICE','EARLY','DAY','DAY','GONE','DAY','DAY','EARLY')");
  db->Exec("update rdrmain set Acc_TZ1='OFFICE', Acc_TZ2='MISSING' where tag_name='F18'");
  Start();
  int value = 0;
  ASSERT_TRUE(zk->Send(Cmd("F18", "127000000002", "TMZ", "", "KXF18"), value));
  // Zone 1 ("No Acc") and zone 3 (no tzones row) are left alone; the
  // terminal refreshes after the write.
  ASSERT_EQ(target->zones.size(), 1u);
  auto tz = std::find(target->calls.begin(), target->calls.end(), "tz 2");
  ASSERT_NE(tz, target->calls.end());
  EXPECT_EQ(*std::next(tz), "refresh");
  EXPECT_EQ(target->zones[2], "06001200090017000900170000000000090017000900170006001200");
  EXPECT_TRUE(log.Has("ZKF7.SendTZTimer.tz=2: no timer for Wednesday, no access that day"));
  EXPECT_TRUE(zk->Send(Cmd("F18", "127000000002", "DTM", "", "KXF18"), value));
  EXPECT_TRUE(log.Has("Date/Time - KXF7 sent true"));
}

PX_INSTANTIATE_DB_TESTS(ZkTemplateTest);

}  // namespace
