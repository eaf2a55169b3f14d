#include "platform/Database.h"

#include "common/StrUtil.h"
#include "platform/PgDriver.h"
#include "platform/SqliteDriver.h"

namespace px {

std::unique_ptr<DbConnection> OpenDbConnection(const DbConnectParams& p) {
  const std::string& cs = p.connectionString;
  if (StartsWith(LowerCase(cs), "sqlite:")) {
    std::string file = cs.substr(7);
    if (file.empty()) throw DbError("No database file in \"" + cs + "\"");
    if (file[0] != '/' && !p.baseDir.empty()) {
      file = p.baseDir + (EndsWith(p.baseDir, "/") ? "" : "/") + file;
    }
    return std::make_unique<SqliteConnection>(file);
  }
  if (StartsWith(LowerCase(cs), "postgresql://") || StartsWith(LowerCase(cs), "postgres://")) {
    return OpenPgConnection(p);
  }
  throw DbError("Unknown database connection string \"" + cs + "\"");
}

TDatabase::TDatabase(AliasResolver resolver, std::string baseDir, ILog* log)
    : resolver_(std::move(resolver)), baseDir_(std::move(baseDir)), log_(log) {}

TDatabase::~TDatabase() = default;

void TDatabase::Open() {
  if (conn_) return;
  DbConnectParams p;
  p.connectionString = resolver_ ? resolver_(AliasName) : std::string();
  if (p.connectionString.empty()) throw DbError("Alias \"" + AliasName + "\" is not defined");
  p.baseDir = baseDir_;
  p.encoding = Encoding;
  for (const auto& line : Params) {
    if (StartsWith(line, "User Name=")) {
      p.hasUser = true;
      p.user = line.substr(10);
    } else if (StartsWith(line, "Password=")) {
      p.password = line.substr(9);
    }
  }
  auto c = OpenDbConnection(p);
  if (!c->HasTables()) {
    std::string schema = SchemaSql(c->Dialect(), AliasName);
    if (!schema.empty()) {
      c->Execute(schema);
      if (log_) log_->WriteLog(999, "Schema created in empty database " + DatabaseName + " (" + AliasName + ")");
    }
  }
  conn_ = std::move(c);
}

void TDatabase::Close() { conn_.reset(); }

DbConnection* TQuery::Conn() {
  if (!db_) throw DbError("Query has no database");
  // A closed or lost database is reopened only by its owner's reconnect
  // path, never behind a statement's back (a connect may take seconds).
  if (!db_->Connected()) throw DbError("Database " + db_->DatabaseName + " is not open");
  return db_->Connection();
}

void TQuery::Open() {
  Close();
  try {
    rows_ = Conn()->Query(SQL);
  } catch (const DbError& e) {
    if (e.ConnectionLost() && db_) db_->MarkLost();
    throw;
  }
  cur_ = 0;
  active_ = true;
}

void TQuery::ExecSQL() {
  Close();
  try {
    Conn()->Execute(SQL);
  } catch (const DbError& e) {
    if (e.ConnectionLost() && db_) db_->MarkLost();
    throw;
  }
}

void TQuery::Close() {
  active_ = false;
  rows_ = DbRows{};
  cur_ = 0;
}

int TQuery::FieldIndex(const std::string& name) const {
  for (size_t i = 0; i < rows_.columns.size(); ++i)
    if (SameText(rows_.columns[i], name)) return static_cast<int>(i);
  return -1;
}

std::string TQuery::FieldByName(const std::string& name) const {
  int i = FieldIndex(name);
  if (i < 0) throw DbError("Field '" + name + "' not found");
  if (cur_ >= rows_.rows.size()) return {};
  return rows_.rows[cur_][static_cast<size_t>(i)];
}

std::string TQuery::FieldOr(const std::string& name, const std::string& def) const {
  int i = FieldIndex(name);
  if (i < 0 || cur_ >= rows_.rows.size()) return def;
  return rows_.rows[cur_][static_cast<size_t>(i)];
}

}  // namespace px
