#include "platform/SqliteDriver.h"

#include <sqlite3.h>

namespace px {

SqliteConnection::SqliteConnection(const std::string& file) : file_(file) {
  int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    throw DbError("Unable to open database " + file + ": " + msg);
  }
  sqlite3_busy_timeout(db_, 5000);
  // WAL lets readers go on while a tick writes. FULL syncs the log at every
  // commit: a row the spool counts as stored must survive a power cut, and
  // NORMAL may lose the last commits in WAL mode.
  sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  // Confirm the file really is a database we can read.
  char* err = nullptr;
  rc = sqlite3_exec(db_, "select count(*) from sqlite_master", nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errstr(rc);
    sqlite3_free(err);
    sqlite3_close(db_);
    db_ = nullptr;
    throw DbError("Unable to open database " + file + ": " + msg);
  }
}

SqliteConnection::~SqliteConnection() {
  if (db_) sqlite3_close(db_);
}

void SqliteConnection::Fail(const std::string& sql, int rc) {
  std::string msg = sqlite3_errmsg(db_);
  // A file that vanished or became unreadable under us is a lost connection.
  bool lost = rc == SQLITE_IOERR || rc == SQLITE_CANTOPEN || rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
  if (lost) msg = "READ FAILURE: " + msg;
  throw DbError(msg, lost);
}

DbRows SqliteConnection::Query(const std::string& sql) {
  DbRows out;
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr);
  if (rc != SQLITE_OK) Fail(sql, rc);
  int n = sqlite3_column_count(st);
  for (int i = 0; i < n; ++i) out.columns.emplace_back(sqlite3_column_name(st, i));
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    std::vector<std::string> row(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      auto* txt = sqlite3_column_text(st, i);
      if (txt) row[static_cast<size_t>(i)].assign(reinterpret_cast<const char*>(txt),
                                                 static_cast<size_t>(sqlite3_column_bytes(st, i)));
    }
    out.rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) {
    int code = rc;
    sqlite3_finalize(st);
    Fail(sql, code);
  }
  sqlite3_finalize(st);
  return out;
}

void SqliteConnection::Execute(const std::string& sql) {
  char* err = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    sqlite3_free(err);
    Fail(sql, rc);
  }
}

bool SqliteConnection::HasTables() {
  auto r = Query("select count(*) from sqlite_master where type='table'");
  return !r.rows.empty() && r.rows[0][0] != "0";
}

}  // namespace px
