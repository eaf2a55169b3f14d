// Template server devices with the real program: a client's bulk download
// job with its progress on the client's polls, card commands to fingerprint
// controllers that pass through their template device first (also beside the
// terminal module, never writing the master, not undone by a transfer under
// way), and a silent device that costs one bounded wait while clients are
// answered.
#include <atomic>
#include <chrono>
#include <filesystem>

#include "clientserver/ClientWire.h"
#include "clientserver/WireClient.h"
#include "common/Format.h"
#include "common/StrUtil.h"
#include "ctrlsim/TcpSim.h"
#include "e2e/E2eFixture.h"
#include "kx6kssim/KX6KSSim.h"
#include "monitor/TransOnlineForm.h"

using namespace px;
using namespace std::chrono_literals;

namespace {

class TemplateServerE2e : public test::E2eFixture {
protected:
  // The master device and the template device of a fingerprint door share
  // one port, on their own addresses; so do their controllers.
  sim::KX6KSSim door{"127.0.0.72", 0};
  std::unique_ptr<sim::KX6KSSim> master;
  std::shared_ptr<sim::UnitBank> ctrlBank = std::make_shared<sim::UnitBank>();
  std::shared_ptr<sim::UnitBank> masterBank = std::make_shared<sim::UnitBank>();
  std::unique_ptr<sim::TcpSim> ctrl, masterCtrl;
  TWireClient client;

  void SetUp() override {
    E2eFixture::SetUp();
    std::string err;
    ASSERT_TRUE(door.Start(&err)) << err;
    master = std::make_unique<sim::KX6KSSim>("127.0.0.71", door.Port());
    ASSERT_TRUE(master->Start(&err)) << err;
    sim::TcpSim::Options o;
    o.address = "127.0.0.72";
    ctrl = std::make_unique<sim::TcpSim>(ctrlBank, o);
    ASSERT_TRUE(ctrl->Start(&err)) << err;
    o.address = "127.0.0.71";
    o.port = ctrl->Port();
    masterCtrl = std::make_unique<sim::TcpSim>(masterBank, o);
    ASSERT_TRUE(masterCtrl->Start(&err)) << err;
    ctrlBank->EnableUnits({3});
    masterBank->EnableUnits({1});
    Exec(Db(), "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values "
               "('Master6KS', 1, '127000000071', 'KX6000', 'UP', 'Y'), "
               "('FpDoor', 3, '127000000072', 'KX6000S', 'UP', 'Y')");
  }
  // The program with the template server on or off; `extra` adds sections.
  void Start(bool kx6ks = true, const std::string& extra = "") {
    port_ = test::FreeLoopbackPort();
    dir.Write("OstrPro.Ini", Format("[Comm Setting]\nIPPort=%d\nQCheckInterval=20\n[Server]\nClientPort=%d\n"
                                    "[Options]\nDebug=11\n[KX6KS]\nEnable=%d\nMaster=Master6KS\nPort=%d\n"
                                    "ReplyWait=2\n",
                                    ctrl->Port(), port_, kx6ks ? 1 : 0, door.Port()) +
                                 extra);
    StartServer();
    ASSERT_TRUE(test::WaitFor(
        [&] { return client.Connect("127.0.0.1", port_, 1000) == TWireClient::Result::Ok; }, 20s));
  }
  void TearDown() override {
    client.Close();
    E2eFixture::TearDown();
    door.Stop();
    if (master) master->Stop();
    if (ctrl) ctrl->Stop();
    if (masterCtrl) masterCtrl->Stop();
  }

  // One poll as a workstation that holds the monitor's last line: the body
  // after the status carries the next done or progress entry, if any.
  std::string Poll() {
    std::string reply;
    if (client.Exchange(wire::PollRequest("Master6KS", TTransOnlineForm().GetLastRec()), reply, 3000) !=
        TWireClient::Result::Ok)
      return "<no answer>";
    return CopyFrom(wire::ParseReply(reply).body, 7);
  }
  std::string Job(const std::string& code, const std::string& user) {
    std::string reply;
    client.Exchange(wire::JobRequest("Master6KS", 1, user, code, "127000000001", "TAG00000001", "127000000071"),
                    reply, 3000);
    return reply;
  }
  // The job's result notice, waited for on the client's polls.
  std::string JobResult() {
    std::string body;
    test::WaitFor([&] { return StartsWith(body = Poll(), "_*"); }, 20s);
    return body;
  }
  // A controller command sent as a workstation does; its ID.
  std::string Send(const std::string& tag, const std::string& code, const std::string& params) {
    std::string reply;
    client.Exchange(wire::CommandRequest(tag, code, params), reply, 3000);
    const std::string rest = CopyFrom(wire::ParseReply(reply).body, 13);
    return StartsWith(rest, "WF") ? CopyFrom(rest, 3) : "<" + rest + ">";
  }
  // The reply stored for a command: "OK..." or "XX".
  std::string ReplyTo(const std::string& tag, const std::string& id) {
    std::string r = "??";
    test::WaitFor(
        [&] {
          std::string reply;
          client.Exchange(wire::FetchReplyRequest(tag, id), reply, 3000);
          r = CopyFrom(wire::ParseReply(reply).body, 13);
          return r != "??";
        },
        20s);
    return r;
  }

private:
  int port_ = 0;
};

}  // namespace

TEST_F(TemplateServerE2e, BulkDownloadJobReportsToItsClient) {
  Start();
  ASSERT_TRUE(test::FileContains(LogPath(), "KX6KS Created.")) << LogText();
  for (int u = 1; u <= 5; ++u) master->Device().AddUser(u, 2);
  EXPECT_EQ(Job("2U", "000000"), "\x06" "000000_#OK\r");
  std::vector<std::string> bodies;
  ASSERT_TRUE(test::WaitFor(
      [&] {
        std::string b = Poll();
        if (!b.empty()) bodies.push_back(b);
        return StartsWith(b, "_*");
      },
      20s))
      << LogText();
  ASSERT_EQ(bodies.size(), 7u) << LogText();
  EXPECT_EQ(bodies[0], "_&2U   1. 000001 ID + FG  000001 FG=2");
  EXPECT_EQ(bodies[5], "_&2U      Total IDs = 5");
  EXPECT_EQ(bodies[6], "_*TAG00000001Y2U127000000001");
  EXPECT_TRUE(dir.Exists("templates/000000000005T_KT7100.efm"));
  EXPECT_EQ(Count(Db(), "select count(*) from ZKList where Z_Ver='0'"), 5);
  EXPECT_EQ(Count(Db(), "select count(*) from Audit_Trail where action='Temp.UpAll'"), 1);
  EXPECT_EQ(door.Device().Heard().size(), 0u);
}

TEST_F(TemplateServerE2e, CardInstallUploadsTemplatesBeforeTheControllerFrame) {
  // Beside the terminal module as well: the template server is still there
  // for the controllers' card commands.
  Start(true, "[ZKFP]\nEnable=1\n");
  std::filesystem::create_directories(dir.File("templates"));
  dir.Write("templates/000000000123T_KT7100.efm", sim::TemplateDevice::MakeTemplate(123, 2) + "\r\n");
  std::atomic<bool> onDeviceFirst{false};
  ctrlBank->SetTrace(
      [&](const std::string& t) {
        if (t.find("AC") != std::string::npos && t.rfind("rx ", 0) == 0)
          onDeviceFirst = door.Device().HasUser("000000000123");
      },
      "");
  EXPECT_EQ(ReplyTo("FpDoor", Send("FpDoor", "AC", "0001230101")).substr(0, 2), "OK") << LogText();
  EXPECT_EQ(ctrlBank->Unit(3).Received("AC"), 1);
  EXPECT_TRUE(onDeviceFirst);
  EXPECT_EQ(door.Device().CountHeard("EU"), 1);
  EXPECT_EQ(door.Device().CountHeard("WU"), 13);
  EXPECT_EQ(master->Device().Heard().size(), 0u);
  EXPECT_TRUE(test::FileContains(LogPath(), "Template Add/Del: A 000123 - OK"));
  EXPECT_FALSE(test::FileContains(LogPath(), "KX6KS Created."));
}

TEST_F(TemplateServerE2e, CardCommandsNeverWriteTheMasterAndDeleteUsersTheDeviceLacks) {
  Start();
  master->Device().AddUser(123, 1);
  std::filesystem::create_directories(dir.File("templates"));
  dir.Write("templates/000000000123T_KT7100.efm", sim::TemplateDevice::MakeTemplate(123, 1) + "\r\n");
  // The master's own controller takes its cards; its templates stay.
  EXPECT_EQ(ReplyTo("Master6KS", Send("Master6KS", "DC", "000123")).substr(0, 2), "OK") << LogText();
  EXPECT_EQ(ReplyTo("Master6KS", Send("Master6KS", "AC", "0001230101")).substr(0, 2), "OK") << LogText();
  EXPECT_EQ(masterBank->Unit(1).Received("DC"), 1);
  EXPECT_EQ(masterBank->Unit(1).Received("AC"), 1);
  EXPECT_EQ(master->Device().Heard().size(), 0u);
  EXPECT_TRUE(test::FileContains(LogPath(), "No operation on Master Unit: (D 000123)"));
  // A revoked card is deleted from a door whose device never knew its user.
  EXPECT_EQ(ReplyTo("FpDoor", Send("FpDoor", "DC", "000555")).substr(0, 2), "OK") << LogText();
  EXPECT_EQ(ctrlBank->Unit(3).LastParams("DC"), "000555");
  EXPECT_TRUE(test::FileContains(LogPath(), "Remove: No Such ID - 000000000555"));
}

TEST_F(TemplateServerE2e, CardCommandDuringABulkDownloadIsRefusedAndTheDownloadGoesOn) {
  Start();
  for (int u = 1; u <= 8; ++u) master->Device().AddUser(u, 1);
  master->SetFaults({false, 300, 0, 0, ""});
  EXPECT_EQ(Job("2U", "000000"), "\x06" "000000_#OK\r");
  ASSERT_TRUE(test::WaitFor([&] { return master->Device().CountHeard("DU") >= 2; }, 20s)) << LogText();
  const std::string id = Send("FpDoor", "AC", "0000010101");
  EXPECT_EQ(JobResult(), "_*TAG00000001Y2U127000000001") << LogText();
  EXPECT_EQ(master->Device().CountHeard("DU"), 9);
  EXPECT_EQ(ReplyTo("FpDoor", id).substr(0, 2), "XX");
  EXPECT_EQ(ctrlBank->Unit(3).Received("AC"), 0);
  EXPECT_EQ(door.Device().Heard().size(), 0u);
  EXPECT_TRUE(test::FileContains(LogPath(), "6KS.Reentrant: card command refused"));
}

TEST_F(TemplateServerE2e, JobRefusedWithTheTemplateServerOff) {
  Start(false);
  master->Device().AddUser(9, 1);
  Job("2N", "000009");
  EXPECT_EQ(JobResult(), "_*TAG00000001N2N127000000001");
  EXPECT_TRUE(test::FileContains(LogPath(), "<SvrDownloadTemp> KX6KS not enabled.")) << LogText();
  EXPECT_EQ(master->Device().Heard().size(), 0u);
}

TEST_F(TemplateServerE2e, SilentDeviceCostsOneBoundedWaitWhileClientsAreAnswered) {
  Start();
  master->SetFaults({true, 0, 0, 0, ""});
  master->Device().AddUser(9, 1);
  const auto t0 = std::chrono::steady_clock::now();
  Job("2N", "000009");
  ASSERT_TRUE(test::WaitFor([&] { return master->Device().CountHeard("RU") == 1; }, 20s)) << LogText();
  long worst = 0;
  std::string body;
  while (!StartsWith(body, "_*") && std::chrono::steady_clock::now() - t0 < 20s) {
    const auto p0 = std::chrono::steady_clock::now();
    body = Poll();
    worst = std::max<long>(worst, std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - p0).count());
    std::this_thread::sleep_for(50ms);
  }
  const auto total = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_EQ(body, "_*TAG00000001N2N127000000001");
  EXPECT_GE(total.count(), 2000);
  EXPECT_LT(total.count(), 8000);
  EXPECT_LT(worst, 500);
  EXPECT_EQ(master->Device().CountHeard("RU"), 1);
}
