#include <gtest/gtest.h>

#include <algorithm>

#include "EngineFixture.h"
#include "common/Format.h"
#include "engine/Protocol.h"
#include "serial/ComPort.h"

namespace px::test {
namespace {

class BusEngineTest : public EngineFixture {
protected:
  // Opens bus 1 on the simulator and enables the given units on both sides.
  sim::UnitBank& StartBus(const std::vector<int>& units, int baud = kBaud) {
    auto& bank = *banks[1];
    bank.EnableUnits(units);
    MakeForm();
    EXPECT_TRUE(form->SpawnAccessComm(1, baud, 1));
    for (int u : units) form->EnableCtrl(1, u, true);
    return bank;
  }
  TAccComm& Bus1() { return *form->Bus(1); }
  // Units in the order the engine polled them.
  std::vector<int> PollOrder() {
    std::vector<int> order;
    for (auto& [level, text] : log.Lines()) {
      int unit = 0;
      char kind[16] = {};
      if (std::sscanf(text.c_str(), "SR: B1 U%d: %15[A-Za-z ]", &unit, kind) == 2 &&
          (std::string(kind) == "Poll" || std::string(kind) == "Req Status"))
        order.push_back(unit);
    }
    return order;
  }
  std::vector<std::string> lines;
  bool WaitForLine(const std::string& prefix, int ms = 5000) {
    return WaitFor(
        [&] {
          for (auto& l : TakeLines()) lines.push_back(l);
          return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        },
        ms);
  }
  int CountLines(const std::string& prefix) const {
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }
};

TEST_F(BusEngineTest, NothingEnabledSendsNothingThenUnitsAlternate) {
  AddSim(1);
  Run([&] {
    auto& bank = StartBus({});
    bank.EnableUnits({3, 7});
    loop.Sleep(100);
    EXPECT_EQ(bank.Unit(3).TotalReceived() + bank.Unit(7).TotalReceived(), 0);
    form->EnableCtrl(1, 3, true);
    form->EnableCtrl(1, 7, true);
    ASSERT_TRUE(WaitFor([&] { return PollOrder().size() >= 8; }));
    auto order = PollOrder();
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(order[i], i % 2 == 0 ? 3 : 7) << i;
    EXPECT_EQ(form->Monitor().BusLed(1, 3), CommMonitor::kGreen);
    EXPECT_TRUE(form->Monitor().PanelText(1).rfind("Scanning Bus 1 Ctrl ", 0) == 0);
  });
}

TEST_F(BusEngineTest, QaIsFollowedByStatusRequestThenQaAgain) {
  AddSim(1);
  Run([&] {
    auto& bank = StartBus({3, 5});
    bank.Unit(5).SetModel("XYZ9", "2.0");
    ASSERT_TRUE(WaitFor([&] { return bank.Unit(3).ReceivedFrames().size() >= 5 && bank.Unit(5).ReceivedFrames().size() >= 5; }));
    auto codes = [](const std::vector<std::string>& frames) {
      std::vector<std::string> c;
      for (size_t i = 0; i < 5; ++i) c.push_back(frames[i].substr(1, 2));
      return c;
    };
    EXPECT_EQ(codes(bank.Unit(3).ReceivedFrames()), (std::vector<std::string>{"VN", "QA", "RI", "QA", "RI"}));
    EXPECT_EQ(codes(bank.Unit(5).ReceivedFrames()), (std::vector<std::string>{"VN", "QA", "RS", "QA", "RS"}));
    EXPECT_EQ(Bus1().Unit(3).Model, "KX4100");
    EXPECT_EQ(Bus1().Unit(3).Version, "1.23");
    EXPECT_TRUE(Bus1().Unit(3).ModelKnown);
    EXPECT_FALSE(Bus1().Unit(5).ModelKnown);
    EXPECT_TRUE(log.Has("B1 U3: KX4100V1.23"));
    EXPECT_TRUE(log.Has("SR: B1 U3: OK (Sts.I)"));
    EXPECT_TRUE(log.Has("SR: B1 U5: OK (Sts.S)"));
    EXPECT_TRUE(log.Has("SR: B1 U3: Req Status"));
  });
}

TEST_F(BusEngineTest, SilentUnitGoesDownOnceAndComesBackUpOnce) {
  AddSim(1);
  Run([&] {
    auto& bank = StartBus({3});
    bank.Unit(3).SetSilent(true);
    ASSERT_TRUE(WaitFor([&] { return log.Has("SR: B1 U3: Failed. (TO)(6)"); }));
    EXPECT_EQ(log.Count("SR: Controller Down: B1 U3"), 1);
    for (int n = 1; n <= 5; ++n) EXPECT_TRUE(log.Has("SR: B1 U3: Failed. (TO)(" + std::to_string(n) + ")"));
    // The seventh failure leaves the count at 6 and says nothing new.
    ASSERT_TRUE(WaitFor([&] { return log.Count("SR: B1 U3: Failed. (TO)(6)") >= 2; }));
    EXPECT_EQ(log.Count("SR: Controller Down: B1 U3"), 1);
    EXPECT_EQ(Bus1().Unit(3).FailureCount, 6);
    EXPECT_TRUE(Bus1().Unit(3).RepeatRequest);
    bank.Unit(3).SetSilent(false);
    ASSERT_TRUE(WaitForLine("S03UP01"));
    EXPECT_EQ(CountLines("S03DN01"), 1);
    EXPECT_EQ(CountLines("S03UP01"), 1);
    EXPECT_EQ(log.Count("Controller Up: B1 U3"), 1);
    EXPECT_EQ(Bus1().Unit(3).FailureCount, 0);
  });
}

// The unit keeps a block until a poll other than QR: after a checksum error
// the engine must ask with QR, and the block is stored once.
TEST_F(BusEngineTest, ChecksumErrorIsFollowedByQrAndTheBlockStoredOnce) {
  AddSim(1);
  Run([&] {
    // The first two replies are bad: the version (not checked) and the
    // first QA, which carries the block.
    auto& unit = banks[1]->Unit(3);
    unit.QueueRecord("010312000000419");
    unit.SetBadChecksum(2);
    StartBus({3});
    ASSERT_TRUE(WaitFor([&] { return log.HasSubstr("CheckSum Error"); }));
    ASSERT_TRUE(WaitForLine("T0103010312000000419"));
    ASSERT_TRUE(WaitFor([&] { return unit.ReceivedFrames().size() >= 12; }));
    // What followed the bad reply on the wire: QR (VN, RI and RS ask no records).
    std::vector<std::string> codes;
    for (const auto& f : unit.ReceivedFrames()) codes.push_back(f.substr(1, 2));
    auto qr = std::find(codes.begin(), codes.end(), "QR");
    ASSERT_NE(qr, codes.end());
    EXPECT_EQ(*(qr - 1), "QA");
    for (auto& l : TakeLines()) lines.push_back(l);
    EXPECT_EQ(CountLines("T0103010312000000419"), 1);
  });
}

TEST_F(BusEngineTest, CommandToSilentUnitFailsWithoutCountingAFailure) {
  AddSim(1);
  Run([&] {
    auto& bank = StartBus({3});
    ASSERT_TRUE(WaitFor([&] { return bank.Unit(3).Received("QA") >= 1; }));
    form->Button2Click();  // stop polling so only the command is exchanged
    bank.Unit(3).SetSilent(true);
    int before = Bus1().Unit(3).FailureCount;
    std::string id;
    ASSERT_EQ(form->SendCommand("PULSE", 1, 3, id, "05", ""), 0);
    ASSERT_TRUE(WaitForLine("M0103" + id + "XX"));
    EXPECT_TRUE(log.Has("SR: B1 U3 - Cmd Failed."));
    EXPECT_EQ(Bus1().Unit(3).FailureCount, before);
    EXPECT_FALSE(Bus1().Unit(3).RepeatRequest);
    EXPECT_EQ(form->Monitor().BusLed(1, 3), CommMonitor::kRed);
    EXPECT_EQ(bank.Unit(3).Received("PR"), 1);  // sent once, not repeated
    EXPECT_TRUE(log.Has("PULSE to B1 U3"));
  });
}

TEST_F(BusEngineTest, TransactionsReachServiceAndStatusRecordsDoNot) {
  AddSim(1);
  Run([&] {
    auto& bank = StartBus({2});
    bank.Unit(2).SetStatusA("41");
    bank.Unit(2).QueueRecord("010212300012349");
    bank.Unit(2).QueueRecord("01021231310012Z");
    bank.Unit(2).QueueRecord("010212310000559");
    ASSERT_TRUE(WaitForLine("T0102010212310000559"));
    EXPECT_EQ(CountLines("T0102"), 2);
    EXPECT_EQ(lines[0], "T0102010212300012349");
    EXPECT_EQ(Bus1().Unit(2).StatusB.substr(0, 4), "0012");
    form->WriteToRawIfAny();
    EXPECT_EQ(ReadFile(dir.File("260301.raw")), "  2010212300012349\n  2010212310000559\n");
  });
}

TEST_F(BusEngineTest, CardUploadWritesUserFileWithProgressAndEnd) {
  AddSim(1);
  Run([&] {
    auto& bank = StartBus({6});
    std::vector<std::string> cards = {"00012300001122334455", "00012400001122334455", "00012500001122334455"};
    bank.Unit(6).SetCards(cards);
    form->Button2Click();
    std::string id;
    ASSERT_EQ(form->SendCommand("UCARD", 1, 6, id, "", ""), 0);
    ASSERT_TRUE(WaitForLine("M0106" + id + "OK"));
    EXPECT_EQ(CountLines("C0106" + id), 3);
    EXPECT_EQ(lines[0], "C0106" + id + "    1");
    EXPECT_EQ(lines[2], "C0106" + id + "    3");
    EXPECT_EQ(lines[3], "M0106" + id + "OK");
    EXPECT_EQ(ReadFile(dir.File("user.tmp")), cards[0] + "\n" + cards[1] + "\n" + cards[2] + "\n");
    EXPECT_FALSE(Bus1().CardFileOpen());
  });
}

TEST_F(BusEngineTest, CardUploadThatStopsIsAbandonedAfterTimeOut) {
  AddSim(1);
  Run([&] {
    auto& bank = StartBus({6});
    bank.Unit(6).SetCards({"00012300001122334455", "00012400001122334455", "00012500001122334455"});
    bank.Unit(6).SetCardCut(2);
    form->Button2Click();
    std::string id;
    ASSERT_EQ(form->SendCommand("UCARD", 1, 6, id, "", ""), 0);
    ASSERT_TRUE(WaitForLine("M0106" + id + "XX"));
    EXPECT_EQ(CountLines("C0106" + id), 2);
    EXPECT_TRUE(log.Has("Card upload stopped: B1 U6, 2 records"));
    EXPECT_FALSE(Bus1().CardFileOpen());
    EXPECT_EQ(ReadFile(dir.File("user.tmp")), "00012300001122334455\n00012400001122334455\n");
    // The bus goes on with the next exchange.
    form->Button2Click();
    int qa = bank.Unit(6).Received("QA");
    ASSERT_TRUE(WaitFor([&] { return bank.Unit(6).Received("QA") > qa; }));
  });
}

TEST_F(BusEngineTest, NulBytesKeepASlowAnswerAlive) {
  AddSim(1);
  Run([&] {
    auto& bank = StartBus({8});
    ASSERT_TRUE(WaitFor([&] { return bank.Unit(8).Received("QA") >= 1; }));
    // 300 ms of busy NULs is longer than the 180 ms time-out.
    bank.Unit(8).SetNuls(6, 50);
    bank.Unit(8).QueueRecord("010212300012349");
    ASSERT_TRUE(WaitForLine("T0108010212300012349"));
    EXPECT_FALSE(log.HasSubstr("SR: B1 U8: Failed."));
  });
}

TEST_F(BusEngineTest, UnpluggedPortMarksUnitsDownAndRecovers) {
  AddSim(1);
  Run([&] {
    auto& bank = StartBus({1, 2});
    ASSERT_TRUE(WaitFor([&] { return bank.Unit(1).Received("QA") >= 1 && bank.Unit(2).Received("QA") >= 1; }));
    sims[1]->Unplug();
    ASSERT_TRUE(WaitForLine("S02DN01"));
    EXPECT_EQ(CountLines("S01DN01"), 1);
    EXPECT_TRUE(log.Has("(1) Attempt to recover Comm."));
    std::string err;
    ASSERT_TRUE(sims[1]->Replug(&err)) << err;
    ASSERT_TRUE(WaitForLine("S02UP01"));
    ASSERT_TRUE(WaitForLine("S01UP01"));
    EXPECT_EQ(log.Count("SR: Controller Down: B1 U1"), 1);
  });
}

TEST_F(BusEngineTest, SpawnAccessCommRulesAndSettingsChange) {
  AddSim(1);
  Run([&] {
    MakeForm();
    EXPECT_FALSE(form->SpawnAccessComm(0, 9600, 1));
    EXPECT_FALSE(form->SpawnAccessComm(9, 9600, 1));
    EXPECT_FALSE(form->SpawnAccessComm(3, 9600, 5));  // no such device
    EXPECT_TRUE(log.Has("Checking COM5"));
    EXPECT_TRUE(log.Has("Failed to open COM5"));
    EXPECT_EQ(form->Bus(3), nullptr);
    EXPECT_TRUE(form->SpawnAccessComm(1, 1200, 1));
    EXPECT_TRUE(log.Has("1200 is not supported, reset to 2400."));
    EXPECT_TRUE(log.Has("COM1 Baud 2400 open for Bus 1"));
    EXPECT_TRUE(log.Has("Bus 1 (COM1) - OK"));
    int com = 0, baud = 0;
    ASSERT_TRUE(form->GetExistingCommSettings(1, com, baud));
    EXPECT_EQ(baud, 2400);
    EXPECT_TRUE(form->SpawnAccessComm(1, 2400, 1));
    EXPECT_FALSE(log.HasSubstr("Changed: bus"));
    EXPECT_TRUE(form->SpawnAccessComm(1, 38400, 1));
    EXPECT_TRUE(log.Has("Changed: bus 1 to COM1, 38400"));
    EXPECT_EQ(form->Bus(1)->Port()->BaudRate(), br38400);
    EXPECT_EQ(form->BusCount(), 1);
    EXPECT_FALSE(form->EnableCtrl(2, 1, true));
    EXPECT_FALSE(form->EnableCtrl(1, 17, true));
    // The bus still polls after the change.
    form->EnableCtrl(1, 1, true);
    banks[1]->EnableUnits({1});
    ASSERT_TRUE(WaitFor([&] { return banks[1]->Unit(1).Received("QA") >= 1; }));
  });
}

TEST_F(BusEngineTest, AFullTransactionQueueStopsAskingForRecordsUntilItDrains) {
  AddSim(1, 0);  // unpaced: only the engine's side matters here
  Run([&] {
    auto& bank = StartBus({1});
    auto& unit = bank.Unit(1);
    unit.SetMaxRecordsPerReply(300);
    const int n = 2400;
    for (int i = 0; i < n; ++i) unit.QueueRecord(Format("01031200%6.6d0", i));
    ASSERT_TRUE(WaitFor([&] { return log.HasSubstr("Bus 1 transaction queue holds"); }));
    const int asked = unit.Received("QA") + unit.Received("QR"), status = unit.Received("RI");
    ASSERT_TRUE(WaitFor([&] { return unit.Received("RI") >= status + 5; }));  // status polls go on
    EXPECT_EQ(unit.Received("QA") + unit.Received("QR"), asked);
    EXPECT_GT(unit.QueuedRecords(), 0);  // the unit keeps what it was not asked for

    std::vector<std::string> got;
    ASSERT_TRUE(WaitFor([&] {
      for (auto& l : TakeLines()) got.push_back(l);
      return static_cast<int>(got.size()) >= n;
    }));
    EXPECT_TRUE(log.HasSubstr("Bus 1 transaction queue drained to"));
    ASSERT_EQ(static_cast<int>(got.size()), n);
    for (int i = 0; i < n; ++i) ASSERT_EQ(got[static_cast<size_t>(i)], Format("T010101031200%6.6d0", i));
    EXPECT_EQ(log.CountSubstr("<QFull>"), 0);
  });
}

}  // namespace
}  // namespace px::test
