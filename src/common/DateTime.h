#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace px {

// A local calendar time, as the protocols and tables carry it.
struct DateTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0, msec = 0;

  static DateTime FromTimePoint(std::chrono::system_clock::time_point tp);  // local time
  std::chrono::system_clock::time_point ToTimePoint() const;                // local time
  // 0 = Sunday .. 6 = Saturday.
  int DayOfWeek() const;
  DateTime AddDays(int days) const;
  DateTime AddMinutes(long long minutes) const;
  // Whole minutes from a to b (truncated towards zero).
  static long long MinutesBetween(const DateTime& a, const DateTime& b);
  static bool IsValidDate(int y, int m, int d);
  static bool IsValidTime(int h, int n, int s);
  bool operator==(const DateTime&) const = default;
};

// Formats with the pattern letters of the system: dd day, mm month (minutes
// when it follows an hour), yy/yyyy year, hh hour 00-23, nn minutes, ss
// seconds, zzz milliseconds; every other character is copied.
std::string FormatDateTime(std::string_view pattern, const DateTime& t);

// A controller's or terminal's record ("ddmmhhnn...") carries no year: it
// is dated in the current one, and a December record read from January on in
// the year before. The store and the terminal module's date check share this.
int RecordYear(const std::string& record, const DateTime& now);

// Where "now" comes from; tests inject a manual clock.
class Clock {
public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point Now() const = 0;
  DateTime LocalNow() const { return DateTime::FromTimePoint(Now()); }
};

class SystemClock : public Clock {
public:
  std::chrono::system_clock::time_point Now() const override { return std::chrono::system_clock::now(); }
  static std::shared_ptr<Clock> Instance();
};

// A clock that only moves when told to.
class ManualClock : public Clock {
public:
  explicit ManualClock(DateTime t) { Set(t); }
  std::chrono::system_clock::time_point Now() const override { return now_; }
  void Set(const DateTime& t) { now_ = t.ToTimePoint(); }
  void Advance(std::chrono::milliseconds d) { now_ += d; }

private:
  std::chrono::system_clock::time_point now_;
};

}  // namespace px
