#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace px {

class DbConnection;

// One stored transaction as integrators see it, through the REST API and
// the event stream. The main database keeps them in trans_event, one row per
// trans row, inserted in the same transaction: its id, increasing in the
// order the rows were stored, is the cursor a reader pages or resumes by.
struct TransactionEvent {
  std::int64_t id = 0;
  std::string date;  // yyyymmdd
  std::string time;  // hhmmss
  std::string tag, card, code, description, holder, staff;

  // The table, for a database of that dialect ("sqlite" or "postgresql").
  static std::string TableSql(const std::string& dialect);
  // The insert of the event for a trans row in the column order of trans.
  static std::string InsertSql(const std::vector<std::string>& transRow, const std::string& description);
  // The same for several rows in one statement.
  static std::string InsertSql(const std::vector<std::vector<std::string>>& transRows,
                               const std::vector<std::string>& descriptions, size_t from, size_t count);
  // Events after `after`, in storage order, at most `limit`, optionally of
  // one tag and/or one card.
  static std::string SelectSql(std::int64_t after, int limit, const std::string& tag = "",
                               const std::string& card = "");
  // Reads the rows of SelectSql's result (columns by name).
  static std::vector<TransactionEvent> FromRows(const std::vector<std::string>& columns,
                                                const std::vector<std::vector<std::string>>& rows);

  // "2026-12-09T10:15:00+01:00", in the server's time zone on that date.
  std::string IsoTime() const;
  // {"id","time","tag","card","code","description","holder","staff"}; texts
  // that are not UTF-8 are read as Windows-1252, the installations' code page.
  std::string Json() const;
  // A text as UTF-8: as it is when it is UTF-8, else read as Windows-1252.
  static std::string Utf8(const std::string& s);
};

// A moment in the same form as TransactionEvent::IsoTime, in the server's
// time zone at that moment.
std::string IsoLocalTime(std::chrono::system_clock::time_point t);

}  // namespace px
