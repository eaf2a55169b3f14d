// The event-driven client socket against a simulated controller.
#include <gtest/gtest.h>

#include <memory>

#include "ctrlsim/Frame.h"
#include "ctrlsim/TcpSim.h"
#include "ctrlsim/UnitBank.h"
#include "platform/ClientSocket.h"
#include "platform/EventLoop.h"

namespace px::test {
namespace {

class ClientSocketTest : public ::testing::Test {
protected:
  ClientSocketTest() : bank(std::make_shared<sim::UnitBank>()), sim(bank, sim::TcpSim::Options{"127.0.0.1", 0}) {
    bank->EnableUnits({1});
    std::string err;
    EXPECT_TRUE(sim.Start(&err)) << err;
  }
  void Run(const std::function<void()>& body) {
    loop.Post([&] {
      body();
      loop.Stop();
    });
    loop.Run();
  }
  bool WaitFor(const std::function<bool()>& done, int ms = 3000) { return loop.WaitUntil(done, 1, ms); }

  EventLoop loop;
  std::shared_ptr<sim::UnitBank> bank;
  sim::TcpSim sim;
};

TEST_F(ClientSocketTest, ConnectsSendsReceivesAndSeesThePeerClose) {
  Run([&] {
    TClientSocket s(loop);
    int connects = 0, disconnects = 0, errors = 0;
    std::string got;
    s.OnConnect = [&](TClientSocket&) { ++connects; };
    s.OnRead = [&](TClientSocket& c) { got += c.ReceiveText(); };
    s.OnDisconnect = [&](TClientSocket&) { ++disconnects; };
    s.OnError = [&](TClientSocket&, TErrorEvent, int& code) {
      ++errors;
      code = 0;
    };
    s.Address = "127.0.0.1";
    s.Port = sim.Port();
    EXPECT_EQ(s.SendText("x"), 0);  // not connected yet
    s.Open();
    EXPECT_TRUE(s.Active());
    EXPECT_FALSE(s.Connected());
    ASSERT_TRUE(WaitFor([&] { return s.Connected(); }));
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(s.SendText(std::string(1, sim::AddressByte(1)) + "VN\r"), 4);
    ASSERT_TRUE(WaitFor([&] { return !got.empty() && got.back() == '\r'; }));
    EXPECT_EQ(got, sim::BuildReply(1, "VN", "KX4100V1.23"));
    sim.DropConnections();
    ASSERT_TRUE(WaitFor([&] { return disconnects == 1; }));
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(errors, 0);
    // The same component connects again.
    s.Open();
    ASSERT_TRUE(WaitFor([&] { return s.Connected(); }));
    EXPECT_TRUE(WaitFor([&] { return sim.Accepted() == 2; }));
  });
}

TEST_F(ClientSocketTest, HostNameIsResolvedWhenNoAddressIsGiven) {
  Run([&] {
    TClientSocket s(loop);
    s.Host = "localhost";
    s.Port = sim.Port();
    s.Open();
    ASSERT_TRUE(WaitFor([&] { return s.Connected(); }));
  });
}

TEST_F(ClientSocketTest, RefusedConnectIsAnErrorEventAndCanBeLeftUnhandled) {
  sim.SetRefuse(true);
  Run([&] {
    TClientSocket s(loop);
    TErrorEvent what = TErrorEvent::eeGeneral;
    int seen = 0;
    s.OnError = [&](TClientSocket&, TErrorEvent ev, int& code) {
      what = ev;
      seen = code;
    };
    s.Address = "127.0.0.1";
    s.Port = sim.Port();
    s.Open();
    ASSERT_TRUE(WaitFor([&] { return seen != 0; }));
    EXPECT_EQ(what, TErrorEvent::eeConnect);
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(s.LastError(), seen);
    EXPECT_FALSE(TClientSocket::ErrorText(seen).empty());
    // Neither an address nor a host: a look-up error, reported as an event.
    TClientSocket none(loop);
    bool lookup = false;
    none.OnError = [&](TClientSocket&, TErrorEvent ev, int& code) {
      lookup = ev == TErrorEvent::eeLookup;
      code = 0;
    };
    none.Open();
    EXPECT_FALSE(lookup);
    ASSERT_TRUE(WaitFor([&] { return lookup; }));
    EXPECT_EQ(none.LastError(), 0);
  });
}

TEST_F(ClientSocketTest, NothingFiresAfterCloseOrDestruction) {
  bank->Unit(1).SetDelay(30);
  Run([&] {
    int reads = 0;
    {
      TClientSocket s(loop);
      s.OnRead = [&](TClientSocket&) { ++reads; };
      s.Address = "127.0.0.1";
      s.Port = sim.Port();
      s.Open();
      ASSERT_TRUE(WaitFor([&] { return s.Connected(); }));
      s.SendText(std::string(1, sim::AddressByte(1)) + "QA\r");
      s.Close();
      EXPECT_FALSE(s.Active());
      loop.Sleep(80);
      EXPECT_EQ(reads, 0);
      // Destroyed with a connect under way.
      s.Open();
    }
    loop.Sleep(50);
    EXPECT_EQ(reads, 0);
    // A handler may destroy its own socket.
    auto owned = std::make_unique<TClientSocket>(loop);
    owned->Address = "127.0.0.1";
    owned->Port = sim.Port();
    owned->OnConnect = [&](TClientSocket& c) { c.SendText(std::string(1, sim::AddressByte(1)) + "QA\r"); };
    owned->OnRead = [&](TClientSocket&) {
      ++reads;
      owned.reset();
    };
    owned->Open();
    ASSERT_TRUE(WaitFor([&] { return owned == nullptr; }));
    loop.Sleep(20);
    EXPECT_EQ(reads, 1);
  });
}

}  // namespace
}  // namespace px::test
