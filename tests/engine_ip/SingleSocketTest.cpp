// The single-socket transport against simulated controllers on loopback.
#include "IPFixture.h"
#include "common/IpKey.h"

namespace px::test {
namespace {

class SingleSocketTest : public IPFixture {
protected:
  SingleSocketTest() { cfg.singleSocket = true; }

  // Three controllers at 127.0.0.1..3 on one port, units 1..3 (logical
  // points 1..3), as the service's table lists them.
  void AddThree() {
    auto& first = AddSim("1", "127.0.0.1", {1});
    cfg.singleSocketPort = first.Port();
    AddSim("2", "127.0.0.2", {2}, first.Port());
    AddSim("3", "127.0.0.3", {3}, first.Port());
    for (int i = 1; i <= 3; ++i) AddRow("CTRL" + std::to_string(i), i, "127.0.0." + std::to_string(i), true);
  }
  void AddRow(const std::string& tag, int point, const std::string& ip, bool oldModel) {
    TCtrlRec r;
    r.TagName = tag;
    r.LogicalPoint = point;
    r.IPAddress = IPToKey(ip);
    r.CtrlType = "KX4100";
    r.OldModel = oldModel;
    table.Add(r);
  }
};

TEST_F(SingleSocketTest, ControllersArePolledInTurnOnFreshConnections) {
  AddThree();
  TCtrlRec serial;
  serial.TagName = "SERIAL";
  serial.LogicalPoint = 20;
  table.Add(serial);
  Run([&] {
    MakeForm();
    // Single-socket mode paces its polls at 130 ticks.
    EXPECT_EQ(form->Settings().ipSleepCount, 130);
    form->StartSingleSocket();
    ASSERT_TRUE(WaitFor([&] { return trace.Lines().size() >= 4; }));
    auto frames = trace.Lines();
    EXPECT_EQ(frames[0], "1:<U1>QA<CR>");
    EXPECT_EQ(frames[1], "2:<U2>QA<CR>");
    EXPECT_EQ(frames[2], "3:<U3>QA<CR>");
    // A good QA makes the next poll of that controller a status request.
    EXPECT_EQ(frames[3], "1:<U1>RI<CR>");
    EXPECT_EQ(sims[0]->Accepted(), 2);
    EXPECT_EQ(sims[1]->Accepted(), 1);
    EXPECT_TRUE(log.Has("SST: 127.0.0.2 2 : Poll."));
    EXPECT_TRUE(log.Has("127.0.0.3 3 - P.OK"));
    EXPECT_TRUE(table[1].StatusRequest == false);
    // Every connection is closed once its exchange is over.
    ASSERT_TRUE(WaitFor([&] { return sims[0]->OpenConnections() + sims[1]->OpenConnections() <= 1; }));
  });
}

TEST_F(SingleSocketTest, QueuedCommandGoesFirstWhateverItsAddress) {
  AddThree();
  sims[2]->Bank().Unit(3).SetCommandReply("PR", "OK");
  Run([&] {
    MakeForm();
    std::string id;
    ASSERT_EQ(form->SendCommand("PULSE", 1, 3, id, "07", "127.0.0.3"), 0);
    form->StartSingleSocket();
    ASSERT_TRUE(WaitFor([&] { return HasLine("I03" + id + "OK      127.0.0.3ROK"); }));
    auto frames = trace.Lines();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].substr(0, 8), "3:<U3>PR");
    EXPECT_TRUE(log.Has("SS.Cmd: PULSE to IP=127.0.0.3 3 " + id));
    EXPECT_TRUE(log.Has("SS.Cmd: OK - 127.0.0.3"));
  });
}

TEST_F(SingleSocketTest, StatusRequestFollowsAGoodPollByModel) {
  auto& a = AddSim("a", "127.0.0.1", {1, 2});
  cfg.singleSocketPort = a.Port();
  AddRow("OLD", 1, "127.0.0.1", true);
  AddRow("NEW", 2, "127.0.0.1", false);
  a.Bank().Unit(2).SetStatusB("000300");
  Run([&] {
    MakeForm();
    form->StartSingleSocket();
    ASSERT_TRUE(WaitFor([&] { return trace.Lines().size() >= 6; }, 8000));
    auto f = trace.Lines();
    EXPECT_EQ(f[0], "a:<U1>QA<CR>");
    EXPECT_EQ(f[1], "a:<U2>QA<CR>");
    EXPECT_EQ(f[2], "a:<U1>RI<CR>");
    EXPECT_EQ(f[3], "a:<U2>RS<CR>");
    EXPECT_EQ(f[4], "a:<U1>QA<CR>");
    EXPECT_EQ(f[5], "a:<U2>QA<CR>");
    std::string req = "S0101127.0.0.1";
    EXPECT_EQ(form->GetDoorStatus(req), 0);
    EXPECT_EQ(req, "000000");
  });
}

TEST_F(SingleSocketTest, TransactionsCarryTheLogicalPointAndStatusLinesFollowFailures) {
  auto& a = AddSim("a", "127.0.0.1", {2});
  cfg.singleSocketPort = a.Port();
  AddRow("P18", 18, "127.0.0.1", true);  // unit 2 on the wire
  table[1].DownCount = 4;
  a.Bank().Unit(2).QueueRecord("050314300000771");
  Run([&] {
    MakeForm();
    form->StartSingleSocket();
    ASSERT_TRUE(WaitFor([&] { return HasLine(" 18050314300000771 127.0.0.1"); }));
    EXPECT_TRUE(HasLine("S18UP127.0.0.1"));
    EXPECT_TRUE(log.Has("SST: Controller Up: 127.0.0.1 2"));
    a.Bank().Unit(2).SetSilent(true);
    ASSERT_TRUE(WaitFor([&] { return HasLine("S18DN127.0.0.1"); }, 8000));
    EXPECT_TRUE(log.Has("SS.TimeOut2: 127.0.0.1"));
    EXPECT_TRUE(log.Has("SST: Controller Down: 127.0.0.1 2"));
  });
}

TEST_F(SingleSocketTest, ChecksumErrorAsksThatControllerForARepeat) {
  auto& a = AddSim("a", "127.0.0.1", {1});
  cfg.singleSocketPort = a.Port();
  AddRow("CS", 1, "127.0.0.1", true);
  a.Bank().Unit(1).SetBadChecksum(1);
  a.Bank().Unit(1).QueueRecord("050314300000772");
  Run([&] {
    MakeForm();
    form->StartSingleSocket();
    ASSERT_TRUE(WaitFor([&] { return HasLine("  1050314300000772 127.0.0.1"); }));
    EXPECT_TRUE(log.Has("QR due to C.Sum Err: CS"));
    EXPECT_EQ(a.Bank().Unit(1).Received("QR"), 1);
    // A command's reply is not repeated: its requester hears "XX".
    a.Bank().Unit(1).SetCommandReply("PR", "OK123456");
    a.Bank().Unit(1).SetBadChecksum(2);
    std::string id;
    ASSERT_EQ(form->SendCommand("PULSE", 1, 1, id, "05", "127.0.0.1"), 0);
    ASSERT_TRUE(WaitFor([&] { return HasLine("I01" + id + "XX127.0.0.1"); })) << log.Dump();
  });
}

TEST_F(SingleSocketTest, AnAnswerCutOffPartWayIsAskedForAgain) {
  auto& a = AddSim("a", "127.0.0.1", {1});
  cfg.singleSocketPort = a.Port();
  AddRow("CUT", 1, "127.0.0.1", true);
  a.Bank().Unit(1).SetCloseMidFrame(1);
  a.Bank().Unit(1).QueueRecord("050314300000772");
  Run([&] {
    MakeForm();
    form->StartSingleSocket();
    ASSERT_TRUE(WaitFor([&] { return HasLine("  1050314300000772 127.0.0.1"); }));
    // The next poll after the cut was QR, so the block was not deleted.
    auto frames = trace.Lines();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0], "a:<U1>QA<CR>");
    EXPECT_EQ(frames[1], "a:<U1>QR<CR>");
  });
}

TEST_F(SingleSocketTest, CardUploadWritesUserFileAndAnswers) {
  auto& a = AddSim("a", "127.0.0.1", {1});
  cfg.singleSocketPort = a.Port();
  AddRow("UP", 1, "127.0.0.1", true);
  a.Bank().Unit(1).SetCards({"00000100001234010000", "00000200005678020000"});
  a.Bank().Unit(1).SetPieces(2, 0);
  Run([&] {
    MakeForm();
    std::string id;
    ASSERT_EQ(form->SendCommand("UCARD", 1, 1, id, "", "127.0.0.1"), 0);
    form->StartSingleSocket();
    ASSERT_TRUE(WaitFor([&] { return HasLine("I01" + id + "OK      127.0.0.1"); }));
    EXPECT_TRUE(HasLine("C01BB" + id + "    2"));
    EXPECT_EQ(dir.Read("user.tmp"), "00000100001234010000\n00000200005678020000\n");
  });
}

TEST_F(SingleSocketTest, RefusedConnectionDoesNotHoldUpTheRound) {
  // With 10 ms wait ticks a connect step may take 2.5 s before it is given up.
  cfg.ipTickMs = 10;
  auto& first = AddSim("1", "127.0.0.1", {1});
  cfg.singleSocketPort = first.Port();
  AddSim("2", "127.0.0.2", {2}, first.Port()).SetRefuse(true);
  AddRow("A", 1, "127.0.0.1", true);
  AddRow("B", 2, "127.0.0.2", true);
  Run([&] {
    MakeForm();
    form->StartSingleSocket();
    auto t0 = Clock::now();
    ASSERT_TRUE(WaitFor([&] { return first.Bank().Unit(1).TotalReceived() >= 3; }));
    // Three paced turns of A and two refused ones of B: the refusals cost a
    // tick each, not the 250-tick connect wait.
    EXPECT_LT(MsSince(t0), 1500);
    EXPECT_TRUE(log.HasSubstr("Managed socket error: "));
    EXPECT_TRUE(log.Has("SS.TimeOut1: State=4"));
  });
}

}  // namespace
}  // namespace px::test
