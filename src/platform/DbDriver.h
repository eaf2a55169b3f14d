#pragma once
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace px {

// A database failure. `ConnectionLost` is set when the server went away; the
// message then contains "READ FAILURE", the text the service's log watches
// for to reconnect.
class DbError : public std::runtime_error {
public:
  DbError(const std::string& msg, bool connectionLost = false)
      : std::runtime_error(msg), connectionLost_(connectionLost) {}
  bool ConnectionLost() const { return connectionLost_; }

private:
  bool connectionLost_;
};

// A result set, read completely: every value as text (NULL reads as "").
struct DbRows {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
};

// One open connection of a database product. SQL text is sent unchanged.
class DbConnection {
public:
  virtual ~DbConnection() = default;
  virtual DbRows Query(const std::string& sql) = 0;   // throws DbError
  virtual void Execute(const std::string& sql) = 0;   // throws DbError
  virtual bool HasTables() = 0;
  virtual std::string Dialect() const = 0;            // "sqlite" or "postgresql"
};

struct DbConnectParams {
  std::string connectionString;  // "sqlite:FILE" or "postgresql://..."
  std::string baseDir;           // relative SQLite files live here
  bool hasUser = false;
  std::string user, password;
  // The single-byte character set the service's texts are in (PostgreSQL's
  // name for it, such as WIN1252); empty leaves the server's default. SQLite
  // keeps the bytes as they are given.
  std::string encoding;
};

// Opens by the connection string's scheme; throws DbError.
std::unique_ptr<DbConnection> OpenDbConnection(const DbConnectParams& p);

// The schema for one alias in one dialect ("OstrPro" or "OstrTimeSQL").
std::string SchemaSql(const std::string& dialect, const std::string& alias);

}  // namespace px
