// TDatabase and TQuery on every backend: the service's own statements must
// behave the same on SQLite and PostgreSQL.
#include <gtest/gtest.h>

#include "common/StrUtil.h"
#include "platform/Database.h"
#include "platform/Sql.h"
#include "support/DbTestEnv.h"
#include "support/TestSupport.h"

namespace px {
namespace {

using test::CaptureLog;

class DatabaseTest : public test::DbTest {
protected:
  // A database opened the way the service opens its main connection.
  std::unique_ptr<TDatabase> OpenMain(const std::string& alias = "OstrPro") {
    auto db = std::make_unique<TDatabase>(Db().Resolver(), Db().Dir().Path(), &log_);
    db->DatabaseName = "GDB1";
    db->AliasName = alias;
    db->Open();
    return db;
  }
  void Exec(TDatabase& db, const std::string& sql) {
    TQuery q(&db);
    q.SQL = sql;
    q.ExecSQL();
  }
  CaptureLog log_;
};

TEST_P(DatabaseTest, FirstOpenOfEmptyDatabaseCreatesSchemaOnce) {
  auto db = OpenMain();
  EXPECT_TRUE(db->Connected());
  EXPECT_EQ(db->Dialect(), GetParam());
  EXPECT_EQ(log_.Count("Schema created in empty database GDB1 (OstrPro)"), 1) << log_.Dump();
  for (const char* table : {"rdrmain", "flrdet", "ox_ini", "outputs", "inputs", "trans", "cards", "trcode",
                            "Audit_Trail", "sysopr", "ZKList", "tzones", "timers"}) {
    EXPECT_NO_THROW(Db().Query(std::string("select * from ") + table)) << table;
  }
  db->Close();
  log_.Clear();
  db->Open();
  EXPECT_FALSE(log_.HasSubstr("Schema created")) << log_.Dump();
}

TEST_P(DatabaseTest, AttendanceSchemaTakesElevenPositionalValues) {
  auto db = OpenMain("OstrTimeSQL");
  Exec(*db, "insert into ot_tmclk values('S1','20240131','0815','000','I','123456','','01','R','0001','PX')");
  EXPECT_EQ(Db().Scalar("select in_out from ot_tmclk where staff_number='S1'"), "I");
}

TEST_P(DatabaseTest, SelectWalksRowsAndFindsFieldsWithoutRegardToCase) {
  auto db = OpenMain();
  Exec(*db, "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) "
            "values ('DOOR1','1','','KX1000','UP','Y')");
  Exec(*db, "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) "
            "values ('DOOR2','2','192168001020','KX6000','DOWN','N')");
  TQuery q(db.get());
  q.SQL = "select * from rdrmain order by logical_point";
  q.Open();
  ASSERT_TRUE(q.Active());
  ASSERT_EQ(q.RecordCount(), 2);
  EXPECT_EQ(q.FieldByName("TAG_NAME"), "DOOR1");
  EXPECT_EQ(q.FieldByName("Controller_Type"), "KX1000");
  EXPECT_EQ(q.FieldByName("acc_tz0"), "No Acc");  // column default
  EXPECT_EQ(q.FieldByName("Acc_TZ9"), "No Acc");
  q.Next();
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.FieldByName("tag_name"), "DOOR2");
  EXPECT_EQ(q.FieldByName("spare3"), "192168001020");
  q.Next();
  EXPECT_TRUE(q.Eof());
  q.First();
  EXPECT_EQ(q.FieldByName("tag_name"), "DOOR1");

  EXPECT_FALSE(q.HasField("no_such_field"));
  EXPECT_EQ(q.FieldOr("no_such_field", "x"), "x");
  try {
    q.FieldByName("no_such_field");
    FAIL() << "missing field accepted";
  } catch (const DbError& e) {
    EXPECT_STREQ(e.what(), "Field 'no_such_field' not found");
    EXPECT_FALSE(e.ConnectionLost());
  }

  q.SQL = "select * from rdrmain where tag_name='NONE'";
  q.Open();
  EXPECT_EQ(q.RecordCount(), 0);
  EXPECT_TRUE(q.Eof());
  EXPECT_EQ(q.FieldByName("tag_name"), "");  // known field, no current row
}

TEST_P(DatabaseTest, NullReadsAsEmptyText) {
  auto db = OpenMain();
  Exec(*db, "insert into flrdet (point_tag) values ('P1')");
  TQuery q(db.get());
  q.SQL = "select * from flrdet";
  q.Open();
  ASSERT_EQ(q.RecordCount(), 1);
  EXPECT_EQ(q.FieldByName("state"), "");
}

TEST_P(DatabaseTest, QuotedValuesRoundTripUnchanged) {
  auto db = OpenMain();
  const std::string tricky[] = {"O'Brien", "'", "''", "x'); delete from cards; --", "a\\b", "tab\there", "ÄÖü"};
  int n = 0;
  for (const auto& v : tricky) {
    std::string card = SqlQuote("C" + std::to_string(++n));
    Exec(*db, "insert into cards values(" + card + ",'S'," + SqlQuote(v) + ",'','','')");
    TQuery q(db.get());
    q.SQL = "select * from cards where name=" + SqlQuote(v);
    q.Open();
    ASSERT_EQ(q.RecordCount(), 1) << v;
    EXPECT_EQ(q.FieldByName("name"), v);
  }
  EXPECT_EQ(Db().Scalar("select count(*) from cards"), std::to_string(n));
}

// The installations' texts are Windows-1252: every byte of the upper half
// is stored and found again unchanged, also where PostgreSQL keeps UTF-8 and
// whatever the role's string-literal setting. Here an operator (sysopr,
// Audit_Trail); tags, cards and names in the store's test.
TEST_P(DatabaseTest, UpperHalfBytesRoundTripInTheDeclaredCodePage) {
  if (Db().IsPostgres()) Db().Exec("ALTER ROLE " + Db().Name() + " SET standard_conforming_strings = off");
  auto db = std::make_unique<TDatabase>(Db().Resolver(), Db().Dir().Path(), &log_);
  db->AliasName = "OstrPro";
  db->Encoding = "WIN1252";
  db->Open();
  std::string all = "\\";
  for (int b = 0x80; b <= 0xFF; ++b) all += static_cast<char>(b);
  Exec(*db, "begin");  // one commit: a synced one per statement is slow
  for (int b = 0x80; b <= 0xFF; ++b) {
    std::string op = "op" + std::string(1, static_cast<char>(b)) + "\\";
    Exec(*db, "insert into sysopr values(" + SqlQuote(op) + ",'pw'," + SqlQuote(all) + ")");
    Exec(*db, "insert into Audit_Trail values('20270102','102030','MOBILE'," + SqlQuote(op) + ",'_PXS_')");
    TQuery q(db.get());
    q.SQL = "select * from sysopr where userID=" + SqlQuote(op);
    q.Open();
    ASSERT_EQ(q.RecordCount(), 1) << b;
    EXPECT_EQ(q.FieldByName("userID"), op);
    EXPECT_EQ(q.FieldByName("name"), all);
    q.SQL = "select detail from Audit_Trail where detail=" + SqlQuote(op);
    q.Open();
    ASSERT_EQ(q.RecordCount(), 1) << b;
    EXPECT_EQ(q.FieldByName("detail"), op);
  }
  Exec(*db, "commit");
}

// The statements the service sends, unchanged, must run on every backend.
TEST_P(DatabaseTest, ServiceStatementsRunUnchanged) {
  auto db = OpenMain();
  Exec(*db, "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) "
            "values ('CTRL1','19','','KX1000','UP','Y')");
  Exec(*db, "insert into outputs values('OUT1','CTRL1','relay')");
  Exec(*db, "insert into flrdet values('CTRL1','UP')");
  Exec(*db, "update rdrmain set state='DOWN' where tag_name='CTRL1'");
  Exec(*db, "update flrdet set state='DOWN' where point_tag='CTRL1'");
  TQuery q(db.get());
  q.SQL = "select * from rdrmain where tag_name in  (select AttachDevice from outputs where tag_name='OUT1')";
  q.Open();
  ASSERT_EQ(q.RecordCount(), 1);
  EXPECT_EQ(q.FieldByName("state"), "DOWN");
  EXPECT_EQ(Db().Scalar("select state from flrdet where point_tag='CTRL1'"), "DOWN");

  Exec(*db, "insert into trans values('123456789','081500','000042','20240131','CTRL1','','Ann','S1','','','','',"
            "'A','','0')");
  EXPECT_EQ(Db().Scalar("select trans_code from trans where card_number='000042'"), "A");
  Exec(*db, "insert into Audit_Trail values('31/01/2024','08:15:00','LOGIN','detail','127.0.0.1')");
  Exec(*db, "insert into ox_ini values('-','Server','IPAddress','10.0.0.1')");
  Exec(*db, "update ox_ini set i_value='10.0.0.2' where i_user='-' and i_group='Server' and i_entry='IPAddress'");
  EXPECT_EQ(Db().Scalar("select i_value from ox_ini"), "10.0.0.2");

  Exec(*db, "insert into sysopr values('op1','secret','Operator')");
  q.SQL = "select * from sysopr where userID='op1'";
  q.Open();
  EXPECT_EQ(q.FieldByName("USERID"), "op1");
  EXPECT_EQ(q.FieldByName("password"), "secret");

  // Template versions: new ("0") replaces old ("1") for the same card.
  Exec(*db, "insert into ZKList(Z_Card,Z_Data,Z_Ver) values('100','old','1')");
  Exec(*db, "insert into ZKList(Z_Card,Z_Data,Z_Ver) values('200','keep','1')");
  Exec(*db, "insert into ZKList(Z_Card,Z_Data,Z_Ver) values('100','new','0')");
  Exec(*db, "delete from zklist where Z_Ver='1' and z_Card in (select z_Card from zklist where z_ver='0')");
  Exec(*db, "update ZKList set Z_Ver='1'");
  q.SQL = "select * from ZKList order by z_Card";
  q.Open();
  ASSERT_EQ(q.RecordCount(), 2);
  EXPECT_EQ(q.FieldByName("z_Data"), "new");
  q.Next();
  EXPECT_EQ(q.FieldByName("Z_DATA"), "keep");
  EXPECT_EQ(q.FieldByName("z_ver"), "1");
}

TEST_P(DatabaseTest, StatementErrorIsNotAConnectionLoss) {
  auto db = OpenMain();
  TQuery q(db.get());
  q.SQL = "select * from no_such_table";
  try {
    q.Open();
    FAIL() << "select on a missing table succeeded";
  } catch (const DbError& e) {
    EXPECT_FALSE(e.ConnectionLost()) << e.what();
    EXPECT_EQ(UpperCase(e.what()).find("READ FAILURE"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(q.Active());
  EXPECT_TRUE(db->Connected());
  // A quote inside a raw tag breaks the statement; the connection survives.
  q.SQL = "update rdrmain set state='UP' where tag_name='O'Brien'";
  EXPECT_THROW(q.ExecSQL(), DbError);
  q.SQL = "select * from rdrmain";
  EXPECT_NO_THROW(q.Open());
  EXPECT_TRUE(db->Connected());
}

TEST_P(DatabaseTest, UndefinedAliasFailsClearly) {
  TDatabase db([](const std::string&) { return std::string(); }, Db().Dir().Path(), &log_);
  db.AliasName = "Nowhere";
  try {
    db.Open();
    FAIL() << "undefined alias opened";
  } catch (const DbError& e) {
    EXPECT_STREQ(e.what(), "Alias \"Nowhere\" is not defined");
  }
  EXPECT_FALSE(db.Connected());
}

PX_INSTANTIATE_DB_TESTS(DatabaseTest);

}  // namespace
}  // namespace px
