#include "support/DbTestEnv.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/Sql.h"

namespace px::test {

namespace {

std::atomic<int> g_counter{0};

std::unique_ptr<DbConnection> Connect(const std::string& connStr) {
  DbConnectParams p;
  p.connectionString = connStr;
  return OpenDbConnection(p);
}

// Where the authority ("user:pw@host:port") of a URI starts and ends.
std::pair<size_t, size_t> Authority(const std::string& uri) {
  size_t start = uri.find("://");
  if (start == std::string::npos) throw std::invalid_argument("not a URI: " + uri);
  start += 3;
  size_t end = uri.find_first_of("/?#", start);
  return {start, end == std::string::npos ? uri.size() : end};
}

}  // namespace

std::string PgServerUri() {
  const char* v = std::getenv("PX_PG_URI");
  return v ? std::string(v) : std::string();
}

std::vector<std::string> DbBackends() {
  std::vector<std::string> out{"sqlite"};
  if (!PgServerUri().empty()) out.emplace_back("postgresql");
  return out;
}

std::string DbBackendName(const testing::TestParamInfo<std::string>& info) { return info.param; }

std::string PgUriWithoutUser(const std::string& uri) {
  auto [start, end] = Authority(uri);
  size_t at = uri.rfind('@', end - 1);
  if (at == std::string::npos || at < start) return uri;
  return uri.substr(0, start) + uri.substr(at + 1);
}

TestDatabase::TestDatabase(const std::string& backend) : backend_(backend) {
  if (backend == "sqlite") {
    name_ = dir_.File("test.db");
    connStr_ = "sqlite:" + name_;
  } else if (backend == "postgresql") {
    if (PgServerUri().empty()) throw std::logic_error("PostgreSQL tests need PX_PG_URI");
    name_ = "pxt_" + std::to_string(getpid()) + "_" + std::to_string(++g_counter);
    // A role with a schema of its own name: "$user" heads the default
    // search path, so the role's unqualified tables are its schema's. Far
    // cheaper than a database per test, and just as separate. Superuser, so
    // that a test may create roles of its own.
    MaintenanceExec("DROP SCHEMA IF EXISTS " + name_ + " CASCADE; DROP ROLE IF EXISTS " + name_ +
                    "; CREATE ROLE " + name_ + " LOGIN SUPERUSER PASSWORD " + SqlQuote(name_) +
                    "; CREATE SCHEMA " + name_ + " AUTHORIZATION " + name_);
    std::string server = PgUriWithoutUser(PgServerUri());
    connStr_ = server.substr(0, server.find("://") + 3) + name_ + ":" + name_ + "@" +
               server.substr(server.find("://") + 3);
  } else {
    throw std::invalid_argument("unknown database backend " + backend);
  }
}

TestDatabase::~TestDatabase() {
  own_.reset();
  if (!IsPostgres()) return;
  try {
    EndSessions(false);
    MaintenanceExec("DROP SCHEMA IF EXISTS " + name_ + " CASCADE; DROP OWNED BY " + name_ + "; DROP ROLE " + name_);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "could not drop test schema and role " << name_ << ": " << e.what();
  }
}

AliasResolver TestDatabase::Resolver() const {
  std::string cs = connStr_;
  return [cs](const std::string&) { return cs; };
}

DbConnection& TestDatabase::Own() {
  if (!own_) own_ = Connect(connStr_);
  return *own_;
}

// One connection on PX_PG_URI for the whole test program.
DbRows TestDatabase::MaintenanceQuery(const std::string& sql) {
  static std::mutex m;
  static std::unique_ptr<DbConnection> conn;
  std::lock_guard<std::mutex> g(m);
  for (int attempt = 0;; ++attempt) {
    try {
      if (!conn) conn = Connect(PgServerUri());
      return conn->Query(sql);
    } catch (const DbError& e) {
      if (!e.ConnectionLost() || attempt > 0) throw;
      conn.reset();
    }
  }
}

void TestDatabase::MaintenanceExec(const std::string& sql) { MaintenanceQuery(sql); }

void TestDatabase::Exec(const std::string& sql) {
  try {
    Own().Execute(sql);
  } catch (const DbError& e) {
    if (e.ConnectionLost()) own_.reset();
    throw;
  }
}

DbRows TestDatabase::Query(const std::string& sql) {
  try {
    return Own().Query(sql);
  } catch (const DbError& e) {
    if (e.ConnectionLost()) own_.reset();
    throw;
  }
}

std::string TestDatabase::Scalar(const std::string& sql) {
  DbRows r = Query(sql);
  return r.rows.empty() || r.rows[0].empty() ? std::string() : r.rows[0][0];
}

void TestDatabase::CreateSchema(const std::string& alias) {
  std::string sql = SchemaSql(Own().Dialect(), alias);
  if (sql.empty()) throw std::invalid_argument("no schema for alias " + alias);
  Exec(sql);
}

void TestDatabase::RequirePostgres(const char* what) const {
  if (!IsPostgres()) throw std::logic_error(std::string(what) + " needs the PostgreSQL backend");
}

int TestDatabase::TerminateConnections() {
  RequirePostgres("TerminateConnections");
  own_.reset();
  return EndSessions(true);
}

int TestDatabase::EndSessions(bool wait) {
  DbRows r = MaintenanceQuery("select pid, pg_terminate_backend(pid) from pg_stat_activity where usename = " +
                              SqlQuote(name_) + " and pid <> pg_backend_pid()");
  std::string pids;
  int ended = 0;
  for (const auto& row : r.rows) {
    pids += (pids.empty() ? "" : ",") + row[0];
    ended += row[1] == "t";
  }
  // Wait until the sessions are really gone, so that the test's next
  // statement cannot overtake the termination. (pg_terminate_backend's own
  // wait polls in steps of 100 ms, too slow to use for every test.)
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (wait && !pids.empty() && std::chrono::steady_clock::now() < until &&
         MaintenanceQuery("select count(*) from pg_stat_activity where pid in (" + pids + ")").rows[0][0] != "0") {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return ended;
}

void TestDatabase::BlockConnections(bool blocked) {
  RequirePostgres("BlockConnections");
  MaintenanceExec("ALTER ROLE " + name_ + (blocked ? " NOLOGIN" : " LOGIN"));
  if (blocked) TerminateConnections();
}

}  // namespace px::test
