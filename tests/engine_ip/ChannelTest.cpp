// IP channels against simulated controllers on loopback.
#include <algorithm>

#include "IPFixture.h"
#include "common/Format.h"
#include "engine/EngineLines.h"

namespace px::test {
namespace {

class ChannelTest : public IPFixture {
protected:
  // Controllers a (127.0.0.1) and b (127.0.0.2) on channel 1: eleven more
  // channels whose only slot is disabled come between them, so that b has to
  // share the least loaded channel (channel 1 on a tie).
  void SpawnPairOnOneChannel(sim::TcpSim& a, sim::TcpSim& b, bool bEnabled) {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 1));
    for (int i = 2; i <= 12; ++i)
      ASSERT_TRUE(form->SpawnIPCtrl(false, false, 4001, "KX4100", Format("127.0.9.%d", i), 1));
    ASSERT_TRUE(form->SpawnIPCtrl(false, bEnabled, b.Port(), "KX4100", "127.0.0.2", 1));
    EXPECT_TRUE(log.Has("Share IP[1] for 127.0.0.2  Unit 1 On Slot 2"));
  }
  int Polls(sim::TcpSim& s, int unit) { return s.Bank().Unit(unit).TotalReceived(); }
};

TEST_F(ChannelTest, TwoSlotsOfOneAddressAlternateOnOneConnection) {
  auto& a = AddSim("a", "127.0.0.1", {1, 2});
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 1));
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 2));
    EXPECT_TRUE(log.Has("Spawn IP[1] 127.0.0.1 Unit 1 KX4100 - OK"));
    EXPECT_TRUE(log.Has("Share IP[1] for 127.0.0.1  Unit 2 On Slot 2"));
    EXPECT_EQ(form->IP().ChannelCount(), 1);
    ASSERT_TRUE(WaitFor([&] { return Polls(a, 1) >= 4 && Polls(a, 2) >= 4; }));
    EXPECT_EQ(a.Accepted(), 1);
    // Slots take turns (the choice starts after the current slot 1); each
    // gets the version, then status and QA in turn.
    auto frames = trace.Lines();
    ASSERT_GE(frames.size(), 6u);
    const std::vector<std::string> want = {"a:<U2>VN<CR>", "a:<U1>VN<CR>", "a:<U2>RI<CR>",
                                           "a:<U1>RI<CR>", "a:<U2>QA<CR>", "a:<U1>QA<CR>"};
    EXPECT_EQ(std::vector<std::string>(frames.begin(), frames.begin() + 6), want);
    EXPECT_EQ(form->Monitor().IpRow(1).boxText, "127.0.0.1");
    EXPECT_EQ(form->Monitor().IpRow(1).leds[0].hint, "127.0.0.1");
  });
}

TEST_F(ChannelTest, TwoAddressesOnOneChannelReconnectAtEveryChange) {
  auto& a = AddSim("a", "127.0.0.1", {1});
  auto& b = AddSim("b", "127.0.0.2", {1});
  Run([&] {
    SpawnPairOnOneChannel(a, b, true);
    ASSERT_TRUE(WaitFor([&] { return Polls(a, 1) >= 3 && Polls(b, 1) >= 3; }));
    auto who = trace.Who();
    for (size_t i = 1; i < who.size(); ++i) EXPECT_NE(who[i], who[i - 1]) << i;
    // One connection per turn.
    EXPECT_GE(a.Accepted(), 3);
    EXPECT_GE(b.Accepted(), 3);
    EXPECT_LE(std::abs(a.Accepted() - Polls(a, 1)), 1);
    EXPECT_TRUE(log.Has("1: Close 127.0.0.1 - OK."));
    EXPECT_TRUE(log.Has("1: 127.0.0.2 - Connected"));
  });
}

TEST_F(ChannelTest, RefusingAddressIsTriedOncePerConnectWindowWhileTheOtherSlotIsPolled) {
  auto& a = AddSim("a", "127.0.0.1", {1});
  auto& b = AddSim("b", "127.0.0.2", {1});
  b.SetRefuse(true);
  Run([&] {
    SpawnPairOnOneChannel(a, b, true);
    const std::string failed = "1: Connect 127.0.0.2 - Failed.";
    ASSERT_TRUE(WaitFor([&] { return log.Has(failed) && Polls(a, 1) >= 10; }));
    int polls = Polls(a, 1);
    clock->Advance(TIPChannel::kConnectWindow - std::chrono::seconds(1));
    ASSERT_TRUE(WaitFor([&] { return Polls(a, 1) >= polls + 10; }));
    EXPECT_EQ(log.Count(failed), 1);
    clock->Advance(std::chrono::seconds(1));
    ASSERT_TRUE(WaitFor([&] { return log.Count(failed) == 2; }));
    polls = Polls(a, 1);
    ASSERT_TRUE(WaitFor([&] { return Polls(a, 1) >= polls + 10; }));
    EXPECT_EQ(log.Count(failed), 2);
    b.SetRefuse(false);
    clock->Advance(TIPChannel::kConnectWindow);
    ASSERT_TRUE(WaitFor([&] { return Polls(b, 1) >= 2; }));
  });
}

TEST_F(ChannelTest, CommandForOtherAddressWaitsWhileCommandsOfCurrentFlow) {
  auto& a = AddSim("a", "127.0.0.1", {1});
  auto& b = AddSim("b", "127.0.0.2", {1});
  Run([&] {
    SpawnPairOnOneChannel(a, b, false);
    ASSERT_TRUE(WaitFor([&] { return Polls(a, 1) >= 2; }));
    std::string idB, idA1, idA2;
    ASSERT_EQ(form->SendCommand("PULSE", 1, 1, idB, "05", "127.0.0.2"), 0);
    clock->Advance(std::chrono::milliseconds(1));
    ASSERT_EQ(form->SendCommand("PULSE", 1, 1, idA1, "03", "127.0.0.1"), 0);
    clock->Advance(std::chrono::milliseconds(1));
    ASSERT_EQ(form->SendCommand("LOCKR", 1, 1, idA2, "", "127.0.0.1"), 0);
    ASSERT_TRUE(WaitFor([&] { return CountLinesStarting("I01") >= 2; }));
    EXPECT_TRUE(HasLine("I01" + idA1 + "OK      127.0.0.1" + "R"));
    EXPECT_TRUE(HasLine("I01" + idA2 + "OK      127.0.0.1" + "R"));
    EXPECT_EQ(b.Bank().Unit(1).TotalReceived(), 0);
    EXPECT_EQ(a.Bank().Unit(1).LastParams("PR"), "03");
    // Its address becomes current: now it goes.
    form->EnableIPCtrl("127.0.0.2", 1, true);
    EXPECT_TRUE(log.Has("Channel 1 Unit 1 enabled=true"));
    ASSERT_TRUE(WaitFor([&] { return HasLine("I01" + idB + "OK      127.0.0.2" + "R"); }));
    EXPECT_EQ(b.Bank().Unit(1).LastParams("PR"), "05");
    EXPECT_TRUE(log.Has("IPT1: PULSE to IP=127.0.0.2 1"));
  });
}

TEST_F(ChannelTest, ControllerSilentOnVersionGetsConfiguredModelAfterThreeTries) {
  auto& a = AddSim("a", "127.0.0.1", {3});
  sim::SimUnit& u = a.Bank().Unit(3);
  u.SetSilent(true);
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4130", "127.0.0.1", 3));
    ASSERT_TRUE(WaitFor([&] { return u.Received("VN") == 3; }));
    u.SetSilent(false);
    ASSERT_TRUE(WaitFor([&] { return log.Has("1: Sq=1 U3 Ctrl# 3 is KX4130"); }));
    ASSERT_TRUE(WaitFor([&] { return u.Received("QA") >= 2 && u.Received("RI") >= 2; }));
    EXPECT_EQ(u.Received("VN"), 3);
    // VN polls that go unanswered do not count as failures.
    EXPECT_FALSE(log.HasSubstr("Controller Down"));
    EXPECT_EQ(Channel(1).Ctrl().Unit(1).Model, "KX4130");
  });
}

TEST_F(ChannelTest, WasDownSlotComesUpAtItsFirstGoodPoll) {
  auto& a = AddSim("a", "127.0.0.1", {5});
  a.Bank().Unit(5).QueueRecord("01031405000123" "0");
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(true, true, a.Port(), "KX4100", "127.0.0.1", 5));
    ASSERT_TRUE(WaitFor([&] { return HasLine("S05UP127.0.0.1"); }));
    EXPECT_TRUE(log.Has("Controller Up: 127.0.0.1 5"));
    ASSERT_TRUE(WaitFor([&] { return HasLine("  5010314050001230 127.0.0.1"); }));
    EXPECT_FALSE(log.HasSubstr("Controller Down"));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "S05UP127.0.0.1"), 1);
    EXPECT_TRUE(log.Has("1: U5 010314050001230"));
  });
}

TEST_F(ChannelTest, SilentControllerGoesDownAtFourthFailure) {
  auto& a = AddSim("a", "127.0.0.1", {1});
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 1));
    ASSERT_TRUE(WaitFor([&] { return a.Bank().Unit(1).Received("QA") >= 1; }));
    a.Bank().Unit(1).SetSilent(true);
    ASSERT_TRUE(WaitFor([&] { return HasLine("S01DN127.0.0.1"); }));
    EXPECT_TRUE(log.Has("IP: 1: Controller Down: 127.0.0.1 1"));
    EXPECT_EQ(Channel(1).Ctrl().Unit(1).FailureCount, 4);
    // Timed-out QA polls ask for a repeat.
    ASSERT_TRUE(WaitFor([&] { return a.Bank().Unit(1).Received("QR") >= 1; }));
    EXPECT_TRUE(log.Has("IPT1: 127.0.0.1 1 - P.TO"));
    a.Bank().Unit(1).SetSilent(false);
    ASSERT_TRUE(WaitFor([&] { return HasLine("S01UP127.0.0.1"); }));
    EXPECT_EQ(log.CountSubstr("Controller Down"), 1);
  });
}

TEST_F(ChannelTest, ElevenTimeOutsRecreateTheSocketAndFailOnePendingCommand) {
  auto& a = AddSim("a", "127.0.0.1", {1});
  a.SetHang(true);
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 1));
    TIPChannel& ch = Channel(1);
    ASSERT_TRUE(WaitFor([&] { return ch.ConsecutiveTimeouts() == 10 && ch.Ctrl().State() == 'W'; }, 8000));
    EXPECT_EQ(ch.Recreated(), 0);
    std::string id;
    ASSERT_EQ(form->SendCommand("PULSE", 1, 1, id, "05", "127.0.0.1"), 0);
    ASSERT_TRUE(WaitFor([&] { return ch.Recreated() == 1; }, 3000));
    EXPECT_TRUE(HasLine("I01" + id + "XX127.0.0.1"));
    EXPECT_TRUE(log.Has("1: Socket Reestablished"));
    EXPECT_EQ(ch.ConsecutiveTimeouts(), 0);
    // The channel carries on with a new connection.
    ASSERT_TRUE(WaitFor([&] { return a.Accepted() >= 2; }));
  });
}

TEST_F(ChannelTest, TwelveChannelsOfSixteenSlotsAreTheLimit) {
  Run([&] {
    MakeForm();
    for (int c = 1; c <= 12; ++c)
      ASSERT_TRUE(form->SpawnIPCtrl(false, false, 4001, "KX4100", Format("127.0.8.%d", c), 1));
    EXPECT_EQ(form->IP().ChannelCount(), 12);
    // A new address now shares the least loaded channel, lowest number first.
    ASSERT_TRUE(form->SpawnIPCtrl(false, false, 4001, "KX4100", "127.0.7.1", 1));
    EXPECT_TRUE(log.Has("Share IP[1] for 127.0.7.1  Unit 1 On Slot 2"));
    ASSERT_TRUE(form->SpawnIPCtrl(false, false, 4001, "KX4100", "127.0.7.2", 1));
    EXPECT_TRUE(log.Has("Share IP[2] for 127.0.7.2  Unit 1 On Slot 2"));
    for (int c = 1; c <= 12; ++c)
      while (Channel(c).Ctrl().SlotCount() < 16)
        ASSERT_TRUE(form->SpawnIPCtrl(false, false, 4001, "KX4100", Format("127.0.8.%d", c),
                                      Channel(c).Ctrl().SlotCount() + 1));
    EXPECT_FALSE(log.HasSubstr("Max IP Channel Reached."));
    EXPECT_FALSE(form->SpawnIPCtrl(false, false, 4001, "KX4100", "127.0.6.1", 1));
    EXPECT_TRUE(log.Has("Max IP Channel Reached."));
    // A known address whose channel is full has no slot either.
    EXPECT_FALSE(form->SpawnIPCtrl(false, false, 4001, "KX4100", "127.0.8.3", 9));
    EXPECT_EQ(form->IP().ChannelCount(), 12);
  });
}

TEST_F(ChannelTest, ChecksumErrorAsksForRepeatAndDataArrivesOnce) {
  auto& a = AddSim("a", "127.0.0.1", {2});
  sim::SimUnit& u = a.Bank().Unit(2);
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 2));
    ASSERT_TRUE(WaitFor([&] { return u.Received("QA") >= 1; }));
    u.SetBadChecksum(1);
    u.QueueRecord("020314100004561");
    ASSERT_TRUE(WaitFor([&] { return u.Received("QR") >= 1 && HasLine("  2020314100004561 127.0.0.1"); }));
    EXPECT_TRUE(log.Has("Set QR due to check sum error"));
    EXPECT_TRUE(log.Has("Checksum error"));
    ASSERT_TRUE(WaitFor([&] { return u.Received("QA") >= 3; }));
    TakeLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "  2020314100004561 127.0.0.1"), 1);
    // A command's reply is not repeated: its requester hears "XX".
    u.SetCommandReply("PR", "OK123456");
    u.SetBadChecksum(2);  // also a poll answer that may be on its way
    std::string id;
    ASSERT_EQ(form->SendCommand("PULSE", 1, 2, id, "05", "127.0.0.1"), 0);
    ASSERT_TRUE(WaitFor([&] { return HasLine("I02" + id + "XX127.0.0.1"); })) << log.Dump();
  });
}

TEST_F(ChannelTest, FrameBegunWithoutEndTimesOutInReceivingState) {
  auto& a = AddSim("a", "127.0.0.1", {1});
  sim::SimUnit& u = a.Bank().Unit(1);
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 1));
    ASSERT_TRUE(WaitFor([&] { return u.Received("QA") >= 1; }));
    // The first half of each answer now comes at once, the rest much later.
    u.SetPieces(2, 3000);
    TIPChannel& ch = Channel(1);
    ASSERT_TRUE(WaitFor([&] { return ch.Ctrl().State() == 'S'; }));
    const int before = u.TotalReceived();
    ASSERT_TRUE(WaitFor([&] { return u.TotalReceived() > before; }, 2000));
    EXPECT_TRUE(log.HasSubstr(" - P.TO"));
  });
}

TEST_F(ChannelTest, CardUploadWritesUserFileAndAnswers) {
  auto& a = AddSim("a", "127.0.0.1", {4});
  a.Bank().Unit(4).SetCards({"00000100001234010000", "00000200005678020000", "00000300009012030000"});
  a.Bank().Unit(4).SetPieces(3, 0);
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 4));
    std::string id;
    ASSERT_EQ(form->SendCommand("UCARD", 1, 4, id, "", "127.0.0.1"), 0);
    ASSERT_TRUE(WaitFor([&] { return HasLine("I04" + id + "OK      127.0.0.1"); }));
    EXPECT_TRUE(HasLine("C04BB" + id + "    1"));
    EXPECT_TRUE(HasLine("C04BB" + id + "    3"));
    EXPECT_EQ(dir.Read("user.tmp"), "00000100001234010000\n00000200005678020000\n00000300009012030000\n");
  });
}

TEST_F(ChannelTest, SuspendedChannelSendsNothingUntilResumed) {
  auto& a = AddSim("a", "127.0.0.1", {1});
  sim::SimUnit& u = a.Bank().Unit(1);
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 1));
    ASSERT_TRUE(WaitFor([&] { return u.TotalReceived() >= 2; }));
    form->OnOffPollingThread("127.0.0.1", "0");
    EXPECT_TRUE(log.Has("TH1.Suspended"));
    ASSERT_TRUE(WaitFor([&] { return a.OpenConnections() == 0; }));
    const int n = u.TotalReceived();
    loop.Sleep(300);
    EXPECT_EQ(u.TotalReceived(), n);
    EXPECT_EQ(Channel(1).Ctrl().State(), 'S');
    form->OnOffPollingThread("127.0.0.1", "1");
    EXPECT_TRUE(log.Has("TH1.Resume"));
    ASSERT_TRUE(WaitFor([&] { return u.TotalReceived() > n + 1; }));
    form->OnOffPollingThread("127.0.0.9", "1");
    EXPECT_TRUE(log.Has("TH.OnOff: Failed to find 127.0.0.9"));
  });
}

TEST_F(ChannelTest, DoorStatusAndEnablingByAddress) {
  auto& a = AddSim("a", "127.0.0.1", {2});
  a.Bank().Unit(2).SetStatusA("61");
  a.Bank().Unit(2).SetStatusB("000300");
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnIPCtrl(false, true, a.Port(), "KX4100", "127.0.0.1", 2));
    ASSERT_TRUE(WaitFor([&] { return a.Bank().Unit(2).Received("QA") >= 1 && a.Bank().Unit(2).Received("RI") >= 1; }));
    ASSERT_TRUE(WaitFor([&] {
      const TUnitRecord& r = Channel(1).Ctrl().Unit(1);
      return r.StatusB == "000300" && r.StatusA == "61";
    }));
    std::string req = "S0102127.0.0.1";
    ASSERT_EQ(form->GetDoorStatus(req), 0);
    // a = 0x61 & 0x1F, c = bit 0x40, b = bit 0x20 + bits of "03".
    EXPECT_EQ(req, "010107");
    std::string other = "S0103127.0.0.1";
    EXPECT_EQ(form->GetDoorStatus(other), 1);
    form->EnableIPCtrl("*", 0, false);
    EXPECT_TRUE(log.Has("All IP.Ctrl enable=false"));
    std::string again = "S0102127.0.0.1";
    EXPECT_EQ(form->GetDoorStatus(again), 1);
    form->FormShow();
    EXPECT_EQ(form->Monitor().Width(), CommMonitor::kWideWidth);
  });
}

}  // namespace
}  // namespace px::test
