// A workstation's commands end to end: pxclient -> portexd on port P ->
// engine -> simulated controller (serial pty and TCP) -> reply via SZ.
#include "common/Format.h"
#include "common/TextCodec.h"
#include "ctrlsim/TcpSim.h"
#include "e2e/E2eFixture.h"

using namespace px;
using namespace std::chrono_literals;

namespace {

class ClientE2e : public test::E2eFixture {
protected:
  std::shared_ptr<sim::UnitBank> ipBank = std::make_shared<sim::UnitBank>();
  std::unique_ptr<sim::TcpSim> ip;
  int clientPort = 0;

  void SetUp() override {
    E2eFixture::SetUp();
    sim::TcpSim::Options o;
    o.address = "127.0.0.2";
    ip = std::make_unique<sim::TcpSim>(ipBank, o);
    std::string err;
    ASSERT_TRUE(ip->Start(&err)) << err;
    ipBank->EnableUnits({5});
    bank->EnableUnits({1});
    Exec(Db(), "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values "
               "('Door01', 1, '', 'KX4100', 'UP', 'Y'), ('Lift', 5, '127000000002', 'KX6000', 'UP', 'Y')");
    Exec(Db(), "insert into sysopr values ('alice', '" + EncodeText("Secret") + "', 'Alice')");
    clientPort = test::FreeLoopbackPort();
    WriteConfig(Format("[Comm Setting]\nIPPort=%d\n", ip->Port()));
    // WriteConfig's own [Server] section comes first; the client port is set there.
    std::string ini = dir.Read("OstrPro.Ini");
    ini.replace(ini.find("ClientPort=0"), 12, "ClientPort=" + std::to_string(clientPort));
    // IPPort belongs with the other communication keys.
    ini.replace(ini.find("[Comm Setting]\nCommPort=1"), 25,
                "[Comm Setting]\nCommPort=1\nIPPort=" + std::to_string(ip->Port()));
    dir.Write("OstrPro.Ini", ini);
    StartServer();
    ASSERT_TRUE(test::WaitFor([&] { return test::FileContains(LogPath(), "2: Lift KX6000 5 "); }, 20s)) << LogText();
  }
  void TearDown() override {
    E2eFixture::TearDown();
    if (ip) ip->Stop();
  }
  // Runs pxclient; returns its exit status and output.
  int Client(const std::vector<std::string>& args, std::string& out) {
    std::vector<std::string> argv = {std::string(PX_BINARY_DIR) + "/bin/pxclient", "--port",
                                     std::to_string(clientPort), "--timeout", "15"};
    argv.insert(argv.end(), args.begin(), args.end());
    test::ChildProcess p;
    std::string file = dir.File("pxclient.out");
    if (!p.Start(argv, file)) return -1;
    int rc = p.Wait(30s);
    out = test::ReadFile(file);
    return rc;
  }
};

}  // namespace

TEST_F(ClientE2e, PulseOpenOnASerialAndAnIpController) {
  // The client port opens once start-up has finished.
  std::string out;
  ASSERT_TRUE(test::WaitFor([&] { return Client({"poll", "Door01"}, out) == 0; }, 20s)) << out;
  ASSERT_EQ(Client({"cmd", "Door01", "PR", "05"}, out), 0) << out << LogText();
  EXPECT_NE(out.find("OK"), std::string::npos) << out;
  EXPECT_EQ(bank->Unit(1).Received("PR"), 1);
  EXPECT_EQ(bank->Unit(1).LastParams("PR"), "05");
  ASSERT_TRUE(test::WaitFor([&] { return ipBank->Unit(5).Received("QA") + ipBank->Unit(5).Received("VN") > 0; },
                            20s))
      << LogText();
  ASSERT_EQ(Client({"cmd", "Lift", "PR", "03"}, out), 0) << out << LogText();
  EXPECT_NE(out.find("OK"), std::string::npos) << out;
  EXPECT_EQ(ipBank->Unit(5).Received("PR"), 1);
}

TEST_F(ClientE2e, CardUploadReturnsTheCardLines) {
  bank->Unit(1).SetCards({"00010100000001000000", "00010200000001000000", "00010300000001000000"});
  std::string out;
  ASSERT_TRUE(test::WaitFor([&] { return Client({"poll", "Door01"}, out) == 0; }, 20s)) << out;
  ASSERT_EQ(Client({"cmd", "Door01", "RC"}, out), 0) << out << LogText();
  EXPECT_NE(out.find("00010100000001000000;00010200000001000000;00010300000001000000;"), std::string::npos) << out;
}

TEST_F(ClientE2e, MobileLoginAgainstTheOperatorTable) {
  std::string out;
  ASSERT_TRUE(test::WaitFor([&] { return Client({"poll", "Door01"}, out) == 0; }, 20s)) << out;
  EXPECT_EQ(Client({"login", "alice", "secret"}, out), 0) << out;  // passwords compare upper-cased
  EXPECT_NE(Client({"login", "alice", "wrong"}, out), 0) << out;
  EXPECT_NE(Client({"login", "vAnT", "x"}, out), 0) << out;
  EXPECT_EQ(Count(Db(), "select count(*) from Audit_Trail where action='Mobile Login'"), 1);
}
