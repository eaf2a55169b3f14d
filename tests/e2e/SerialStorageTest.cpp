#include <ctime>

#include "common/Format.h"
#include "e2e/E2eFixture.h"

using namespace px;
using namespace std::chrono_literals;

namespace {
class SerialStorage : public test::E2eFixture {
protected:
  // Sixteen controllers on bus 1, one card holder per card used below.
  void Seed(int units) {
    for (int u = 1; u <= units; ++u) {
      Exec(Db(), Format("insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) "
                        "values ('Door%02d', %d, '', 'KX4100', 'UP', 'Y')",
                        u, u));
      Exec(Db(), Format("insert into flrdet values ('Door%02d', 'UP')", u));
    }
    Exec(Db(), "insert into trcode values ('0','Normal In'), ('9','Normal Out'), ('X','Down'), ('Y','Up')");
  }
  void AddCard(int card) {
    Exec(Db(), Format("insert into cards values ('%06d', 'S%06d', 'Holder %d', 'u1', 'u2', 'u3')", card, card, card));
  }
};
}  // namespace

TEST_F(SerialStorage, EveryCardTransactionOfSixteenUnitsIsStoredOnce) {
  Seed(16);
  bank->EnableUnits({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  std::time_t now = std::time(nullptr);
  int n = 0;
  for (int i = 0; i < 200; ++i) {
    int unit = i % 16 + 1;
    int card = 100000 + i;
    AddCard(card);
    bank->Unit(unit).QueueTransaction(Format("%06d", card), i % 2 ? '9' : '0', now);
    ++n;
  }
  WriteConfig();
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return Count(Db(), "select count(*) from trans") >= 200; }, 60s))
      << Count(Db(), "select count(*) from trans") << "\n"
      << LogText();
  std::this_thread::sleep_for(300ms);  // nothing more may follow
  EXPECT_EQ(Count(Db(), "select count(*) from trans"), 200);
  EXPECT_EQ(Count(Db(), "select count(distinct card_number) from trans"), 200);
  // Tag from bus and unit, name from cards, date of today.
  std::string today = FormatDateTime("yyyymmdd", DateTime::FromTimePoint(std::chrono::system_clock::from_time_t(now)));
  for (int i = 0; i < 200; i += 37) {
    auto r = Query(Db(), Format("select tag_name, name, trans_code, trans_date, staff_number from trans "
                                "where card_number='%06d'",
                                100000 + i));
    ASSERT_EQ(r.rows.size(), 1u) << i;
    EXPECT_EQ(r.rows[0][0], Format("Door%02d", i % 16 + 1));
    EXPECT_EQ(r.rows[0][1], Format("Holder %d", 100000 + i));
    EXPECT_EQ(r.rows[0][2], i % 2 ? "9" : "0");
    EXPECT_EQ(r.rows[0][3], today);
    EXPECT_EQ(r.rows[0][4], Format("S%06d", 100000 + i));
  }
  // Every in and out also reached the attendance database.
  ASSERT_TRUE(test::WaitFor([&] { return Count(ArqDb(), "select count(*) from ot_tmclk") >= 200; }, 10s));
  EXPECT_EQ(Count(ArqDb(), "select count(*) from ot_tmclk where in_out='I'"), 100);
  EXPECT_EQ(Count(ArqDb(), "select count(*) from ot_tmclk where in_out='O'"), 100);
  StopServer();
}

TEST_F(SerialStorage, AUnitThatGoesSilentIsDownOnceAndUpOnce) {
  Seed(2);
  bank->EnableUnits({1, 2});
  WriteConfig();
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return bank->Unit(2).Received("QA") >= 2; }, 20s)) << LogText();
  bank->Unit(2).SetSilent(true);
  ASSERT_TRUE(test::WaitFor([&] { return Count(Db(), "select count(*) from trans where trans_code='X'") >= 1; },
                            30s))
      << LogText();
  // The state follows the status row, each in a synced commit of its own.
  EXPECT_TRUE(test::WaitFor(
      [&] { return Count(Db(), "select count(*) from flrdet where point_tag='Door02' and state='DOWN'") == 1; }, 5s));
  EXPECT_EQ(Count(Db(), "select count(*) from rdrmain where tag_name='Door02' and state='DOWN'"), 1);
  EXPECT_EQ(Count(Db(), "select count(*) from trans where tag_name='Door01'"), 0);
  bank->Unit(2).SetSilent(false);
  ASSERT_TRUE(test::WaitFor([&] { return Count(Db(), "select count(*) from trans where trans_code='Y'") >= 1; },
                            30s))
      << LogText();
  EXPECT_TRUE(test::WaitFor(
      [&] { return Count(Db(), "select count(*) from flrdet where point_tag='Door02' and state='UP'") == 1; }, 5s));
  EXPECT_EQ(Count(Db(), "select count(*) from rdrmain where tag_name='Door02' and state='UP'"), 1);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Count(Db(), "select count(*) from trans where trans_code='X'"), 1);
  EXPECT_EQ(Count(Db(), "select count(*) from trans where trans_code='Y'"), 1);
  EXPECT_EQ(LogCount("SR: Controller Down: B1 U2"), 1);
  EXPECT_EQ(LogCount("Controller Up: B1 U2"), 1);
  StopServer();
}

TEST_F(SerialStorage, NothingIsLostWhileTransCannotBeWrittenEvenAcrossARestart) {
  Seed(4);
  bank->EnableUnits({1, 2, 3, 4});
  WriteConfig();
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return test::FileContains(LogPath(), "4: Door04"); }, 20s)) << LogText();
  // The table refuses rows as a full or broken database would.
  Exec(Db(), "create trigger refuse before insert on trans begin select raise(fail, 'disk I/O error'); end");
  std::time_t now = std::time(nullptr);
  for (int i = 0; i < 100; ++i) bank->Unit(i % 4 + 1).QueueTransaction(Format("%06d", 200000 + i), '0', now);
  ASSERT_TRUE(test::WaitFor(
      [&] {
        int confirmed = 0;
        for (int u = 1; u <= 4; ++u) confirmed += bank->Unit(u).QueuedRecords() + bank->Unit(u).UnconfirmedRecords();
        return confirmed == 0;
      },
      60s));
  ASSERT_TRUE(test::WaitFor([&] { return LogCount("Spool") >= 1; }, 10s)) << LogText();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Count(Db(), "select count(*) from trans"), 0);
  StopServer();  // a restart while rows wait in the spool
  Exec(Db(), "drop trigger refuse");
  StartServer();
  ASSERT_TRUE(test::WaitFor([&] { return Count(Db(), "select count(*) from trans") >= 100; }, 30s)) << LogText();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Count(Db(), "select count(*) from trans"), 100);
  EXPECT_EQ(Count(Db(), "select count(distinct card_number) from trans"), 100);
  // In the order the controllers reported them, per controller.
  for (int u = 1; u <= 4; ++u) {
    auto r = Query(Db(), Format("select card_number from trans where tag_name='Door%02d' order by rowid", u));
    ASSERT_EQ(r.rows.size(), 25u);
    for (size_t k = 1; k < r.rows.size(); ++k) EXPECT_LT(r.rows[k - 1][0], r.rows[k][0]);
  }
  StopServer();
}
