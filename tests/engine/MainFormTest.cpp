#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "EngineFixture.h"
#include "engine/Protocol.h"

namespace px::test {
namespace {

using MainFormTest = EngineFixture;

TEST_F(MainFormTest, SettingsAreReadAndClamped) {
  Run([&] {
    SetIni("[Comm Setting]\nSleepMsec=0\nIPSleepCnt=7\n[KX5800]\nExpressMode=1\n");
    MakeForm();
    EXPECT_EQ(form->Settings().pollDelay, 2);
    EXPECT_EQ(form->Settings().ipSleepCount, 7);
    EXPECT_TRUE(form->Settings().expressMode);
    EXPECT_FALSE(log.HasSubstr("PollDelaySec"));

    SetIni("[Comm Setting]\nSleepMsec=60001\n");
    MakeForm();
    EXPECT_EQ(form->Settings().pollDelay, 2);

    SetIni("[Comm Setting]\nSleepMsec=250\n[Options]\nPollDelaySec=5000\n");
    MakeForm();
    EXPECT_EQ(form->Settings().pollDelaySec, 1800);
    EXPECT_EQ(form->Settings().pollDelay, 1800 * 1000);
    EXPECT_EQ(form->Settings().ipSleepCount, 1800 * 16);
    EXPECT_TRUE(log.Has("PollDelaySec = 1800"));

    SetIni("");
    MakeForm();
    EXPECT_EQ(form->Settings().pollDelay, 50);
    EXPECT_FALSE(form->Settings().expressMode);
  });
}

TEST_F(MainFormTest, SingleSocketModeReplacesIpSleepCount) {
  cfg.singleSocket = true;
  Run([&] {
    SetIni("[Comm Setting]\nIPSleepCnt=3\n");
    MakeForm();
    EXPECT_EQ(form->Settings().ipSleepCount, 130);
    EXPECT_TRUE(log.Has("Ext.PollDelaySec = 0"));
    SetIni("[Options]\nPollDelaySec=3\n");
    MakeForm();
    EXPECT_EQ(form->Settings().ipSleepCount, 3 * 65);
    EXPECT_TRUE(log.Has("Ext.PollDelaySec = 3"));
  });
}

TEST_F(MainFormTest, FullReplyRingDropsNewestAndLogs) {
  Run([&] {
    MakeForm();
    for (int i = 1; i <= 4000; ++i) form->PutReplyQ("line" + std::to_string(i));
    EXPECT_EQ(log.CountSubstr("<QFull>"), 1);
    auto lines = TakeLines();
    ASSERT_EQ(lines.size(), 3999u);
    EXPECT_EQ(lines.front(), "line1");
    EXPECT_EQ(lines.back(), "line3999");
  });
}

TEST_F(MainFormTest, RawCaptureWritesOnlyWhenLinesArePending) {
  Run([&] {
    MakeForm();
    std::string raw = dir.File("260301.raw");
    form->SystemTimerTimer();
    EXPECT_FALSE(std::filesystem::exists(raw));
    form->QueueForRawWrite(" 19010212300012349");
    form->QueueForRawWrite("  3010212300012349 10.0.0.5");
    form->SystemTimerTimer();
    EXPECT_EQ(ReadFile(raw), " 19010212300012349\n  3010212300012349 10.0.0.5\n");
    auto stamp = std::filesystem::last_write_time(raw);
    form->SystemTimerTimer();
    EXPECT_EQ(std::filesystem::last_write_time(raw), stamp);
    form->QueueForRawWrite("next");
    form->WriteToRawIfAny();  // appends
    EXPECT_EQ(ReadFile(raw), " 19010212300012349\n  3010212300012349 10.0.0.5\nnext\n");
    // 1001 lines within one second: written early rather than dropped.
    for (int i = 0; i < 1001; ++i) form->QueueForRawWrite("r");
    form->WriteToRawIfAny();
    std::string text = ReadFile(raw);
    EXPECT_EQ(std::count(text.begin(), text.end(), 'r'), 1001);
    EXPECT_EQ(log.CountSubstr("<QFull> Raw capture queue"), 0);
  });
}

TEST_F(MainFormTest, SendCommandChecksTargetAndQueuesFrame) {
  auto& bank = AddSim(1);
  bank.EnableUnits({3, 4});
  Run([&] {
    MakeForm();
    std::string id = "unset";
    // Nothing opened yet.
    EXPECT_EQ(form->SendCommand("PULSE", 1, 3, id, "05", ""), 1);
    ASSERT_TRUE(form->SpawnAccessComm(1, 38400, 1));
    form->Button2Click();  // no polls: only commands reach the units
    EXPECT_EQ(form->SendCommand("PULSE", 0, 3, id, "05", ""), 1);
    EXPECT_EQ(form->SendCommand("PULSE", 9, 3, id, "05", ""), 1);
    EXPECT_EQ(form->SendCommand("PULSE", 1, 17, id, "05", ""), 1);
    EXPECT_EQ(form->SendCommand("PULSE", 1, 3, id, "05", ""), 1);
    EXPECT_TRUE(log.Has("B1 U3 not enabled."));
    EXPECT_EQ(form->SendCommand("VERSI", 1, 4, id, "", ""), 0);  // allowed while disabled
    EXPECT_EQ(id, "140509123");
    EXPECT_TRUE(form->EnableCtrl(1, 3, true));
    EXPECT_TRUE(log.Has("Bus 1 Unit 3 Enable=true"));
    EXPECT_EQ(form->SendCommand("NOSUCH", 1, 3, id, "", ""), 1);
    EXPECT_EQ(form->SendCommand("PULSE", 1, 3, id, "05", ""), 0);
    EXPECT_TRUE(log.Has("Q.Send: B1 U3 PULSE 05 "));
    EXPECT_EQ(form->SendCommand("PULSE", 1, 3, id, "   ", "  "), 0);  // blank IP: serial target
    // An IP target goes to the IP side, which has no channels here.
    EXPECT_EQ(form->SendCommand("PULSE", 1, 3, id, "05", "10.0.0.9"), 1);
    ASSERT_TRUE(WaitFor([&] { return bank.Unit(3).Received("PR") == 2 && bank.Unit(4).Received("VN") == 1; }));
    auto frames = bank.Unit(3).ReceivedFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], "\xD2PR0565\r");
    EXPECT_EQ(frames[1], "\xD2PR\r");
    std::vector<std::string> lines;
    ASSERT_TRUE(WaitFor([&] {
      for (auto& l : TakeLines()) lines.push_back(l);
      return lines.size() >= 3;
    }));
    EXPECT_EQ(lines, (std::vector<std::string>{"M0104140509123OKVNKX4100V1.238", "M0103140509123OKPR0",
                                               "M0103140509123OKPR0"}));
  });
}

TEST_F(MainFormTest, SetClockGoesOutWithTheTimeOfSending) {
  auto& bank = AddSim(1);
  bank.EnableUnits({2});
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnAccessComm(1, 38400, 1));
    form->Button2Click();
    form->EnableCtrl(1, 2, true);
    std::string id;
    ASSERT_EQ(form->SendCommand("DATTM", 1, 2, id, "010101000000", ""), 0);
    clock->Set(DateTime{2026, 3, 7, 23, 59, 58, 0});
    ASSERT_TRUE(WaitFor([&] { return bank.Unit(2).Received("SC") == 1; }));
    EXPECT_EQ(bank.Unit(2).LastParams("SC"), "0703266235958");
    ASSERT_TRUE(WaitFor([&] {
      for (auto& l : TakeLines())
        if (l.rfind("M0102" + id + "OKSC", 0) == 0) return true;
      return false;
    }));
  });
}

TEST_F(MainFormTest, RepliesComeBeforeTransactionsAndBusOneBeforeBusTwo) {
  auto& b1 = AddSim(1);
  auto& b2 = AddSim(2);
  b1.EnableUnits({1});
  b2.EnableUnits({1});
  b1.Unit(1).QueueRecord("010212300011119");
  b2.Unit(1).QueueRecord("010212300022229");
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnAccessComm(1, 38400, 1));
    ASSERT_TRUE(form->SpawnAccessComm(2, 38400, 2));
    EXPECT_EQ(form->BusCount(), 2);
    form->EnableCtrl(999, 0, true);
    EXPECT_TRUE(log.Has("All Bus Units enable=true"));
    EXPECT_TRUE(form->Bus(2)->Unit(16).Enabled);
    form->EnableCtrl(999, 0, false);
    EXPECT_TRUE(log.Has("All Bus Units enable=false"));
    form->EnableCtrl(1, 1, true);
    form->EnableCtrl(2, 1, true);
    ASSERT_TRUE(WaitFor([&] { return form->Bus(1)->HasTrans() && form->Bus(2)->HasTrans(); }));
    form->Button2Click();
    form->PutReplyQ("M0101123456789OKPR0");
    auto lines = TakeLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "M0101123456789OKPR0");
    EXPECT_EQ(lines[1], "T0101010212300011119");
    EXPECT_EQ(lines[2], "T0201010212300022229");
    form->SetStopping();
    form->PutReplyQ("late");
    std::string l;
    EXPECT_EQ(form->GetNextTransaction(l), 1);
  });
}

TEST_F(MainFormTest, DoorStatusOfSerialUnits) {
  auto& bank = AddSim(1);
  bank.EnableUnits({3});
  bank.Unit(3).SetStatusA("6B");
  bank.Unit(3).SetStatusB("000300");
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnAccessComm(1, 38400, 1));
    std::string t = "x0103";
    EXPECT_EQ(form->GetDoorStatus(t), 1);  // not enabled
    form->EnableCtrl(1, 3, true);
    // VN, QA, then RI brings status B.
    ASSERT_TRUE(WaitFor([&] { return bank.Unit(3).Received("RI") >= 1 && form->Bus(1)->Unit(3).StatusB.size() == 6; }));
    t = "x0103";
    EXPECT_EQ(form->GetDoorStatus(t), 0);
    EXPECT_EQ(t, "0B0107");
    for (std::string bad : {"x01", "x0117", "x0903", "x0203", "xAB03", "x0103 10.0.0.1"}) {
      std::string s = bad;
      EXPECT_EQ(form->GetDoorStatus(s), 1) << bad;
      EXPECT_EQ(s, bad);
    }
  });
}

TEST_F(MainFormTest, MonitorModel) {
  AddSim(1);
  Run([&] {
    MakeForm();
    CommMonitor& m = form->Monitor();
    EXPECT_EQ(m.Caption(), "Communication Monitor");
    EXPECT_EQ(m.Width(), 520);
    EXPECT_EQ(m.Height(), 399);
    int widths[5] = {150, 200, 50, 300, 50};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(m.Panels()[static_cast<size_t>(i)].width, widths[i]);
    EXPECT_FALSE(m.BusLedsReady());
    ASSERT_TRUE(form->SpawnAccessComm(1, 38400, 1));
    ASSERT_TRUE(m.BusLedsReady());
    EXPECT_EQ(m.BusRow(1).boxText, "COM1");
    EXPECT_EQ(m.BusRow(2).boxText, "N/A");
    EXPECT_EQ(m.BusRow(2).boxTop, 40);
    EXPECT_EQ(m.BusRow(1).leds[15].left, 72 + 24 * 15);
    EXPECT_EQ(m.BusLed(1, 5), CommMonitor::kGrey);
    ASSERT_TRUE(WaitFor([&] { return m.PanelText(5) == "01/03/26 14:05:09"; }));
    form->FormShow();
    EXPECT_EQ(m.Width(), 520);
    EXPECT_FALSE(m.IpPanelVisible());
    m.AddMemoLine("one");
    form->Button1Click();
    EXPECT_TRUE(m.Memo().empty());
    form->Button2Click();
    EXPECT_TRUE(form->ScanningStopped());
    EXPECT_TRUE(log.Has("User Stop Scanning."));
    form->Button2Click();
    EXPECT_FALSE(form->ScanningStopped());
    EXPECT_TRUE(log.Has("User Start Scanning."));
    m.IP_LED_OnThisPort(1);
    EXPECT_EQ(m.IpRow(12).boxTop, 8 + 24 * 11);
    EXPECT_EQ(m.IpRow(1).leds[0].left, 114);
    m.FormShow(true);
    EXPECT_EQ(m.Width(), 986);
  });
}

TEST_F(MainFormTest, DestructionStopsBusesAndLogs) {
  AddSim(1);
  Run([&] {
    MakeForm();
    ASSERT_TRUE(form->SpawnAccessComm(1, 38400, 1));
    form->EnableCtrl(1, 1, true);
    form.reset();
    EXPECT_TRUE(log.Has("TH.FDestroy"));
    EXPECT_TRUE(log.Has("TH.End"));
  });
}

}  // namespace
}  // namespace px::test
