#pragma once
#include <string_view>

#include "platform/CodePage.h"
#include "platform/DbDriver.h"

struct pg_conn;

namespace px {

// Limits that keep one database call from holding the event loop for long.
// Every call of the service runs on the loop, so a server that stopped
// answering must cost seconds, not minutes.
struct PgLimits {
  // Establishing a connection (libpq's connect_timeout, applied to the whole
  // start-up exchange; libpq treats 1 as 2). A URI may set its own.
  int connectSeconds = 5;
  // A statement running longer is cancelled by the server (statement_timeout)
  // and fails as an ordinary statement error. 0 switches the limit off.
  int statementMs = 10000;
  // How much longer than statementMs the client waits for an answer before it
  // gives the connection up as lost: the server or the network went silent.
  int replyGraceMs = 5000;
};

// A connection to a PostgreSQL database over libpq. Every value is read as
// text (NULL as ""); column names come back as the server returns them,
// which for unquoted identifiers is lower case. Every session runs with
// standard_conforming_strings on, so a backslash in a quoted value is an
// ordinary character whatever the server's default, and with the client
// encoding of DbConnectParams::encoding, in which values are sent and read. Several statements separated
// by ";" may be sent in one Execute; they run as one transaction.
//
// A call that finds the connection gone (the server closed it, a
// communication error, an administrator shutdown, no answer in time) throws
// DbError with "READ FAILURE" in its text and ConnectionLost() set; the
// connection is then dead and must be replaced. Any other failure,
// including a failure to connect, carries neither.
class PgConnection : public DbConnection {
public:
  explicit PgConnection(const DbConnectParams& p, const PgLimits& limits = {});
  ~PgConnection() override;
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  DbRows Query(const std::string& sql) override;
  void Execute(const std::string& sql) override;
  bool HasTables() override;
  std::string Dialect() const override { return "postgresql"; }

  // The server process serving this connection (for diagnostics and tests).
  int BackendPid() const;

private:
  DbRows Run(const std::string& sql);
  void DeclareEncoding(const std::string& encoding);
  bool WaitReadable(long long deadlineMs);
  std::string Text(std::string_view fromServer) const {
    return win1252_ ? Win1252::FromUtf8(fromServer) : std::string(fromServer);
  }
  [[noreturn]] void Lost(const std::string& why);

  pg_conn* conn_ = nullptr;
  PgLimits limits_;
  // Texts go to the server as UTF-8 and come back in Windows-1252, converted
  // here rather than by the server (see CodePage.h).
  bool win1252_ = false;
};

// Opens a PostgreSQL connection from a postgresql:// URI with the default
// limits. When the URI names no user, p.user and p.password (if p.hasUser)
// are used. Throws DbError.
std::unique_ptr<DbConnection> OpenPgConnection(const DbConnectParams& p);

}  // namespace px
