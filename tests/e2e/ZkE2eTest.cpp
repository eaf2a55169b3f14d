// Fingerprint terminals end to end: portexd polls simulated terminals over
// TCP, stores their records, and runs client commands and template jobs on them.
#include "common/Format.h"
#include "common/TextCodec.h"
#include "e2e/E2eFixture.h"
#include "zksim/ZkSim.h"

using namespace px;
using namespace std::chrono_literals;

namespace {

class ZkE2e : public test::E2eFixture {
protected:
  zksim::Simulator door, master;
  int clientPort = 0;

  void SetUp() override {
    E2eFixture::SetUp();
    ASSERT_TRUE(door.Start());
    ASSERT_TRUE(master.Start());
    // Both listen elsewhere than on 4370: the port travels from spare3.
    Exec(Db(), "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values "
               "('F7A', 3, '127000000001:" + std::to_string(door.Port()) + "', 'KXF7', 'UP', 'Y'), "
               "('MASTER', 4, '127000000001:" + std::to_string(master.Port()) + "', 'KXF7', 'UP', 'Y')");
    clientPort = test::FreeLoopbackPort();
    WriteConfig("[ZKFP]\nEnable=1\nSleepSec=1\nRetryWaitSec=0\nMasterF8=MASTER\n");
    std::string ini = dir.Read("OstrPro.Ini");
    ini.replace(ini.find("ClientPort=0"), 12, "ClientPort=" + std::to_string(clientPort));
    ini.replace(ini.find("[Comm Setting]\n"), 15, "[Comm Setting]\nDeviceDownCount=3\n");
    dir.Write("OstrPro.Ini", ini);
  }
  void TearDown() override {
    E2eFixture::TearDown();
    door.Stop();
    master.Stop();
  }
  std::string Client(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {std::string(PX_BINARY_DIR) + "/bin/pxclient", "--port",
                                     std::to_string(clientPort), "--timeout", "15"};
    argv.insert(argv.end(), args.begin(), args.end());
    test::ChildProcess p;
    std::string file = dir.File("pxclient.out");
    if (!p.Start(argv, file)) return "";
    p.Wait(30s);
    return test::ReadFile(file);
  }
  long Trans(const std::string& where) { return Count(Db(), "select count(*) from trans where " + where); }
  bool DoorState(const std::string& st) {
    return Count(Db(), "select count(*) from rdrmain where tag_name='F7A' and state='" + st + "'") == 1;
  }
};

TEST_F(ZkE2e, RecordsReachTransAndTheTerminalLogIsCleared) {
  door.AddUser("42", "Ann", "", 0, 0);
  door.AddRecord("42", {2026, 12, 9, 8, 1, 0}, 1, 0);
  door.AddRecord("42", {2026, 12, 9, 17, 2, 0}, 1, 7);
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return Trans("tag_name='F7A' and card_number='000042'") == 2; }, 20s))
      << LogText();
  EXPECT_EQ(Trans("tag_name='F7A' and trans_time='170200'"), 1);
  ASSERT_TRUE(test::WaitFor([&] { return door.Records().empty(); }, 10s));
  EXPECT_GE(door.GetStats().clears, 1u);
}

TEST_F(ZkE2e, ClockingsMadeWhileALogIsCollectedAreStoredAtALaterPoll) {
  // One lands while the log is handed over, one as soon as the keypad works
  // again: neither is erased by the clear, each is stored once.
  door.Populate(20, 40, 0, 1, {2026, 12, 9, 7, 0, 0});
  door.ClockAfterRead("98");
  door.ClockOnEnable("99");
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return Trans("tag_name='F7A' and card_number='000099'") == 1; }, 30s))
      << LogText();
  ASSERT_TRUE(test::WaitFor([&] { return door.Records().empty(); }, 10s));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Trans("tag_name='F7A' and card_number='000098'"), 1);
  EXPECT_EQ(Trans("tag_name='F7A' and card_number<>'      '"), 42);
}

TEST_F(ZkE2e, CorruptRecordMarksTheTerminalDownAndKeepsItsLog) {
  door.AddRecord("7", {2026, 12, 9, 8, 1, 0}, 1, 0);
  door.AddRecord("8", {2026, 12, 9, 8, 2, 0}, 1, 0);
  zksim::Faults f;
  f.corruptRecord = true;
  door.SetFaults(f);
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return test::FileContains(LogPath(), "F7A: No CLR due to corruption."); }, 20s))
      << LogText();
  EXPECT_TRUE(test::WaitFor([&] { return Trans("tag_name='F7A' and card_number='      '") == 1; }, 10s));
  EXPECT_TRUE(DoorState("DOWN"));
  EXPECT_FALSE(door.Records().empty());
  EXPECT_EQ(door.GetStats().clears, 0u);
  // Not polled again.
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(LogCount("F7A: No CLR due to corruption."), 1);
}

TEST_F(ZkE2e, SilentTerminalGoesDownAtTheThirdFailureAndComesBack) {
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return test::FileContains(LogPath(), "IP.Connect to 127.0.0.1"); }, 20s));
  // The open connection falls silent (one read times out), new ones are refused.
  zksim::Faults f;
  f.refuse = f.silence = true;
  door.SetFaults(f);
  ASSERT_TRUE(test::WaitFor([&] { return DoorState("DOWN"); }, 30s)) << LogText();
  // One "X" row however many failures follow.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Trans("tag_name='F7A' and trans_code='X'"), 1);
  door.SetFaults({});
  ASSERT_TRUE(test::WaitFor([&] { return DoorState("UP"); }, 20s)) << LogText();
  EXPECT_EQ(Trans("tag_name='F7A' and trans_code='Y'"), 1);
}

TEST_F(ZkE2e, AddCardInstallsTheUserAndTemplateAndIsAnsweredOk) {
  Exec(Db(), "insert into ZKList (Z_Card, Z_Data, Z_Ver) values ('000042', '" + EncodeText("0000000055M12345") +
                 "', '0')");
  ::mkdir(dir.File("templates").c_str(), 0755);
  dir.Write("templates/Users_000042.tpl", std::string(2048, 'T'));
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return test::FileContains(LogPath(), "IP.Connect to 127.0.0.1"); }, 20s));
  std::string out = Client({"cmd", "F7A", "AC", "000042xxxxxxxxxxxx01"});
  EXPECT_NE(out.find("OK"), std::string::npos) << out << LogText();
  bool user = false;
  for (const auto& u : door.Users()) user = user || u.verifyStyle == 138;
  EXPECT_TRUE(user) << LogText();
  ASSERT_EQ(door.Fingers().size(), 1u);
  EXPECT_EQ(Client({"cmd", "MASTER", "DC", "000042"}).find("OK"), std::string::npos);
}

TEST_F(ZkE2e, ShortRecordsAreStoredUnderTheEnrolmentNumber) {
  zksim::Config cfg;
  cfg.logRecordSize = 8;  // records name the user's slot only
  door.SetConfig(cfg);
  door.AddUser("42", "Ann", "", 0, 0);  // slot 1
  door.AddUser("7", "Bob", "", 0, 0);   // slot 2
  door.AddRecord("7", {2026, 12, 9, 8, 1, 0}, 1, 0);
  door.AddRecord("42", {2026, 12, 9, 8, 2, 0}, 1, 0);
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return Trans("tag_name='F7A'") == 2; }, 20s)) << LogText();
  EXPECT_EQ(Trans("tag_name='F7A' and card_number='000007' and trans_time='080100'"), 1);
  EXPECT_EQ(Trans("tag_name='F7A' and card_number='000042' and trans_time='080200'"), 1);
}

TEST_F(ZkE2e, ALogReadAnsweredWithAnErrorIsAFailedPollAndTheKeypadStaysOn) {
  door.AddRecord("7", {2026, 12, 9, 8, 1, 0}, 1, 0);
  door.AddRecord("8", {2026, 12, 9, 8, 2, 0}, 1, 0);
  zksim::Faults f;
  f.logError = true;
  door.SetFaults(f);
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return DoorState("DOWN"); }, 30s)) << LogText();
  EXPECT_TRUE(test::FileContains(LogPath(), "F7A: log not read, 2 records kept."));
  EXPECT_TRUE(door.GetStats().enabled);
  EXPECT_EQ(door.Records().size(), 2u);
  EXPECT_EQ(Trans("tag_name='F7A' and card_number<>'      '"), 0);
  door.SetFaults({});
  ASSERT_TRUE(test::WaitFor([&] { return Trans("tag_name='F7A' and card_number in ('000007','000008')") == 2; }, 20s))
      << LogText();
  EXPECT_TRUE(test::WaitFor([&] { return DoorState("UP"); }, 10s));
}

TEST_F(ZkE2e, ACollectionWhoseLinkBreaksFailsAndLeavesTheListAsItWas) {
  master.Populate(3, 0, 2);
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return test::FileContains(LogPath(), "IP.Connect to 127.0.0.1"); }, 20s));
  auto job = [&](const std::string& id) {
    std::string out = Client({"job", "MASTER", "4", "000000", "8U", id, "127000000001"});
    EXPECT_NE(out.find("job queued"), std::string::npos) << out;
    std::string polls;
    test::WaitFor([&] {
      polls += Client({"poll", "MASTER", " Device Name    DateTime Card#"});
      return polls.find("job 8U " + id + ": ") != std::string::npos;
    }, 30s);
    return polls;
  };
  ASSERT_NE(job("REQ1").find("job 8U REQ1: succeeded"), std::string::npos) << LogText();
  auto rows = [&] {
    std::string all;
    for (const auto& r : Query(Db(), "select Z_Card, Z_Data, Z_Ver from ZKList order by Z_Card, Z_Ver").rows)
      all += r[0] + "," + r[1] + "," + r[2] + ";";
    return all;
  };
  const std::string before = rows();
  ASSERT_EQ(Count(Db(), "select count(*) from ZKList where Z_Ver='0'"), 3);
  zksim::Faults f;
  f.dropAfterTemplates = 2;  // the link breaks in the middle of the second user
  master.SetFaults(f);
  EXPECT_NE(job("REQ2").find("job 8U REQ2: failed"), std::string::npos) << LogText();
  EXPECT_EQ(rows(), before);
  EXPECT_TRUE(test::FileContains(LogPath(), "ZK.UpT: transfer broke off, the collection is left as it was."));
}

TEST_F(ZkE2e, TemplateJobFillsTheListAndReportsProgressToItsClient) {
  master.Populate(3, 0, 2);
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return test::FileContains(LogPath(), "IP.Connect to 127.0.0.1"); }, 20s));
  std::string out = Client({"job", "MASTER", "4", "000000", "8U", "REQ1", "127000000001"});
  ASSERT_NE(out.find("job queued"), std::string::npos) << out;
  std::string polls;
  ASSERT_TRUE(test::WaitFor([&] {
    // With an empty monitor the last line a client knows is the header row.
    polls += Client({"poll", "MASTER", " Device Name    DateTime Card#"});
    return polls.find("job 8U REQ1: succeeded") != std::string::npos;
  }, 30s)) << polls << LogText();
  EXPECT_NE(polls.find("progress 8U: Total 3 Templates Uploaded."), std::string::npos) << polls;
  EXPECT_EQ(Count(Db(), "select count(*) from ZKList where Z_Ver='0'"), 3);
  EXPECT_TRUE(dir.Exists("templates/Users_000001.tpl"));
}

}  // namespace
