// Transactions of IP controllers reach trans with the tag found from the
// controller's address and logical point, through channels and through the
// single socket.
#include <ctime>

#include "common/Format.h"
#include "ctrlsim/TcpSim.h"
#include "e2e/E2eFixture.h"

using namespace px;
using namespace std::chrono_literals;

namespace {
class IpStorage : public test::E2eFixture {
protected:
  std::shared_ptr<sim::UnitBank> bankA = std::make_shared<sim::UnitBank>();
  std::shared_ptr<sim::UnitBank> bankB = std::make_shared<sim::UnitBank>();
  std::unique_ptr<sim::TcpSim> simA, simB;

  void StartSims(int port) {
    sim::TcpSim::Options a;
    a.address = "127.0.0.2";
    a.port = port;
    simA = std::make_unique<sim::TcpSim>(bankA, a);
    std::string err;
    ASSERT_TRUE(simA->Start(&err)) << err;
    sim::TcpSim::Options b = a;
    b.address = "127.0.0.3";
    b.port = simA->Port();
    simB = std::make_unique<sim::TcpSim>(bankB, b);
    ASSERT_TRUE(simB->Start(&err)) << err;
  }
  void TearDown() override {
    E2eFixture::TearDown();
    if (simA) simA->Stop();
    if (simB) simB->Stop();
  }
  void Seed() {
    // Two controllers behind 127.0.0.2 (units 1 and 2), one behind 127.0.0.3 (unit 3).
    Exec(Db(), "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values "
               "('LiftA', 1, '127000000002', 'KX6000', 'UP', 'Y'), ('LiftB', 2, '127000000002', 'KX6000', 'UP', 'Y'), "
               "('Garage', 3, '127000000003', 'KX4100', 'UP', 'Y')");
    bankA->EnableUnits({1, 2});
    bankB->EnableUnits({3});
    std::time_t now = std::time(nullptr);
    for (int i = 0; i < 30; ++i) {
      auto& unit = i % 3 == 2 ? bankB->Unit(3) : bankA->Unit(i % 3 + 1);
      unit.QueueTransaction(Format("%06d", 400000 + i), '0', now);
    }
  }
  void ExpectStored() {
    ASSERT_TRUE(test::WaitFor([&] { return Count(Db(), "select count(*) from trans") >= 30; }, 40s)) << LogText();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Count(Db(), "select count(*) from trans"), 30);
    EXPECT_EQ(Count(Db(), "select count(*) from trans where tag_name='LiftA'"), 10);
    EXPECT_EQ(Count(Db(), "select count(*) from trans where tag_name='LiftB'"), 10);
    EXPECT_EQ(Count(Db(), "select count(*) from trans where tag_name='Garage'"), 10);
    EXPECT_EQ(Count(Db(), "select count(*) from trans where tag_name='Garage' and card_number='400002'"), 1);
  }
};
}  // namespace

TEST_F(IpStorage, ThroughChannels) {
  StartSims(0);
  Seed();
  dir.Write("OstrPro.Ini", "[Comm Setting]\nIPPort=" + std::to_string(simA->Port()) +
                               "\nQCheckInterval=20\n[Server]\nClientPort=0\n[Options]\nDebug=1\n");
  StartServer();
  ExpectStored();
  StopServer();
}

TEST_F(IpStorage, ThroughTheSingleSocket) {
  StartSims(0);
  Seed();
  // The single socket polls one controller every 1.3 s: fewer, fuller replies.
  for (int u : {1, 2}) bankA->Unit(u).SetMaxRecordsPerReply(10);
  bankB->Unit(3).SetMaxRecordsPerReply(10);
  dir.Write("OstrPro.Ini", "[Comm Setting]\nQCheckInterval=20\n[Server]\nSingleSocket=1\nSingleSocketPort=" +
                               std::to_string(simA->Port()) + "\nClientPort=0\n[Options]\nDebug=1\n");
  StartServer();
  ExpectStored();
  StopServer();
}
