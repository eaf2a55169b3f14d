#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Database.h"
#include "platform/DbDriver.h"
#include "support/TestSupport.h"

namespace px::test {

// Database tests run on every backend at hand: SQLite always, PostgreSQL
// too when the environment variable PX_PG_URI names a server on which the
// URI's user may create databases (scripts/pg_server.sh start prints one).
//
//   class MyTest : public px::test::DbTest {};
//   TEST_P(MyTest, Something) { Db().CreateSchema("OstrPro"); ... }
//   PX_INSTANTIATE_DB_TESTS(MyTest);
//
// The test names end in "/sqlite" or "/postgresql".

// {"sqlite"} or {"sqlite", "postgresql"}.
std::vector<std::string> DbBackends();
// PX_PG_URI, or "" when PostgreSQL tests are off.
std::string PgServerUri();
// The URI without its user and password, for tests that pass credentials
// separately.
std::string PgUriWithoutUser(const std::string& uri);
// Parameter names for INSTANTIATE_TEST_SUITE_P.
std::string DbBackendName(const testing::TestParamInfo<std::string>& info);

// A fresh, empty database for one test, removed at destruction.
// SQLite: a file in a temporary folder ("sqlite:/tmp/.../test.db").
// PostgreSQL: a login role pxt_<pid>_<n> with a schema of the same name in
// the PX_PG_URI database; connecting as that role (ConnectionString() does)
// finds the schema first on the search path, so the test sees only its own
// tables. Both are dropped, with every session of the role, at destruction.
class TestDatabase {
public:
  explicit TestDatabase(const std::string& backend);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  const std::string& Backend() const { return backend_; }
  bool IsPostgres() const { return backend_ == "postgresql"; }
  // What an alias of the service resolves to for this database.
  const std::string& ConnectionString() const { return connStr_; }
  // An alias resolver that maps every alias to this database.
  AliasResolver Resolver() const;
  // The PostgreSQL role and schema, or the SQLite file.
  const std::string& Name() const { return name_; }
  // A folder for the test's other files (the SQLite file lives here too).
  const TempDir& Dir() const { return dir_; }

  // Setup and inspection through the fixture's own connection. Throw DbError.
  void Exec(const std::string& sql);
  DbRows Query(const std::string& sql);
  // The first value of the first row ("" when there is none).
  std::string Scalar(const std::string& sql);
  // Creates the tables of one alias ("OstrPro" or "OstrTimeSQL").
  void CreateSchema(const std::string& alias);

  // Simulated outages, PostgreSQL only (the shared server keeps running):
  // TerminateConnections ends every session of this test database, as a
  // server restart would, and returns how many were ended; the fixture's own
  // connection reopens on its next use. BlockConnections(true) also refuses
  // new connections (the role may no longer log in) until
  // BlockConnections(false), like a server that is down. On SQLite both
  // throw std::logic_error.
  int TerminateConnections();
  void BlockConnections(bool blocked);

private:
  DbConnection& Own();
  static DbRows MaintenanceQuery(const std::string& sql);
  static void MaintenanceExec(const std::string& sql);
  void RequirePostgres(const char* what) const;
  int EndSessions(bool wait);

  std::string backend_;
  TempDir dir_;
  std::string name_;
  std::string connStr_;
  std::unique_ptr<DbConnection> own_;
};

// A parameterised test over DbBackends() with a fresh database per test.
class DbTest : public testing::TestWithParam<std::string> {
protected:
  void SetUp() override { db_ = std::make_unique<TestDatabase>(GetParam()); }
  void TearDown() override { db_.reset(); }
  TestDatabase& Db() { return *db_; }
  bool IsPostgres() const { return GetParam() == "postgresql"; }

private:
  std::unique_ptr<TestDatabase> db_;
};

}  // namespace px::test

#define PX_INSTANTIATE_DB_TESTS(Suite) \
  INSTANTIATE_TEST_SUITE_P(Db, Suite, testing::ValuesIn(px::test::DbBackends()), px::test::DbBackendName)
