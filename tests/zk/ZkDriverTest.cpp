#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "zk/ZkDriver.h"
#include "zksim/ZkSim.h"

namespace px {
namespace {

using zksim::Time;

ZkDriver::Options Quick(uint32_t key = 0) {
  ZkDriver::Options o;
  o.link.timeoutMs = 1500;
  o.link.commKey = key;
  o.link.chunkSize = 1000;  // several chunks even for small tables
  return o;
}

struct Rig {
  explicit Rig(zksim::Config cfg = {}, uint32_t key = 0) : sim(cfg), drv(Quick(key)) {
    EXPECT_TRUE(sim.Start(0));
  }
  bool Connect() { return drv.ZkConnect("127.0.0.1", sim.Port()); }
  std::vector<ZkLogRecord> Logs() {
    std::vector<ZkLogRecord> out;
    ZkLogRecord r;
    while (drv.ZkNextLogRecordSSR(1, r)) out.push_back(r);
    return out;
  }
  zksim::Simulator sim;
  ZkDriver drv;
};

TEST(ZkDriver, ReadsAttendanceOfEveryRecordSizeAndClears) {
  for (size_t size : {size_t{8}, size_t{16}, size_t{40}}) {
    for (size_t direct : {size_t{1u << 20}, size_t{64}}) {  // one packet, then chunked
      zksim::Config cfg;
      cfg.logRecordSize = size;
      cfg.directLimit = direct;
      Rig rig(cfg);
      rig.sim.Populate(5, 0, 0);
      rig.sim.AddRecord("3", Time{2026, 3, 4, 5, 6, 7}, 1, 255, 42);
      for (int i = 0; i < 60; ++i) rig.sim.AddRecord("5", Time{2026, 12, 31, 23, 59, i % 60}, 15, i % 2);
      ASSERT_TRUE(rig.Connect()) << rig.drv.LastError();
      int count = 0;
      ASSERT_TRUE(rig.drv.ZkProbe(1, count));
      EXPECT_EQ(count, 61);
      ASSERT_TRUE(rig.drv.ZkReadAllLogs(1)) << size << " " << rig.drv.LastError();
      EXPECT_EQ(rig.drv.LogRecordSize(), size);
      auto logs = rig.Logs();
      ASSERT_EQ(logs.size(), 61u);
      EXPECT_EQ(logs[0].user, 3);
      EXPECT_EQ(logs[0].inOutState, 255);
      EXPECT_EQ(std::tie(logs[0].year, logs[0].month, logs[0].day, logs[0].hour, logs[0].minute, logs[0].second),
                std::make_tuple(2026, 3, 4, 5, 6, 7));
      EXPECT_EQ(logs[0].workCode, size == 16 ? 42 : 0);
      EXPECT_EQ(logs[60].userText, "5");
      EXPECT_EQ(logs[60].verifyMode, 15);
      EXPECT_TRUE(rig.sim.GetStats().enabled) << "the terminal is enabled again after the read";
      ASSERT_TRUE(rig.drv.ZkClearLogs(1));
      EXPECT_TRUE(rig.sim.Records().empty());
      // An empty log: the read says no, the probe says the terminal is there.
      EXPECT_FALSE(rig.drv.ZkReadAllLogs(1));
      EXPECT_TRUE(rig.drv.ZkProbe(1, count));
      EXPECT_EQ(count, 0);
    }
  }
}

TEST(ZkDriver, UsersCardsTemplatesStylesAndZones) {
  for (size_t size : {size_t{28}, size_t{72}}) {
    zksim::Config cfg;
    cfg.userRecordSize = size;
    cfg.directLimit = 200;
    Rig rig(cfg);
    rig.sim.Populate(20, 0, 2);
    ASSERT_TRUE(rig.Connect());
    ASSERT_TRUE(rig.drv.ZkReadAllUserIds(1));
    EXPECT_EQ(rig.drv.UserRecordSize(), size);
    ZkUserInfo info;
    int n = 0;
    while (rig.drv.ZkNextUserInfo(1, info)) ++n;
    EXPECT_EQ(n, 20);
    ASSERT_TRUE(rig.drv.ZkGetUserInfo(1, 4, info));
    EXPECT_EQ(rig.drv.ZkGetCardNumber(0), "100004");
    EXPECT_FALSE(rig.drv.ZkGetUserInfo(1, 99, info));

    // One finger at a time, then all at once: the same bytes.
    std::vector<uint8_t> one, fromAll;
    ASSERT_TRUE(rig.drv.ZkGetTemplate(1, 7, 1, one));
    EXPECT_FALSE(rig.drv.ZkGetTemplate(1, 7, 2, one = {}));
    ASSERT_TRUE(rig.drv.ZkGetTemplate(1, 7, 1, one));
    ASSERT_TRUE(rig.drv.ZkReadAllTemplates(1));
    int flag = 0;
    ASSERT_TRUE(rig.drv.ZkGetTemplateEx(1, "7", 1, flag, fromAll));
    EXPECT_EQ(one, fromAll);
    EXPECT_EQ(flag, 1);

    // What the record cannot hold is refused, not cut.
    EXPECT_FALSE(rig.drv.ZkSetUserInfoSSR(1, size == 28 ? "12a" : std::string(24, '1'), "", "", 0, true));
    EXPECT_FALSE(rig.drv.ZkSetUserInfoSSR(1, "5", "", "123456789", 0, true));

    // A new user with card, template, style and zones.
    rig.drv.ZkSetCardNumber(0, "777");
    ASSERT_TRUE(rig.drv.ZkSetUserInfoSSR(1, "654321", "", "99", 0, true));
    std::vector<uint8_t> tpl(2048, 0x5A);
    ASSERT_TRUE(rig.drv.ZkSetTemplateEx(1, "654321", 0, 1, tpl));
    ASSERT_TRUE(rig.drv.ZkSetVerifyStyle(1, 654321, 137));
    ASSERT_TRUE(rig.drv.ZkSetUserTimeZones(1, 654321, "3:3:3"));
    std::string week;
    for (int d = 0; d < 7; ++d) week += d == 3 ? "00000000" : "09001730";
    ASSERT_TRUE(rig.drv.ZkSetTimeZone(1, 3, week));
    EXPECT_FALSE(rig.drv.ZkSetTimeZone(1, 4, week.substr(8))) << "a 48-digit week is refused";
    ASSERT_TRUE(rig.drv.ZkRefreshData(1));
    auto users = rig.sim.Users();
    auto it = std::find_if(users.begin(), users.end(), [](auto& u) { return u.userId == "654321"; });
    ASSERT_NE(it, users.end());
    EXPECT_EQ(it->card, 777u);
    EXPECT_EQ(it->password, "99");
    EXPECT_EQ(it->verifyStyle, 137);
    EXPECT_TRUE(it->ownZones);
    EXPECT_EQ(it->zones[0] + it->zones[1] + it->zones[2], 9u);
    auto zones = rig.sim.TimeZones();
    ASSERT_EQ(zones.count(3), 1u);
    EXPECT_EQ(zones[3].spans[2 * 4 + 3], 30) << "Tuesday ends 17:30";
    EXPECT_EQ(zones[3].spans[3 * 4 + 2], 0) << "Wednesday keeps its place, no access";
    EXPECT_EQ(zones[3].spans[4 * 4 + 0], 9) << "Thursday starts 09:00";
    int fingers = 0;
    for (auto& f : rig.sim.Fingers()) fingers += f.slot == it->slot && f.flag == 1 && f.data == tpl;
    EXPECT_EQ(fingers, 1);

    // The card set is spent: rewriting the user keeps the card it has.
    ASSERT_TRUE(rig.drv.ZkSetUserInfoSSR(1, "654321", "", "", 0, true));
    users = rig.sim.Users();
    it = std::find_if(users.begin(), users.end(), [](auto& u) { return u.userId == "654321"; });
    EXPECT_EQ(it->card, 777u);

    ASSERT_TRUE(rig.drv.ZkDeleteUserSSR(1, "654321", 12));
    EXPECT_EQ(rig.sim.Users().size(), 20u);
    EXPECT_FALSE(rig.drv.ZkDeleteUser(1, 654321, 12));
  }
}

TEST(ZkDriver, ShortRecordsNameTheEnrolmentNumberNotTheSlot) {
  zksim::Config cfg;
  cfg.logRecordSize = 8;
  Rig rig(cfg);
  rig.sim.AddUser("42", "Ann", "", 0, 0);  // slot 1
  rig.sim.AddUser("7", "Bob", "", 0, 0);   // slot 2
  rig.sim.AddRecord("7", Time{2026, 3, 4, 5, 6, 7}, 1, 0);
  rig.sim.AddRecord("42", Time{2026, 3, 4, 5, 7, 0}, 1, 1);
  ASSERT_TRUE(rig.Connect());
  ASSERT_TRUE(rig.drv.ZkReadAllLogs(1)) << rig.drv.LastError();
  auto logs = rig.Logs();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0].user, 7);
  EXPECT_EQ(logs[1].user, 42);
  EXPECT_TRUE(rig.sim.GetStats().enabled);
}

TEST(ZkDriver, UserWritesAndDeletesSeeKeypadEnrolmentsMadeSinceTheLastRead) {
  Rig rig;
  rig.sim.Populate(3, 0, 0);
  ASSERT_TRUE(rig.Connect());
  ASSERT_TRUE(rig.drv.ZkReadAllUserIds(1));
  // At the keypad meanwhile: a user enrolled in slot 4, and user 2 replaced
  // by user 66 in slot 2.
  rig.sim.AddUser("900", "Keypad", "", 0, 0);
  rig.sim.RemoveUser("2");
  rig.sim.AddUser("66", "Reused", "", 0, 0);
  ASSERT_TRUE(rig.drv.ZkSetUserInfoSSR(1, "55", "", "", 0, true));
  EXPECT_FALSE(rig.drv.ZkDeleteUser(1, 2, 12)) << "user 2 is gone; slot 2 is somebody else's";
  std::map<std::string, uint16_t> slots;
  for (const auto& u : rig.sim.Users()) slots[u.userId] = u.slot;
  EXPECT_EQ(slots, (std::map<std::string, uint16_t>{{"1", 1}, {"66", 2}, {"3", 3}, {"900", 4}, {"55", 5}}));
}

TEST(ZkDriver, AnEmptyTerminalIsWrittenUsersInTheLayoutItKeeps) {
  for (size_t size : {size_t{28}, size_t{72}}) {
    zksim::Config cfg;
    cfg.userRecordSize = size;
    Rig rig(cfg);
    ASSERT_TRUE(rig.Connect());
    rig.drv.ZkSetCardNumber(0, "555");
    ASSERT_TRUE(rig.drv.ZkSetUserInfoSSR(1, "4321", "", "123", 0, true)) << size;
    EXPECT_EQ(rig.drv.UserRecordSize(), size);
    ASSERT_TRUE(rig.drv.ZkSetUserInfoSSR(1, "4322", "", "", 0, true));
    auto users = rig.sim.Users();
    ASSERT_EQ(users.size(), 2u) << size;
    EXPECT_EQ(std::tie(users[0].userId, users[0].card, users[0].password),
              std::make_tuple(std::string("4321"), 555u, std::string("123")));
    EXPECT_EQ(users[1].userId, "4322");
  }
}

TEST(ZkDriver, SetsTheClockFromTheGivenTime) {
  ZkDriver::Options o = Quick();
  std::tm tm{};
  tm.tm_year = 2027 - 1900;
  tm.tm_mon = 1;
  tm.tm_mday = 3;
  tm.tm_hour = 4;
  tm.tm_min = 5;
  tm.tm_isdst = -1;
  std::time_t when = std::mktime(&tm);
  o.now = [when] { return when; };
  zksim::Simulator sim;
  ASSERT_TRUE(sim.Start(0));
  ZkDriver drv(o);
  ASSERT_TRUE(drv.ZkConnect("127.0.0.1", sim.Port()));
  ASSERT_TRUE(drv.ZkSetDeviceTime(1));
  Time t = sim.ClockTime();
  EXPECT_EQ(std::tie(t.year, t.month, t.day, t.hour), std::make_tuple(2027, 2, 3, 4));
}

TEST(ZkDriver, SplitAndJoinedRepliesAndEventsReadTheSame) {
  for (int mode = 0; mode < 2; ++mode) {
    zksim::Config cfg;
    cfg.directLimit = 100;
    Rig rig(cfg);
    rig.sim.Populate(10, 40, 0);
    zksim::Faults f;
    if (mode == 0) f.splitBytes = 3;
    else f.joinReplies = true;
    rig.sim.SetFaults(f);
    ASSERT_TRUE(rig.Connect()) << rig.drv.LastError();
    ASSERT_TRUE(rig.drv.ZkReadAllLogs(1)) << rig.drv.LastError();
    EXPECT_EQ(rig.Logs().size(), 40u);
  }
}

TEST(ZkDriver, FaultsFailWithinTheBoundAndLeaveNoDisabledTerminal) {
  using Clock = std::chrono::steady_clock;
  auto within = [](Clock::time_point t0) { return Clock::now() - t0 < std::chrono::seconds(4); };
  {
    Rig rig;
    zksim::Faults f;
    f.refuse = true;
    rig.sim.SetFaults(f);
    EXPECT_FALSE(rig.Connect());
  }
  {
    Rig rig;
    zksim::Faults f;
    f.silence = true;
    rig.sim.SetFaults(f);
    auto t0 = Clock::now();
    EXPECT_FALSE(rig.Connect());
    EXPECT_TRUE(within(t0));
  }
  for (int which = 0; which < 2; ++which) {
    Rig rig;
    rig.sim.Populate(3, 5, 0);
    ASSERT_TRUE(rig.Connect());
    zksim::Faults f;
    (which ? f.wrongReply : f.wrongSession) = true;
    rig.sim.SetFaults(f);
    int count = 0;
    EXPECT_FALSE(rig.drv.ZkProbe(1, count)) << "mismatched reply accepted";
  }
  {
    zksim::Config cfg;
    cfg.directLimit = 64;
    Rig rig(cfg);
    rig.sim.Populate(3, 200, 0);
    ASSERT_TRUE(rig.Connect());
    zksim::Faults f;
    f.dropMidTransfer = true;
    rig.sim.SetFaults(f);
    auto t0 = Clock::now();
    EXPECT_FALSE(rig.drv.ZkReadAllLogs(1));
    EXPECT_TRUE(within(t0));
    EXPECT_FALSE(rig.sim.GetStats().enabled);
    rig.sim.SetFaults({});
    ASSERT_TRUE(rig.Connect());
    EXPECT_TRUE(rig.sim.GetStats().enabled) << "reconnect enables the terminal a broken read left disabled";
    EXPECT_EQ(rig.sim.Records().size(), 200u) << "nothing cleared";
  }
  {
    // An error answer: no records, but not an empty terminal, and enabled again.
    Rig rig;
    rig.sim.Populate(3, 6, 0);
    zksim::Faults f;
    f.logError = true;
    rig.sim.SetFaults(f);
    ASSERT_TRUE(rig.Connect());
    EXPECT_FALSE(rig.drv.ZkReadAllLogs(1));
    int count = 0;
    EXPECT_TRUE(rig.drv.ZkProbe(1, count));
    EXPECT_EQ(count, 6);
    EXPECT_TRUE(rig.sim.GetStats().enabled);
  }
  {
    Rig rig;
    rig.sim.Populate(3, 6, 0);
    zksim::Faults f;
    f.corruptRecord = true;
    rig.sim.SetFaults(f);
    ASSERT_TRUE(rig.Connect());
    ASSERT_TRUE(rig.drv.ZkReadAllLogs(1));
    auto logs = rig.Logs();
    ASSERT_EQ(logs.size(), 7u);
    EXPECT_EQ(logs[3].user, 0);
  }
}

TEST(ZkDriver, CommunicationPassword) {
  zksim::Config cfg;
  cfg.commKey = 123456;
  {
    Rig rig(cfg, 123456);
    ASSERT_TRUE(rig.Connect()) << rig.drv.LastError();
    int count = -1;
    EXPECT_TRUE(rig.drv.ZkProbe(1, count));
  }
  for (uint32_t wrong : {0u, 123457u}) {
    Rig rig(cfg, wrong);
    EXPECT_FALSE(rig.Connect());
  }
}

}  // namespace
}  // namespace px
