// The start-up steps that publish the server to client programs: the
// address in ox_ini and the client port.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "service/FakeEngine.h"
#include "service/ServerAddress.h"
#include "service/ServiceModule.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

using namespace px;
using namespace std::chrono_literals;

namespace {

TEST(ServerAddress, SkipsLoopbackAndInterfacesThatAreDown) {
  std::vector<LocalAddress> ifs = {{"127.0.0.1", true, true}, {"10.0.0.5", false, false}, {"192.168.1.20", true, false},
                                   {"172.16.0.9", true, false}};
  // A Debian host name resolves to 127.0.1.1.
  EXPECT_EQ(PickServerAddress({"127.0.1.1"}, ifs), "192.168.1.20");
  // An address of the host name that is up is preferred, one that is down is not.
  EXPECT_EQ(PickServerAddress({"10.0.0.5", "172.16.0.9"}, ifs), "172.16.0.9");
  EXPECT_EQ(PickServerAddress({}, {{"127.0.0.1", true, true}}), "");
}

// Opens only after failing a number of times, as a port still held by a
// dying predecessor would.
struct FlakyListener : IClientListener {
  std::atomic<int>& tries;
  int failures;
  bool open = false;
  FlakyListener(std::atomic<int>& t, int f) : tries(t), failures(f) {}
  bool Open(int) override {
    open = ++tries > failures;
    return open;
  }
  void Close() override { open = false; }
  bool Active() const override { return open; }
};

TEST(StartUp, ClientPortIsRetriedAloneUntilItOpensAndTheConfiguredAddressIsPublished) {
  test::TempDir dir;
  dir.Write("OstrPro.Ini", "[Comm Setting]\nQCheckInterval=20\n[Server]\nAddress=10.1.2.3\n");
  EventLoop loop;
  std::atomic<int> tries{0};
  ServiceModules m;
  m.makeEngine = [](ServiceContext&) { return std::make_unique<test::FakeEngine>(); };
  m.makeListener = [&](ServiceContext&) { return std::make_unique<FlakyListener>(tries, 3); };
  auto svc = std::make_unique<TVANTPortexService>(loop, dir.Path(), SystemClock::Instance(), m);
  std::thread loopThread([&] { loop.Run(); });
  std::thread svcThread([&] {
    svc->ServiceExecute();
    loop.Stop();
  });
  ASSERT_TRUE(test::WaitFor([&] { return tries >= 4; }, 10s));
  std::this_thread::sleep_for(100ms);
  svc->ServiceStop();
  svcThread.join();
  loopThread.join();
  EXPECT_EQ(tries, 4);  // once open, never again
  EXPECT_EQ(svc->Context().ServerState, 5);
  std::string log = test::ReadFile(svc->Log().LogFilePath());
  const std::string retrying = "Client port 9011 not open: tried again on every tick";
  size_t first = log.find(retrying);
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(retrying, first + 1), std::string::npos) << log;
  svc->Db().SQLDB_Connect(true);
  ASSERT_TRUE(svc->Db().RunSQL(svc->Db().Query1, "select i_value from ox_ini where i_entry='IPAddress'", true));
  EXPECT_EQ(svc->Db().Query1.FieldOr("i_value"), "10.1.2.3");
}

}  // namespace
