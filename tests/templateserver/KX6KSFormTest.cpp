// The template server module against the device simulator on loopback: the
// test body runs on the loop thread, as the service runs the module.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "common/TextCodec.h"
#include "kx6kssim/KX6KSSim.h"
#include "platform/Database.h"
#include "platform/EventLoop.h"
#include "platform/Timer.h"
#include "support/TestSupport.h"
#include "templateserver/KX6KSForm.h"
#include "templateserver/KX6KSFrame.h"

namespace px::test {
namespace {

using sim::TemplateDevice;

class KX6KSFormTest : public ::testing::Test {
protected:
  TempDir dir;
  EventLoop loop;
  CaptureLog log;
  sim::KX6KSSim sim;
  std::unique_ptr<TDatabase> db;
  std::vector<std::string> done, audits, polling;
  KX6KSHost host;
  std::unique_ptr<TKX6KSForm> form;

  void SetUp() override {
    std::string err;
    ASSERT_TRUE(sim.Start(&err)) << err;
    std::filesystem::create_directories(dir.File("templates"));
    db = std::make_unique<TDatabase>([this](const std::string&) { return "sqlite:" + dir.File("t.db"); }, "");
    db->Open();
    Exec("create table rdrmain (tag_name TEXT, logical_point INTEGER, spare3 TEXT, controller_type TEXT)");
    Exec("create table ZKList (Z_Card TEXT, Z_Data TEXT, Z_Ver TEXT)");
    Exec("insert into rdrmain values ('Master6KS', 17, '127000000001', 'KX6000'), "
         "('Door6KS', 2, '127000000001', 'KX6000')");
    host.loop = &loop;
    host.log = &log;
    host.clock = std::make_shared<ManualClock>(DateTime{2026, 12, 9, 6, 30, 15, 0});
    host.appDir = dir.Path() + "/";
    host.enabled = true;
    host.master = "Master6KS";
    host.port = sim.Port();
    host.timing.replyWaitMs = 300;
    host.db = db.get();
    host.runSql = [this](TQuery& q, const std::string& sql, bool sel) {
      q.SQL = sql;
      if (!sel) return q.ExecSQL(), true;
      q.Open();
      return !q.Eof();
    };
    host.audit = [this](const std::string& a, const std::string& d) { audits.push_back(a + "|" + d); };
    host.putDone = [this](const std::string& e) {
      done.push_back(e);
      return 1;
    };
    host.onOffPolling = [this](const std::string& ip, const std::string& on) { polling.push_back(ip + " " + on); };
  }
  void TearDown() override { sim.Stop(); }

  void Exec(const std::string& sql) {
    TQuery q(db.get());
    q.SQL = sql;
    q.ExecSQL();
  }
  long Count(const std::string& sql) {
    TQuery q(db.get());
    q.SQL = sql;
    q.Open();
    return std::stol(q.Rows().rows[0][0]);
  }
  void Run(const std::function<void()>& body) {
    loop.Post([&] {
      form = std::make_unique<TKX6KSForm>(host);
      body();
      form.reset();
      loop.Stop();
    });
    loop.Run();
  }
  void WriteTemplate(long long user, int fingers) {
    dir.Write("templates/" + TemplateDevice::Id12(user) + "T_KT7100.efm",
              TemplateDevice::MakeTemplate(user, fingers) + "\r\n");
  }
};

TEST_F(KX6KSFormTest, MasterAndDeviceListComeFromTheRegistry) {
  Run([&] {
    EXPECT_TRUE(form->MasterDefined());
    EXPECT_TRUE(form->IsMaster6KS("Master6KS"));
    EXPECT_FALSE(form->IsMaster6KS("Door6KS"));
    EXPECT_EQ(form->DeviceList(), std::vector<std::string>{"   1127000000001"});
  });
  host.master = "Nobody";
  Run([&] {
    form->FormShow();
    EXPECT_EQ(form->Message(), "Master KX6KS Unit is not defined.");
    EXPECT_TRUE(log.Has("Master KX6KS not defined: Nobody"));
  });
}

TEST_F(KX6KSFormTest, UploadSendsThirteenPacketsForTwoFingers) {
  WriteTemplate(123, 2);
  Run([&] {
    ASSERT_TRUE(form->UploadOneTemplate("000123", "127000000001", 2)) << log.Dump();
    auto heard = sim.Device().Heard();
    ASSERT_EQ(heard.size(), 13u);
    const std::string text = TemplateDevice::MakeTemplate(123, 2);
    EXPECT_EQ(heard[0], "WU1300" + text.substr(0, 32));
    EXPECT_EQ(heard[1], "WU1301" + text.substr(32, 128));
    EXPECT_EQ(heard[12], "WU1312" + text.substr(32 + 11 * 128, 128));
    EXPECT_EQ(sim.Device().Template("000000000123"), text);
    // Already on the device: "ID Exists" counts as success.
    EXPECT_TRUE(form->UploadOneTemplate("123", "127000000001", 2));
    EXPECT_TRUE(log.Has("000000000123 Exists in KX6KS."));
    // A refused first packet is tried three times, then the upload fails.
    WriteTemplate(77, 1);
    sim.Device().ForceCode("WU", "BZ", 3);
    EXPECT_FALSE(form->UploadOneTemplate("77", "127000000001", 2));
    EXPECT_EQ(sim.Device().CountHeard("WU"), 13 + 1 + 3);
    // Removal: unknown IDs are logged.
    EXPECT_TRUE(form->RemoveOneTemplate("123", "127000000001", 2));
    EXPECT_FALSE(form->RemoveOneTemplate("123", "127000000001", 2));
    EXPECT_TRUE(log.Has("Remove: No Such ID - 000000000123"));
  });
}

TEST_F(KX6KSFormTest, CardCommandsNeverWriteTheMasterAndDeleteUsersTheDeviceLacks) {
  // The master and a door's device on two addresses, one simulator each.
  Exec("update rdrmain set spare3='127000000002' where tag_name='Door6KS'");
  sim::KX6KSSim door("127.0.0.2", sim.Port());
  ASSERT_TRUE(door.Start());
  sim.Device().AddUser(5, 1);
  WriteTemplate(5, 1);
  Run([&] {
    // Every path a card command can take to the master: its tag, its device
    // unit and its controller's unit (the logical point, 17).
    EXPECT_FALSE(form->AddDelTemplate("D", "Master6KS", "000005"));
    EXPECT_TRUE(log.Has("No operation on Master Unit: (D 000005)"));
    EXPECT_EQ(form->HandOffCardCommand(false, "000005", "127000000001", 1), TemplateHandOff::Skipped);
    EXPECT_EQ(form->HandOffCardCommand(true, "000005", "127000000001", 17), TemplateHandOff::Skipped);
    EXPECT_FALSE(form->RemoveOneTemplate("000005", "127000000001", 1));
    EXPECT_FALSE(form->UploadOneTemplate("000005", "127000000001", 17));
    EXPECT_EQ(sim.Device().Heard().size(), 0u);

    EXPECT_TRUE(form->AddDelTemplate("A", "Door6KS", "000005"));
    EXPECT_TRUE(log.Has("Template Add/Del: A 000005 - OK"));
    EXPECT_TRUE(door.Device().HasUser("000000000005"));
    EXPECT_FALSE(form->Link().Connected());
    // A device that does not know the user has nothing to remove.
    EXPECT_EQ(form->HandOffCardCommand(false, "000777", "127000000002", 2), TemplateHandOff::Done);
    EXPECT_TRUE(log.Has("Remove: No Such ID - 000000000777"));
    // An install still needs its templates on the device.
    EXPECT_EQ(form->HandOffCardCommand(true, "000777", "127000000002", 2), TemplateHandOff::Failed);
  });
  door.Stop();
}

TEST_F(KX6KSFormTest, RefusedCardCommandLeavesTheTransferUnderWayAlone) {
  for (int u : {1, 2, 3, 4}) sim.Device().AddUser(u, 1);
  sim.SetFaults({false, 80, 0, 0, ""});
  Run([&] {
    TemplateHandOff handOff = TemplateHandOff::Done;
    TTimer t(loop, 400, false);  // fires while DU replies come in
    t.OnTimer = [&] {
      t.SetEnabled(false);
      handOff = form->HandOffCardCommand(false, "000001", "127000000001", 2);
      form->CloseSocket();
    };
    t.SetEnabled(true);
    EXPECT_TRUE(form->ServerDownloadATemplate("A", "Master6KS", "k", "", "1", "127000000001")) << log.Dump();
    EXPECT_EQ(handOff, TemplateHandOff::Failed);
    EXPECT_EQ(sim.Device().CountHeard("DU"), 5);
    EXPECT_EQ(sim.Device().CountHeard("EU"), 0);
    EXPECT_EQ(Count("select count(*) from ZKList where Z_Ver='0'"), 4);
  });
}

TEST_F(KX6KSFormTest, FailedTemplateWriteFailsTheJobAndKeepsThePreviousFile) {
  sim.Device().AddUser(9, 1);
  sim.Device().AddUser(10, 1);
  dir.Write("templates/000000000009T_KT7100.efm", "previous\r\n");
  // Whatever is in the way of the new file makes its write fail.
  std::filesystem::create_directories(dir.File("templates/000000000009T_KT7100.efm.part"));
  Run([&] {
    EXPECT_FALSE(form->ServerDownloadATemplate("O", "Master6KS", "", "000009", "0001", "127000000001"));
    EXPECT_EQ(ReadFile(dir.File("templates/000000000009T_KT7100.efm")), "previous\r\n");
    EXPECT_TRUE(log.HasSubstr("<6KS.WrTpl> template file not written"));
    EXPECT_EQ(Count("select count(*) from ZKList"), 0);
    EXPECT_FALSE(form->ServerDownloadATemplate("A", "Master6KS", "", "", "0001", "127000000001"));
    EXPECT_EQ(ReadFile(dir.File("templates/000000000009T_KT7100.efm")), "previous\r\n");
  });
}

TEST_F(KX6KSFormTest, RepliesAreFoundAmongNoiseAndPieces) {
  // An address byte inside the data is data; bytes before the reply's
  // address byte are not part of it.
  std::string text = TemplateDevice::MakeTemplate(9, 1);
  text[40] = '\xE0';
  sim.Device().SetTemplate("000000000009", text);
  sim.SetFaults({false, 0, 100, 2, "x\x01\xE1junk"});
  Run([&] {
    ASSERT_TRUE(form->ServerDownloadATemplate("O", "Master6KS", "", "000009", "0001", "127000000001"));
    EXPECT_EQ(ReadFile(dir.File("templates/000000000009T_KT7100.efm")), text + "\r\n");
    EXPECT_TRUE(log.Has("000009 Downloaded (FG=1)  len=805"));
    EXPECT_EQ(polling, (std::vector<std::string>{"127.0.0.1 0", "127.0.0.1 1"}));
    // A user the device does not know.
    EXPECT_FALSE(form->ServerDownloadATemplate("O", "Master6KS", "", "000010", "0001", "127000000001"));
    EXPECT_TRUE(log.Has("(-6) : No Such ID : 000010"));
    EXPECT_FALSE(form->ServerDownloadATemplate("O", "Door6KS", "", "000010", "0001", "127000000001"));
    EXPECT_TRUE(log.Has("Server.DownloadTemp - Door6KS is not Master Unit (Master6KS)"));
  });
}

TEST_F(KX6KSFormTest, BulkDownloadReportsProgressAndKeepsTwoZKListVersions) {
  for (int u : {1, 2, 3}) sim.Device().AddUser(u, 2);
  dir.Write("templates/KX6KS.Dat", "previous");
  const std::string key = "127000000009";
  Run([&] {
    ASSERT_TRUE(form->ServerDownloadATemplate("A", "Master6KS", key, "", "0001", "127000000001")) << log.Dump();
    EXPECT_EQ(ReadFile(dir.File("templates/bak/261209063015")), "previous");
    ASSERT_EQ(done.size(), 4u);
    EXPECT_EQ(done[0], key + "_S_2U   1. 000001 ID + FG  000001 FG=2");
    EXPECT_EQ(done[3], key + "_S_2U      Total IDs = 3");
    EXPECT_EQ(audits.back(), "Temp.UpAll|Total 3 ID Uploaded.");
    EXPECT_EQ(ReadFile(dir.File("templates/000000000002T_KT7100.efm")),
              TemplateDevice::MakeTemplate(2, 2) + "\r\n");
    EXPECT_EQ(Count("select count(*) from ZKList where Z_Ver='0'"), 3);
    // The second download commits the first as version "1".
    sim.Device().AddUser(4, 1);
    ASSERT_TRUE(form->ServerDownloadATemplate("A", "Master6KS", key, "", "0001", "127000000001"));
    EXPECT_EQ(Count("select count(*) from ZKList where Z_Ver='0'"), 4);
    EXPECT_EQ(Count("select count(*) from ZKList where Z_Ver='1'"), 3);
    TQuery q(db.get());
    q.SQL = "select Z_Data from ZKList where Z_Card='000004' and Z_Ver='0'";
    q.Open();
    EXPECT_EQ(DecodeText(q.FieldByName("Z_Data")), "C 00000401");
    EXPECT_FALSE(form->Link().Connected());
  });
}

TEST_F(KX6KSFormTest, SilentDeviceCostsOneBoundedWaitWithTheLoopRunning) {
  sim.SetFaults({true, 0, 0, 0, ""});
  Run([&] {
    int ticks = 0;
    TTimer t(loop, 20, true);
    t.OnTimer = [&] { ++ticks; };
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(form->RemoveOneTemplate("1", "127000000001", 2));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_GE(ms.count(), 290);
    EXPECT_LT(ms.count(), 2000);
    EXPECT_GE(ticks, 5);  // other timers ran during the wait
    // A second operation from a handler during the wait is refused, not nested.
    bool nested = true;
    TTimer again(loop, 30, true);
    again.OnTimer = [&] { nested = form->RemoveOneTemplate("2", "127000000001", 2); };
    EXPECT_FALSE(form->DownloadAllTemplates("127000000001", 1));
    EXPECT_TRUE(log.Has("6KS.DAll.Failed.RP"));
    EXPECT_FALSE(nested);
    EXPECT_TRUE(log.HasSubstr("6KS.Reentrant: remove"));
  });
}

TEST_F(KX6KSFormTest, MisbehavingDeviceCannotHoldTheServer) {
  sim.Device().AddUser(1, 99);   // the longest legal reply
  sim.Device().AddUser(2, 100);  // longer than any
  sim.Device().AddUser(3, 1);
  Run([&] {
    EXPECT_TRUE(form->DownloadOneTemplate("1", "127000000001", 1)) << log.Dump();
    EXPECT_FALSE(form->DownloadOneTemplate("2", "127000000001", 1));
    EXPECT_TRUE(log.HasSubstr("<6KS.Rep> RU reply longer than any template"));
    // A byte every 20 ms never leaves the 300 ms of silence, but the reply
    // is given up at twice that.
    sim.SetFaults({false, 0, 1, 20, ""});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(form->DownloadOneTemplate("3", "127000000001", 1));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_TRUE(log.HasSubstr("<6KS.Rep> RU reply not complete"));
    form->Link().Close();
    // A device going round its users, or round one reply without an ID.
    sim.SetFaults({});
    sim.Device().SetDuRepeats(true);
    EXPECT_FALSE(form->DownloadAllTemplates("127000000001", 1));
    EXPECT_TRUE(log.Has("<6KS.DAllT> user ID 000000000001 given again: download ended"));
    sim.Device().Clear();
    sim.Device().SetTemplate("ABCDEFGHIJKL", TemplateDevice::MakeTemplate(4, 1).replace(0, 12, "ABCDEFGHIJKL"));
    EXPECT_FALSE(form->DownloadAllTemplates("127000000001", 1));
    EXPECT_TRUE(log.Has("<6KS.DAllT> user ID ABCDEFGHIJKL given again: download ended"));
  });
}

TEST_F(KX6KSFormTest, BurstBeyondTheLinksRingIsRefusedWholeAndTheNextExchangeStartsClean) {
  Run([&] {
    // The ring the module runs with. Between exchanges nobody reads it, so a
    // burst longer than it fills it whatever pieces the bytes arrive in.
    TKX6KSLink link(loop, log, {});
    link.timing.replyWaitMs = 300;
    std::string reply;
    ASSERT_EQ(link.SendKX6KS("127.0.0.1", sim.Port(), "RP", reply, 1, ""), 1);
    sim.Burst(std::string(TKX6KSRing::kDefaultSize + 8192, 'n'));
    ASSERT_TRUE(loop.WaitUntil([&] { return log.HasSubstr("<6KS.PDat> receive ring full"); }, 10, 500));
    // Full with every unread byte kept, nothing overwritten; the longest
    // legal reply would have fitted.
    EXPECT_GE(TKX6KSRing::kDefaultSize, kx6ks::kMaxReplyLen);
    EXPECT_TRUE(log.HasSubstr("receive ring full, " + std::to_string(TKX6KSRing::kDefaultSize) + " unread"));
    EXPECT_EQ(link.SendKX6KS("", sim.Port(), "RP", reply, 1, ""), 1);
  });
}

TEST_F(KX6KSFormTest, ClientTextIsCleanedInLinesAndCard) {
  sim.Device().AddUser(9, 1);
  Run([&] {
    ASSERT_TRUE(form->ServerDownloadATemplate("O", "Master6KS\r\n", "", "  9\r", "0001", "127000000001"));
    EXPECT_TRUE(log.Has("Server.DownloadTemp - Master6KS Mode=O 9"));
    EXPECT_EQ(Count("select count(*) from ZKList where Z_Card='000009'"), 1);
    EXPECT_FALSE(form->ServerDownloadATemplate("O", "Master6KS", "", "9\x1b[2J", "0001", "127000000001"));
    EXPECT_EQ(form->Memo().back(), "> Download 9\\x1B[2J");
  });
}

}  // namespace
}  // namespace px::test
