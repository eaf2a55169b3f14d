// TCP addresses: real loopback sockets, a test host connecting to them.
#include <gtest/gtest.h>

#include <thread>

#include "SimClient.h"
#include "ctrlsim/TcpSim.h"

namespace px::sim {
namespace {

using test::SimClient;
using Ms = std::chrono::duration<double, std::milli>;

class TcpSimTest : public ::testing::Test {
protected:
  std::unique_ptr<TcpSim> Make(const std::string& address, std::vector<int> units) {
    auto bank = std::make_shared<UnitBank>();
    bank->EnableUnits(units);
    auto sim = std::make_unique<TcpSim>(bank, TcpSim::Options{address, 0});
    std::string err;
    EXPECT_TRUE(sim->Start(&err)) << err;
    EXPECT_GT(sim->Port(), 0);
    return sim;
  }
  SimClient Connect(TcpSim& sim) { return SimClient::Connect(sim.Address(), sim.Port()); }
};

TEST_F(TcpSimTest, SeveralUnitsShareOneConnection) {
  auto sim = Make("127.0.0.1", {1, 2});
  sim->Bank().Unit(2).SetModel("KX6000S", "3.10");
  SimClient host = Connect(*sim);
  ASSERT_TRUE(host.Valid());
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "VN")));
  EXPECT_EQ(host.ReadFrame(), BuildReply(1, "VN", "KX4100V1.23"));
  ASSERT_TRUE(host.Send(SimClient::Poll(2, "VN")));
  EXPECT_EQ(host.ReadFrame(), BuildReply(2, "VN", "KX6000SV3.10"));
  // A frame split over two writes is still one frame.
  ASSERT_TRUE(host.Send(std::string(1, AddressByte(2)) + "Q"));
  ASSERT_TRUE(host.Send("A\r"));
  EXPECT_EQ(host.ReadFrame(), BuildReply(2, "QA", "00"));
  EXPECT_EQ(sim->Accepted(), 1);
  EXPECT_EQ(sim->OpenConnections(), 1);
}

TEST_F(TcpSimTest, DistinctLoopbackAddressesAreDistinctControllers) {
  auto a = Make("127.0.0.2", {1});
  auto b = Make("127.0.0.3", {1});
  b->Bank().Unit(1).SetStatusB("ABCDEF");
  SimClient ha = Connect(*a), hb = Connect(*b);
  ASSERT_TRUE(ha.Valid() && hb.Valid());
  ASSERT_TRUE(ha.Send(SimClient::Poll(1, "RI")));
  ASSERT_TRUE(hb.Send(SimClient::Poll(1, "RI")));
  EXPECT_EQ(ha.ReadFrame(), BuildReply(1, "RI", "000000"));
  EXPECT_EQ(hb.ReadFrame(), BuildReply(1, "RI", "ABCDEF"));
  EXPECT_EQ(a->Endpoint(), "127.0.0.2:" + std::to_string(a->Port()));
}

TEST_F(TcpSimTest, ChecksumErrorThenRepeatOverTcp) {
  auto sim = Make("127.0.0.1", {4});
  SimUnit& u = sim->Bank().Unit(4);
  u.QueueRecord("010112000001230");
  u.SetBadChecksum(1);
  SimClient host = Connect(*sim);
  ASSERT_TRUE(host.Send(SimClient::Poll(4, "QA")));
  const std::string bad = host.ReadFrame();
  ASSERT_EQ(bad.size(), BuildReply(4, "QA", "00010112000001230").size());
  EXPECT_NE(bad, BuildReply(4, "QA", "00010112000001230"));
  ASSERT_TRUE(host.Send(SimClient::Poll(4, "QR")));
  EXPECT_EQ(host.ReadFrame(), BuildReply(4, "QR", "00010112000001230"));
}

TEST_F(TcpSimTest, RefuseAndAcceptAgainOnTheSamePort) {
  auto sim = Make("127.0.0.1", {1});
  const int port = sim->Port();
  SimClient before = Connect(*sim);
  ASSERT_TRUE(before.Valid());
  sim->SetRefuse(true);
  EXPECT_FALSE(Connect(*sim).Valid());
  // A connection made before keeps working.
  ASSERT_TRUE(before.Send(SimClient::Poll(1, "RS")));
  EXPECT_EQ(before.ReadFrame(), BuildReply(1, "RS", ""));
  sim->SetRefuse(false);
  EXPECT_EQ(sim->Port(), port);
  SimClient after = Connect(*sim);
  ASSERT_TRUE(after.Valid());
  ASSERT_TRUE(after.Send(SimClient::Poll(1, "RS")));
  EXPECT_EQ(after.ReadFrame(), BuildReply(1, "RS", ""));
}

TEST_F(TcpSimTest, HangingAddressAcceptsButNeverAnswers) {
  auto sim = Make("127.0.0.1", {1});
  sim->Bank().Unit(1).QueueRecord("010112000001230");
  sim->SetHang(true);
  SimClient host = Connect(*sim);
  ASSERT_TRUE(host.Valid());
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "QA")));
  EXPECT_EQ(host.ReadFor(150), "");
  EXPECT_EQ(sim->IgnoredFrames(), 1);
  EXPECT_EQ(sim->Bank().Unit(1).QueuedRecords(), 1);  // nothing taken while hanging
  sim->SetHang(false);
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "QA")));
  EXPECT_EQ(host.ReadFrame(), BuildReply(1, "QA", "00010112000001230"));
}

TEST_F(TcpSimTest, CloseMidFrameAndDroppedConnections) {
  auto sim = Make("127.0.0.1", {1});
  sim->Bank().Unit(1).SetCloseMidFrame(1);
  SimClient host = Connect(*sim);
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "VN")));
  const std::string full = BuildReply(1, "VN", "KX4100V1.23");
  EXPECT_EQ(host.ReadFor(300), full.substr(0, full.size() / 2));  // ReadFor stops at the close
  EXPECT_TRUE(host.WaitHangup(500));

  SimClient next = Connect(*sim);
  ASSERT_TRUE(next.Send(SimClient::Poll(1, "VN")));
  EXPECT_EQ(next.ReadFrame(), full);  // the fault has worn off
  sim->DropConnections();
  EXPECT_TRUE(next.WaitHangup(500));
  EXPECT_EQ(sim->OpenConnections(), 0);
}

TEST_F(TcpSimTest, RepliesInSeveralPiecesWithGaps) {
  auto sim = Make("127.0.0.1", {1});
  sim->Bank().Unit(1).SetPieces(3, 40);
  SimClient host = Connect(*sim);
  const auto t0 = SteadyClock::now();
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "VN")));
  EXPECT_EQ(host.ReadFrame(), BuildReply(1, "VN", "KX4100V1.23"));
  // Two 40 ms gaps: the last byte cannot come sooner. (When the first piece
  // arrives is up to the scheduler, so the spread itself is not measured.)
  EXPECT_GE(Ms(host.LastByteAt() - t0).count(), 79);
}

TEST_F(TcpSimTest, PushesQueuedRecordsToAListeningHost) {
  auto sim = Make("127.0.0.1", {1, 2});
  sim->Bank().Unit(1).QueueRecord("010112000001230");
  sim->Bank().Unit(2).QueueRecord("010112010002229");
  sim->SetPush(20);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  // Nobody connected: nothing taken off the queues.
  EXPECT_EQ(sim->Bank().Unit(1).QueuedRecords(), 1);
  SimClient host = Connect(*sim);
  EXPECT_EQ(host.ReadFrame(), BuildReply(1, "QA", "00010112000001230"));
  EXPECT_EQ(host.ReadFrame(), BuildReply(2, "QA", "00010112010002229"));
  // Units with nothing queued stay quiet; polls are still answered.
  EXPECT_EQ(host.ReadFor(80), "");
  ASSERT_TRUE(host.Send(SimClient::Poll(1, "RS")));
  EXPECT_EQ(host.ReadFrame(), BuildReply(1, "RS", ""));
  sim->SetPush(0);
  sim->Bank().Unit(1).QueueRecord("010112000001230");
  EXPECT_EQ(host.ReadFor(80), "");
}

TEST_F(TcpSimTest, StartFailsOnAnAddressInUse) {
  auto first = Make("127.0.0.1", {1});
  auto bank = std::make_shared<UnitBank>();
  TcpSim second(bank, TcpSim::Options{"127.0.0.1", first->Port()});
  std::string err;
  // SO_REUSEADDR does not let two listeners share a port.
  EXPECT_FALSE(second.Start(&err));
  EXPECT_FALSE(err.empty());
  TcpSim bad(bank, TcpSim::Options{"not-an-address", 0});
  EXPECT_FALSE(bad.Start(&err));
}

}  // namespace
}  // namespace px::sim
