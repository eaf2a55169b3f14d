// The pty bus: real pseudo-terminals, a test host on the slave side.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "SimClient.h"
#include "ctrlsim/SerialSim.h"
#include "support/TestSupport.h"

namespace px::sim {
namespace {

using test::SimClient;
using Ms = std::chrono::duration<double, std::milli>;

class SerialSimTest : public ::testing::Test {
protected:
  void StartSim(int baud) {
    bank = std::make_shared<UnitBank>();
    bank->EnableUnits({1, 3});
    sim = std::make_unique<SerialSim>(bank, SerialSim::Options{dir.File("ttyBus1"), baud, 0});
    std::string err;
    ASSERT_TRUE(sim->Start(&err)) << err;
  }
  SimClient Open() {
    SimClient c = SimClient::OpenPty(sim->DevicePath());
    EXPECT_TRUE(c.Valid());
    return c;
  }

  px::test::TempDir dir;
  std::shared_ptr<UnitBank> bank;
  std::unique_ptr<SerialSim> sim;
};

TEST_F(SerialSimTest, AnswersAddressedUnitsThroughTheSymlink) {
  StartSim(0);
  char target[256] = {};
  ASSERT_GT(readlink(sim->LinkPath().c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(sim->SlavePath(), target);
  SimClient host = Open();
  bank->Unit(3).QueueRecord("010112000001230");
  ASSERT_TRUE(host.Send(SimClient::Poll(3, "VN")));
  EXPECT_EQ(host.ReadFrame(), BuildReply(3, "VN", "KX4100V1.23"));
  // Two frames in one write, with junk in front: both answered in order.
  ASSERT_TRUE(host.Send("xx" + SimClient::Poll(3, "QA") + SimClient::Poll(1, "RI")));
  EXPECT_EQ(host.ReadFrame(), BuildReply(3, "QA", "00010112000001230"));
  EXPECT_EQ(host.ReadFrame(), BuildReply(1, "RI", "000000"));
  // Nobody at unit 2.
  ASSERT_TRUE(host.Send(SimClient::Poll(2, "QA")));
  EXPECT_EQ(host.ReadFor(100), "");
  EXPECT_EQ(bank->Unit(2).Received("QA"), 1);
}

TEST_F(SerialSimTest, CardUploadAndCommandsOverThePty) {
  StartSim(0);
  SimClient host = Open();
  bank->Unit(1).SetCards({"00000100000101000000", "00000200000101000000"});
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "RC")));
  EXPECT_EQ(host.ReadFrame(), std::string(1, AddressByte(1)) + "RC00000100000101000000" + "00000200000101000000\r");
  ASSERT_TRUE(host.Send(SimClient::Command(1, "PR", "05")));
  EXPECT_EQ(host.ReadFrame(), BuildReply(1, "PR", ""));
  EXPECT_EQ(bank->Unit(1).LastParams("PR"), "05");
  // The cut-off upload never sends its CR.
  bank->Unit(1).SetCardCut(1);
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "RC")));
  EXPECT_EQ(host.ReadFrame(300), std::string(1, AddressByte(1)) + "RC00000100000101000000");
}

TEST_F(SerialSimTest, PacesOutputAtTheBaudRateAfterTheRequestsWireTime) {
  StartSim(9600);
  SimClient host = Open();
  for (int i = 0; i < 4; ++i) bank->Unit(1).QueueRecord("01011200000123" + std::to_string(i));
  const std::string poll = SimClient::Poll(1, "QA");
  const auto sent = SteadyClock::now();
  ASSERT_TRUE(host.Send(poll));
  const std::string reply = host.ReadFrame();
  ASSERT_EQ(reply.size(), 68u);  // address, code, status, 4 records, checksum, CR
  const double byteMs = 10000.0 / 9600;
  // The CR leaves after the 4-byte poll's wire time and 68 byte times of
  // reply. The simulator never sends early, so the lower bound is tight;
  // the upper one leaves room for a busy machine.
  const double total = Ms(host.LastByteAt() - sent).count();
  EXPECT_GE(total, (poll.size() + reply.size()) * byteMs - 0.3);
  EXPECT_LT(total, (poll.size() + reply.size()) * byteMs + 40);
  EXPECT_GE(Ms(host.FirstByteAt() - sent).count(), (poll.size() + 1) * byteMs - 0.3);
  // Spread over the reply, not one burst (a late start is caught up, so
  // only a loose lower bound holds under load).
  EXPECT_GT(Ms(host.LastByteAt() - host.FirstByteAt()).count(), 40);
  EXPECT_GT(host.LastReads(), 20);  // trickled, not one burst
}

TEST_F(SerialSimTest, LateAnswersNulsAndGarbage) {
  StartSim(0);
  SimClient host = Open();
  bank->Unit(1).SetDelay(150);
  auto t0 = SteadyClock::now();
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "RS")));
  EXPECT_EQ(host.ReadFrame(), BuildReply(1, "RS", ""));
  EXPECT_GE(Ms(SteadyClock::now() - t0).count(), 149);

  // Busy: NULs spaced out, then the answer one gap after the last NUL.
  bank->Unit(1).SetDelay(0);
  bank->Unit(1).SetNuls(3, 60);
  t0 = SteadyClock::now();
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "RS")));
  EXPECT_EQ(host.ReadFrame(), std::string(3, '\0') + BuildReply(1, "RS", ""));
  EXPECT_GE(Ms(SteadyClock::now() - t0).count(), 179);

  bank->Unit(1).SetNuls(0, 0);
  bank->Unit(1).SetGarbage("\x01\x7Fzz");
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "RS")));
  EXPECT_EQ(host.ReadFrame(), "\x01\x7Fzz" + BuildReply(1, "RS", ""));

  // While unit 1 is late, unit 3 on the same bus still answers on time.
  bank->Unit(1).SetGarbage("");
  bank->Unit(1).SetDelay(300);
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "RS")));
  ASSERT_TRUE(host.Send(SimClient::Poll(3, "RS")));
  EXPECT_EQ(host.ReadFrame(), BuildReply(3, "RS", ""));
  EXPECT_EQ(host.ReadFrame(), BuildReply(1, "RS", ""));
}

TEST_F(SerialSimTest, UnplugHangsUpAndReplugServesTheSameLink) {
  StartSim(0);
  SimClient host = Open();
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "RS")));
  ASSERT_EQ(host.ReadFrame(), BuildReply(1, "RS", ""));
  const std::string oldSlave = sim->SlavePath();

  sim->Unplug();
  EXPECT_TRUE(host.WaitHangup());
  struct stat st{};
  EXPECT_NE(lstat(sim->LinkPath().c_str(), &st), 0);  // gone, as an unplugged adapter's node
  EXPECT_FALSE(SimClient::OpenPty(sim->LinkPath()).Valid());

  std::string err;
  ASSERT_TRUE(sim->Replug(&err)) << err;
  EXPECT_NE(sim->SlavePath(), oldSlave);  // the old one is still held by the host
  SimClient again = Open();
  ASSERT_TRUE(again.Send(SimClient::Poll(1, "RS")));
  EXPECT_EQ(again.ReadFrame(), BuildReply(1, "RS", ""));
  sim->Stop();
  EXPECT_NE(lstat(sim->LinkPath().c_str(), &st), 0);
}

TEST_F(SerialSimTest, AnswersWhileThePortIsClosedAreLost) {
  StartSim(0);
  bank->Unit(1).SetDelay(100);
  {
    SimClient host = Open();
    ASSERT_TRUE(host.Send(SimClient::Poll(1, "RS")));
  }  // closed before the late answer
  for (int i = 0; i < 100 && bank->Unit(1).RepliesSent() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  for (int i = 0; i < 100 && sim->BytesDropped() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(sim->BytesDropped(), static_cast<long>(BuildReply(1, "RS", "").size()));
  SimClient again = Open();
  bank->Unit(1).SetDelay(0);
  ASSERT_TRUE(again.Send(SimClient::Poll(1, "VN")));
  EXPECT_EQ(again.ReadFrame(), BuildReply(1, "VN", "KX4100V1.23"));  // nothing stale before it
}

TEST_F(SerialSimTest, StartFailsCleanlyOnAnUnusableLinkPath) {
  bank = std::make_shared<UnitBank>();
  SerialSim bad(bank, SerialSim::Options{dir.File("no/such/dir/tty"), 9600, 0});
  std::string err;
  EXPECT_FALSE(bad.Start(&err));
  EXPECT_NE(err.find("symlink"), std::string::npos) << err;
  EXPECT_FALSE(bad.Running());
}

}  // namespace
}  // namespace px::sim
