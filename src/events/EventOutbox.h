#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/Log.h"
#include "events/TransactionEvent.h"

namespace px {

class TDatabase;
class DbConnection;
struct DbRows;

// The stream's statements on the main database: the events in trans_event,
// the acknowledged position in event_position and the retention of
// trans_event. Loop thread, like every use of that connection. Every call
// is false when the database cannot answer now (a failure is logged once
// until the next success).
class EventOutbox {
public:
  EventOutbox(TDatabase& db, ILog& log) : db_(db), log_(log) {}

  bool Read(std::int64_t after, int limit, std::vector<TransactionEvent>& out);
  // The newest event's id (0 when there is none).
  bool Newest(std::int64_t& id);
  bool LoadPosition(const std::string& stream, std::int64_t& id, bool& found);
  bool SavePosition(const std::string& stream, std::int64_t id);
  // tag_name -> state of rdrmain.
  bool UnitStates(std::map<std::string, std::string>& states);

  // Deletes, a slice at a time, the events stored before the day
  // `retentionDays` before `today`, none after `keepAfter` (the position of
  // a stream that is on; -1 for none); `more` tells whether a slice is left.
  //
  // trans_event has no time of storing, and an event's own date is the
  // controller's clock, which may be far off. So on the first call of each
  // day the newest id is noted in trans_event_day: every id up to it was
  // stored on that day or before, and is deleted once that day is more
  // than `retentionDays` ago.
  bool Purge(const DateTime& today, int retentionDays, std::int64_t keepAfter, bool& more);
  static constexpr int kPurgeSlice = 2000;

private:
  bool Ensure();
  bool Run(const std::string& sql, DbRows* rows);
  TDatabase& db_;
  ILog& log_;
  const DbConnection* ensured_ = nullptr;
  std::string lastError_;
};

}  // namespace px
