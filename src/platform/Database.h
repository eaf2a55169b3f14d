#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Log.h"
#include "platform/DbDriver.h"

namespace px {

// Maps an alias name ("OstrPro", "OstrTimeSQL") to a connection string.
using AliasResolver = std::function<std::string(const std::string& alias)>;

// A named database on an alias, as the service opens it. Params may carry
// "User Name=..." and "Password=..." lines, which reach the driver as the
// user and password. An SQLite database without tables gets the schema.
class TDatabase {
public:
  TDatabase(AliasResolver resolver, std::string baseDir, ILog* log = nullptr);
  ~TDatabase();

  std::string DatabaseName;
  std::string AliasName;
  bool LoginPrompt = false;
  std::vector<std::string> Params;
  // The character set of the texts (DbConnectParams::encoding).
  std::string Encoding;

  void Open();   // throws DbError
  void Close();
  bool Connected() const { return conn_ != nullptr; }
  DbConnection* Connection() { return conn_.get(); }
  // Hands the open connection over, or takes one (a wrapper that watches or
  // disturbs what goes through it, in tests of failures).
  std::unique_ptr<DbConnection> Release() { return std::move(conn_); }
  void Adopt(std::unique_ptr<DbConnection> c) { conn_ = std::move(c); }
  std::string Dialect() const { return conn_ ? conn_->Dialect() : std::string(); }
  // Drops a connection the driver reported lost, so the next Open starts
  // over, and tells the owner (OnLost), who decides about reconnecting.
  void MarkLost() {
    conn_.reset();
    if (OnLost) OnLost();
  }
  std::function<void()> OnLost;

private:
  AliasResolver resolver_;
  std::string baseDir_;
  ILog* log_;
  std::unique_ptr<DbConnection> conn_;
};

// An SQL query component: set SQL, then Open (a select; rows are read at
// once) or ExecSQL (anything else). Fields are found by name without regard
// to case and read as text.
class TQuery {
public:
  explicit TQuery(TDatabase* db = nullptr) : db_(db) {}
  void SetDatabase(TDatabase* db) { db_ = db; }
  TDatabase* Database() const { return db_; }

  std::string SQL;
  void Open();     // throws DbError
  void ExecSQL();  // throws DbError
  void Close();
  bool Active() const { return active_; }

  int RecordCount() const { return static_cast<int>(rows_.rows.size()); }
  bool Eof() const { return !active_ || cur_ >= rows_.rows.size(); }
  void First() { cur_ = 0; }
  void Next() {
    if (cur_ < rows_.rows.size()) ++cur_;
  }
  bool HasField(const std::string& name) const { return FieldIndex(name) >= 0; }
  // Throws DbError "Field 'x' not found" like the original component.
  std::string FieldByName(const std::string& name) const;
  // Text of the field, or "" when there is no such field or no current row.
  std::string FieldOr(const std::string& name, const std::string& def = "") const;
  const DbRows& Rows() const { return rows_; }

private:
  int FieldIndex(const std::string& name) const;
  DbConnection* Conn();
  TDatabase* db_;
  DbRows rows_;
  size_t cur_ = 0;
  bool active_ = false;
};

}  // namespace px
