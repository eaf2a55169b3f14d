#include "service/ServiceDb.h"

#include "platform/Sql.h"
#include "service/Credentials.h"
#include "common/Counters.h"

namespace px {

ServiceDb::ServiceDb(const ServiceSettings& settings, ILog& log, std::shared_ptr<Clock> clock)
    : Database1([&settings](const std::string& a) { return settings.AliasConnection(a); }, settings.AppDir, &log),
      Database2([&settings](const std::string& a) { return settings.AliasConnection(a); }, settings.AppDir, &log),
      Query1(&Database1),
      Query2(&Database1),
      TMSQuery(&Database2),
      settings_(settings),
      log_(log),
      clock_(std::move(clock)) {
  auto lost = [this] {
    if (OnConnectionLost) OnConnectionLost();
  };
  Database1.OnLost = lost;
  Database2.OnLost = lost;
}

void ServiceDb::Connect(TDatabase& db, const std::string& name, const std::string& alias) {
  db.Close();
  db.DatabaseName = name;
  db.LoginPrompt = false;
  db.AliasName = alias;
  db.Params.clear();
  db.Encoding = settings_.DbEncoding;
  Credentials c = ReadCredentialsFile(settings_.AppDir + "OstrPro.tab");
  if (c.hasUser) {
    db.Params.push_back("User Name=" + c.user);
    db.Params.push_back("Password=" + (c.hasPassword ? c.password : std::string()));
  }
  db.Open();
}

bool ServiceDb::SQLDB_Connect(bool checkOnly) {
  if (checkOnly && Database1.Connected()) return true;
  try {
    Query1.SetDatabase(&Database1);
    Connect(Database1, "GDB1", "OstrPro");
    log_.WriteLog(999, "DB Open - OK");
    if (mainOpened_) ProcessCounters::Add(Counters().mainDbReconnects);
    mainOpened_ = true;
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("DB:") + e.what());
    return false;
  }
  try {
    TMSQuery.SetDatabase(&Database2);
    Connect(Database2, "ARQ1", "OstrTimeSQL");
    log_.WriteLog(999, "TMSDB Open - OK");
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("TMSDB:") + e.what());
  }
  return true;
}

bool ServiceDb::RunSQL(TQuery& q, const std::string& sql, bool isSelect) {
  try {
    q.Close();
    q.SQL = sql;
    if (isSelect) {
      q.Open();
      return q.RecordCount() > 0;
    }
    q.ExecSQL();
    return true;
  } catch (const std::exception& e) {
    const auto* db = dynamic_cast<const DbError*>(&e);
    lastLost_ = db && db->ConnectionLost();
    log_.WriteLog(999, std::string("<RSQL>") + e.what());
    return false;
  }
}

void ServiceDb::DB_Reconnect() {
  try {
    if (DBNeedsReconnect && clock_->LocalNow().minute % 5 == 0) {
      if (OnConnectionLost) OnConnectionLost();
      log_.WriteLog(999, "Reconnect: READ FAILURE");
    }
    ReconnectAttendanceIfDue();
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("<Reconn>") + e.what());
  }
}

void ServiceDb::ReconnectAttendanceIfDue() {
  if (!Database1.Connected() || Database2.Connected()) return;
  DateTime now = clock_->LocalNow();
  int stamp = now.hour * 60 + now.minute;
  if (now.minute % 5 != 0 || stamp == lastArqAttemptMinute_) return;
  lastArqAttemptMinute_ = stamp;
  try {
    Connect(Database2, "ARQ1", "OstrTimeSQL");
    log_.WriteLog(999, "TMSDB Open - OK");
    ProcessCounters::Add(Counters().arqDbReconnects);
  } catch (const std::exception& e) {
    log_.WriteLog(999, std::string("TMSDB:") + e.what());
  }
}

void ServiceDb::DBIni_Write(const std::string& user, const std::string& group, const std::string& entry,
                            const std::string& value) {
  std::string where = " where i_user=" + SqlQuote(user) + " and i_group=" + SqlQuote(group) +
                      " and i_entry=" + SqlQuote(entry);
  bool found = RunSQL(Query2, "select * from ox_ini" + where, true);
  if (found) {
    RunSQL(Query2, "update ox_ini set i_value=" + SqlQuote(value) + where, false);
  } else if (Query2.Active()) {
    // Only a select that answered "no row" may insert: a failed one says
    // nothing about the row, and inserting would make a second one.
    RunSQL(Query2, "insert into ox_ini values(" + SqlQuote(user) + "," + SqlQuote(group) + "," +
                       SqlQuote(entry) + "," + SqlQuote(value) + ")",
           false);
  }
  Query2.Close();
}

}  // namespace px
