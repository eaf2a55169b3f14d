// The real program, stopped amid streaming controllers and flooded by a
// burst: what a controller handed over is stored once, in its order.
#include <algorithm>
#include <ctime>
#include <map>

#include "common/Format.h"
#include "e2e/E2eFixture.h"

using namespace px;
using namespace std::chrono_literals;

namespace {
class StopAndBurst : public test::E2eFixture {
protected:
  // Extra buses beside the fixture's bus 1, each a simulator on its own pty.
  std::map<int, std::shared_ptr<sim::UnitBank>> banks;
  std::vector<std::unique_ptr<sim::SerialSim>> sims;

  sim::UnitBank& AddBus(int bus, int baud) {
    if (bus == 1 && baud == 38400) return *(banks[1] = bank);
    banks[bus] = std::make_shared<sim::UnitBank>();
    sims.push_back(std::make_unique<sim::SerialSim>(
        banks[bus], sim::SerialSim::Options{dir.File("ttyBUS" + std::to_string(bus)), baud, 0}));
    std::string err;
    EXPECT_TRUE(sims.back()->Start(&err)) << err;
    return *banks[bus];
  }
  void TearDown() override {
    E2eFixture::TearDown();
    for (auto& s : sims) s->Stop();
  }
  // Default QCheckInterval: the service stores what it gets at its usual pace.
  void Configure() {
    std::string ports, list;
    for (auto& [bus, b] : banks) {
      list += std::to_string(bus);
      ports += Format("COM%d=", bus) + (bus == 1 && b == bank ? dir.File("ttySIM1") : dir.File(Format("ttyBUS%d", bus))) +
               "\n";
    }
    list.resize(4, '0');  // one digit for each of buses 1 to 4
    dir.Write("OstrPro.Ini", "[Comm Setting]\nMultiCommSupport=1\nCommPortList=" + list +
                                 "\nBaudRate=38400\nSleepMsec=5\n[Ports]\n" + ports +
                                 "[Server]\nClientPort=0\n[Options]\nDebug=1\n");
    for (auto& [bus, b] : banks)
      for (int u : b->EnabledUnits()) {
        Exec(Db(), Format("insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) "
                          "values ('B%dU%02d', %d, '', 'KX4100', 'UP', 'Y')",
                          bus, u, (bus - 1) * 16 + u));
        Exec(Db(), Format("insert into flrdet values ('B%dU%02d', 'UP')", bus, u));
      }
  }
  // `n` records with cards unique to the unit; code 4 needs no card lookup.
  void Queue(sim::UnitBank& b, int bus, int unit, int n) {
    std::string stamp = sim::SimUnit::Stamp(std::time(nullptr));
    for (int i = 0; i < n; ++i) b.Unit(unit).QueueRecord(stamp + Format("%d%02d%03d", bus, unit, i) + "4");
  }
  long Handed() {
    long n = 0;
    for (auto& [bus, b] : banks)
      for (int u : b->EnabledUnits()) n += b->Unit(u).ConfirmedRecords();
    return n;
  }
  // Every unit's handed-over records are its trans rows, once each and in order.
  void ExpectStoredAsHandedOver() {
    for (auto& [bus, b] : banks)
      for (int u : b->EnabledUnits()) {
        auto handed = b->Unit(u).HandedOver();
        auto rows = Query(Db(), Format("select card_number, trans_time from trans where tag_name='B%dU%02d' "
                                       "order by rowid",
                                       bus, u));
        ASSERT_EQ(rows.rows.size(), handed.size()) << "bus " << bus << " unit " << u;
        for (size_t i = 0; i < handed.size(); ++i)
          ASSERT_EQ(rows.rows[i][0], handed[i].substr(8, 6)) << "bus " << bus << " unit " << u << " row " << i;
      }
  }
};
}  // namespace

TEST_F(StopAndBurst, EveryRecordHandedOverBeforeASigtermIsStoredOnceAfterTheRestart) {
  int total = 0;
  for (int bus = 1; bus <= 3; ++bus) {
    auto& b = AddBus(bus, 38400);
    b.EnableUnits({1, 2});
    for (int u = 1; u <= 2; ++u) {
      b.Unit(u).SetMaxRecordsPerReply(10);
      Queue(b, bus, u, 200);
      total += 200;
    }
  }
  Configure();
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return Handed() >= 300; }, 30s)) << LogText();
  server->Signal(SIGTERM);
  ASSERT_EQ(server->Wait(20s), 0) << LogText();
  server.reset();
  const long beforeStop = Handed();
  EXPECT_EQ(LogCount("--- SExec.Ended ---"), 1);
  // Whatever the units had handed over was stored before the end, and is
  // in the raw capture file.
  EXPECT_GE(Count(Db(), "select count(*) from trans"), beforeStop);
  std::string raw = test::ReadFile(dir.File(FormatDateTime("yymmdd", SystemClock().LocalNow()) + ".raw"));
  EXPECT_GE(static_cast<long>(std::count(raw.begin(), raw.end(), '\n')), beforeStop);

  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return Handed() >= total; }, 60s)) << LogText();
  ASSERT_TRUE(test::WaitFor([&] { return Count(Db(), "select count(*) from trans") >= total; }, 30s)) << LogText();
  StopServer();
  ExpectStoredAsHandedOver();
}

TEST_F(StopAndBurst, ABurstOf2000RecordsFromEachOf16UnitsIsStoredOnce) {
  auto& b = AddBus(1, 0);  // an unpaced pty: the bus is not what is measured
  std::vector<int> units;
  for (int u = 1; u <= 16; ++u) units.push_back(u);
  b.EnableUnits(units);
  for (int u : units) {
    b.Unit(u).SetMaxRecordsPerReply(100);
    std::string stamp = sim::SimUnit::Stamp(std::time(nullptr));
    for (int i = 0; i < 2000; ++i) b.Unit(u).QueueRecord(stamp + Format("%02d%04d", u, i) + "4");
  }
  Configure();
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return Count(Db(), "select count(*) from trans") >= 32000; }, 120s)) << LogText();
  std::this_thread::sleep_for(300ms);
  StopServer();
  EXPECT_EQ(Count(Db(), "select count(*) from trans"), 32000);
  EXPECT_EQ(LogCount("<QFull>"), 0);
  ExpectStoredAsHandedOver();
}
