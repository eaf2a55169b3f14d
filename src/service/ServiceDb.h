#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "common/DateTime.h"
#include "common/Log.h"
#include "platform/Database.h"
#include "service/Settings.h"

namespace px {

// The service's two database connections and the one routine through which
// every SQL statement runs. Used on the event loop thread.
class ServiceDb {
public:
  ServiceDb(const ServiceSettings& settings, ILog& log, std::shared_ptr<Clock> clock);

  TDatabase Database1;  // "GDB1" on alias "OstrPro"
  TDatabase Database2;  // "ARQ1" on alias "OstrTimeSQL"
  TQuery Query1, Query2, TMSQuery;

  // True when the main database is open (check-only accepts an open one).
  bool SQLDB_Connect(bool checkOnly);
  // Runs one statement; a select stays open on its first row and reports
  // whether it has one. Errors are logged as "<RSQL>" and give false.
  bool RunSQL(TQuery& q, const std::string& sql, bool isSelect);
  // Whether the last statement that failed in RunSQL failed because the
  // connection went (then a COMMIT in it may have landed or not).
  bool LastFailureLostConnection() const { return lastLost_; }
  // Every timer tick: while a reconnect is owed, retry during every fifth minute.
  void DB_Reconnect();
  void DBIni_Write(const std::string& user, const std::string& group, const std::string& entry,
                   const std::string& value);

  std::atomic<bool> DBNeedsReconnect{false};
  // Either database lost its connection, or the retry of a failed reconnect
  // is due: the owner arms its reconnect (only the database layer may).
  std::function<void()> OnConnectionLost;
  // The attendance database alone: retried during every fifth minute too,
  // at most once a minute, because its loss does not trigger the main
  // reconnect once the main database answers again.
  void ReconnectAttendanceIfDue();

private:
  void Connect(TDatabase& db, const std::string& name, const std::string& alias);
  const ServiceSettings& settings_;
  ILog& log_;
  std::shared_ptr<Clock> clock_;
  int lastArqAttemptMinute_ = -1;
  bool mainOpened_ = false;  // every later open is a reconnect
  bool lastLost_ = false;
};

}  // namespace px
