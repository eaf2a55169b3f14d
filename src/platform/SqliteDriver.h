#pragma once
#include "platform/DbDriver.h"

struct sqlite3;

namespace px {

class SqliteConnection : public DbConnection {
public:
  explicit SqliteConnection(const std::string& file);
  ~SqliteConnection() override;
  DbRows Query(const std::string& sql) override;
  void Execute(const std::string& sql) override;
  bool HasTables() override;
  std::string Dialect() const override { return "sqlite"; }

private:
  [[noreturn]] void Fail(const std::string& what, int rc);
  sqlite3* db_ = nullptr;
  std::string file_;
};

}  // namespace px
