#include "platform/PgDriver.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <string_view>
#include <vector>

#include "common/StrUtil.h"
#include "platform/CodePage.h"
#include "platform/Sql.h"

namespace px {

namespace {

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// libpq messages end in a newline and may span several lines ("server
// closed the connection unexpectedly\n\tThis probably means ..."); a log
// line wants one line.
std::string OneLine(const char* msg) {
  std::string out;
  for (const char* c = msg ? msg : ""; *c; ++c) {
    char ch = (*c == '\n' || *c == '\r' || *c == '\t') ? ' ' : *c;
    if (ch == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += ch;
  }
  return Trim(out);
}

// SQLSTATEs after which the session is gone even if libpq has not noticed
// yet: class 08 (connection exception) and the operator intervention codes
// for shutdown and termination (57P01..57P03). 57014, a cancelled
// statement, leaves the session usable.
bool IsConnectionState(std::string_view state) {
  return StartsWith(state, "08") || state == "57P01" || state == "57P02" || state == "57P03";
}

bool UriHasUser(const std::string& uri) {
  char* err = nullptr;
  PQconninfoOption* opts = PQconninfoParse(uri.c_str(), &err);
  if (!opts) {
    std::string msg = OneLine(err);
    PQfreemem(err);
    throw DbError("Invalid PostgreSQL connection string: " + msg);
  }
  bool has = false;
  for (PQconninfoOption* o = opts; o->keyword; ++o)
    if (std::string_view(o->keyword) == "user" && o->val && *o->val) has = true;
  PQconninfoFree(opts);
  return has;
}

void IgnoreNotice(void*, const char*) {}

}  // namespace

PgConnection::PgConnection(const DbConnectParams& p, const PgLimits& limits) : limits_(limits) {
  const std::string connectTimeout = std::to_string(limits.connectSeconds);
  // Keywords before "dbname" are defaults the URI may override; those after
  // it override the URI. Keep-alives notice a peer that vanished without a
  // word while the connection is idle.
  std::vector<const char*> keys = {"connect_timeout", "keepalives", "keepalives_idle",
                                   "keepalives_interval", "keepalives_count", "fallback_application_name",
                                   "dbname"};
  std::vector<const char*> vals = {connectTimeout.c_str(), "1", "30", "5", "3", "portexd",
                                   p.connectionString.c_str()};
  if (p.hasUser && !UriHasUser(p.connectionString)) {
    if (!p.user.empty()) {
      keys.push_back("user");
      vals.push_back(p.user.c_str());
    }
    if (!p.password.empty()) {
      keys.push_back("password");
      vals.push_back(p.password.c_str());
    }
  }
  keys.push_back(nullptr);
  vals.push_back(nullptr);

  conn_ = PQconnectdbParams(keys.data(), vals.data(), 1);
  if (!conn_) throw DbError("Unable to open PostgreSQL database: out of memory");
  if (PQstatus(conn_) != CONNECTION_OK) {
    // Never "READ FAILURE" here: that text makes the service reconnect,
    // and a failed reconnect must not trigger another one.
    std::string msg = "Unable to open PostgreSQL database";
    if (const char* db = PQdb(conn_); db && *db) msg += std::string(" ") + db;
    msg += ": " + OneLine(PQerrorMessage(conn_));
    PQfinish(conn_);
    conn_ = nullptr;
    throw DbError(msg);
  }
  PQsetNoticeProcessor(conn_, IgnoreNotice, nullptr);
  try {
    // Values are quoted by doubling apostrophes only: a backslash must not
    // be an escape character, whatever the server's configuration says.
    Run("SET statement_timeout = " + std::to_string(limits_.statementMs > 0 ? limits_.statementMs : 0) +
        "; SET standard_conforming_strings = on");
    DeclareEncoding(p.encoding);
  } catch (const DbError& e) {
    // Still opening: a failure here is a failed connect, not a lost one.
    std::string why = e.what();
    if (e.ConnectionLost()) why = why.substr(std::string_view("READ FAILURE: ").size());
    if (conn_) PQfinish(conn_);
    conn_ = nullptr;
    throw DbError("Unable to open PostgreSQL database: " + why);
  }
}

void PgConnection::DeclareEncoding(const std::string& encoding) {
  if (encoding.empty()) return;
  const char* server = PQparameterStatus(conn_, "server_encoding");
  if (Win1252::IsName(encoding) && server && UpperCase(server) == "UTF8") {
    Run("SET client_encoding = 'UTF8'");
    win1252_ = true;
    return;
  }
  // The server converts (an unknown name fails the connect, which is the
  // clear error a mistyped setting deserves).
  Run("SET client_encoding = " + SqlQuote(encoding));
}

PgConnection::~PgConnection() {
  if (conn_) PQfinish(conn_);
}

int PgConnection::BackendPid() const { return conn_ ? PQbackendPID(conn_) : 0; }

void PgConnection::Lost(const std::string& why) {
  if (conn_) {
    PQfinish(conn_);
    conn_ = nullptr;
  }
  throw DbError("READ FAILURE: " + why, true);
}

// Waits until the server has sent something. False when the deadline
// passed first; deadlineMs < 0 waits without limit.
bool PgConnection::WaitReadable(long long deadlineMs) {
  for (;;) {
    int wait = -1;
    if (deadlineMs >= 0) {
      long long left = deadlineMs - NowMs();
      if (left <= 0) return false;
      wait = static_cast<int>(left > INT_MAX ? INT_MAX : left);
    }
    int fd = PQsocket(conn_);
    if (fd < 0) return true;  // closed: PQconsumeInput says why
    pollfd pfd{fd, POLLIN, 0};
    int rc = poll(&pfd, 1, wait);
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return true;  // let PQconsumeInput report it
  }
}

DbRows PgConnection::Run(const std::string& sql) {
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) Lost("the connection to the database server is closed");
  if (!PQsendQuery(conn_, (win1252_ ? Win1252::ToUtf8(sql) : sql).c_str())) {
    std::string msg = OneLine(PQerrorMessage(conn_));
    if (PQstatus(conn_) != CONNECTION_OK) Lost(msg);
    throw DbError(msg);
  }
  const long long deadline =
      limits_.statementMs > 0 ? NowMs() + limits_.statementMs + limits_.replyGraceMs : -1;

  DbRows out;
  std::string error, state;
  for (;;) {
    while (PQisBusy(conn_)) {
      if (!WaitReadable(deadline)) {
        Lost("no answer from the database server within " +
             std::to_string(limits_.statementMs + limits_.replyGraceMs) + " ms");
      }
      if (!PQconsumeInput(conn_)) Lost(OneLine(PQerrorMessage(conn_)));
    }
    PGresult* res = PQgetResult(conn_);
    if (!res) break;
    ExecStatusType st = PQresultStatus(res);
    if (st == PGRES_TUPLES_OK) {
      // With several statements the rows of the last select are the answer.
      out = DbRows{};
      int nc = PQnfields(res), nr = PQntuples(res);
      for (int c = 0; c < nc; ++c) out.columns.emplace_back(Text(PQfname(res, c)));
      out.rows.reserve(static_cast<size_t>(nr));
      for (int r = 0; r < nr; ++r) {
        std::vector<std::string> row(static_cast<size_t>(nc));
        for (int c = 0; c < nc; ++c)
          if (!PQgetisnull(res, r, c))
            row[static_cast<size_t>(c)] =
                Text(std::string_view(PQgetvalue(res, r, c), static_cast<size_t>(PQgetlength(res, r, c))));
        out.rows.push_back(std::move(row));
      }
    } else if (st != PGRES_COMMAND_OK && st != PGRES_EMPTY_QUERY && error.empty()) {
      // Read on to the end so the connection is ready for the next call.
      error = OneLine(PQresultErrorMessage(res));
      if (error.empty()) error = OneLine(PQerrorMessage(conn_));
      if (error.empty()) error = PQresStatus(st);
      const char* s = PQresultErrorField(res, PG_DIAG_SQLSTATE);
      state = s ? s : "";
    }
    PQclear(res);
  }
  if (PQstatus(conn_) != CONNECTION_OK) Lost(error.empty() ? OneLine(PQerrorMessage(conn_)) : error);
  if (!error.empty()) {
    error = Text(error);  // it may quote a value
    if (IsConnectionState(state)) Lost(error);
    throw DbError(error);
  }
  return out;
}

DbRows PgConnection::Query(const std::string& sql) { return Run(sql); }

void PgConnection::Execute(const std::string& sql) { Run(sql); }

// The catalog rather than information_schema: the latter hides tables the
// user has no rights on, which would make a populated database look empty.
bool PgConnection::HasTables() {
  DbRows r = Run(
      "select count(*) from pg_catalog.pg_tables where schemaname = current_schema()");
  return !r.rows.empty() && !r.rows[0].empty() && r.rows[0][0] != "0";
}

std::unique_ptr<DbConnection> OpenPgConnection(const DbConnectParams& p) {
  return std::make_unique<PgConnection>(p);
}

}  // namespace px
