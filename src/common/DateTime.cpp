#include "common/DateTime.h"

#include <ctime>

#include "common/Format.h"

namespace px {

using namespace std::chrono;

DateTime DateTime::FromTimePoint(system_clock::time_point tp) {
  auto secs = time_point_cast<seconds>(tp);
  if (secs > tp) secs -= seconds(1);
  auto ms = duration_cast<milliseconds>(tp - secs).count();
  std::time_t tt = system_clock::to_time_t(secs);
  std::tm tm{};
  localtime_r(&tt, &tm);
  DateTime d;
  d.year = tm.tm_year + 1900;
  d.month = tm.tm_mon + 1;
  d.day = tm.tm_mday;
  d.hour = tm.tm_hour;
  d.minute = tm.tm_min;
  d.second = tm.tm_sec;
  d.msec = static_cast<int>(ms);
  return d;
}

system_clock::time_point DateTime::ToTimePoint() const {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  std::time_t tt = mktime(&tm);
  return system_clock::from_time_t(tt) + milliseconds(msec);
}

static long long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

static void CivilFromDays(long long z, int& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long yy = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

int DateTime::DayOfWeek() const {
  long long z = DaysFromCivil(year, month, day);  // 1970-01-01 was a Thursday
  return static_cast<int>(((z % 7) + 11) % 7);
}

DateTime DateTime::AddDays(int days) const {
  DateTime r = *this;
  CivilFromDays(DaysFromCivil(year, month, day) + days, r.year, r.month, r.day);
  return r;
}

DateTime DateTime::AddMinutes(long long minutes) const {
  long long total = hour * 60LL + minute + minutes;
  long long dayShift = total >= 0 ? total / 1440 : -((-total + 1439) / 1440);
  total -= dayShift * 1440;
  DateTime r = AddDays(static_cast<int>(dayShift));
  r.hour = static_cast<int>(total / 60);
  r.minute = static_cast<int>(total % 60);
  return r;
}

long long DateTime::MinutesBetween(const DateTime& a, const DateTime& b) {
  auto ms = [](const DateTime& t) {
    return ((DaysFromCivil(t.year, t.month, t.day) * 24 + t.hour) * 60 + t.minute) * 60000LL +
           t.second * 1000LL + t.msec;
  };
  return (ms(b) - ms(a)) / 60000;
}

bool DateTime::IsValidDate(int y, int m, int d) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int dim = kDays[m - 1];
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) dim = 29;
  return d <= dim;
}

bool DateTime::IsValidTime(int h, int n, int s) {
  return h >= 0 && h < 24 && n >= 0 && n < 60 && s >= 0 && s < 60;
}

std::string FormatDateTime(std::string_view p, const DateTime& t) {
  std::string out;
  bool lastWasHour = false;
  size_t i = 0;
  auto run = [&](char c) {
    size_t n = 0;
    while (i + n < p.size() && (p[i + n] == c || p[i + n] == c - 32 || p[i + n] == c + 32)) ++n;
    return n;
  };
  while (i < p.size()) {
    char c = static_cast<char>(p[i] | 0x20);
    size_t n;
    switch (c) {
      case 'y':
        n = run('y');
        out += n >= 3 ? Format("%4.4d", t.year) : Format("%2.2d", t.year % 100);
        i += n;
        lastWasHour = false;
        break;
      case 'm':
        n = run('m');
        if (lastWasHour) out += n >= 2 ? Format("%2.2d", t.minute) : std::to_string(t.minute);
        else out += n >= 2 ? Format("%2.2d", t.month) : std::to_string(t.month);
        i += n;
        lastWasHour = false;
        break;
      case 'd':
        n = run('d');
        out += n >= 2 ? Format("%2.2d", t.day) : std::to_string(t.day);
        i += n;
        lastWasHour = false;
        break;
      case 'h':
        n = run('h');
        out += n >= 2 ? Format("%2.2d", t.hour) : std::to_string(t.hour);
        i += n;
        lastWasHour = true;
        break;
      case 'n':
        n = run('n');
        out += n >= 2 ? Format("%2.2d", t.minute) : std::to_string(t.minute);
        i += n;
        lastWasHour = false;
        break;
      case 's':
        n = run('s');
        out += n >= 2 ? Format("%2.2d", t.second) : std::to_string(t.second);
        i += n;
        lastWasHour = false;
        break;
      case 'z':
        n = run('z');
        out += n >= 3 ? Format("%3.3d", t.msec) : std::to_string(t.msec);
        i += n;
        lastWasHour = false;
        break;
      default:
        out += p[i];  // "/" and ":" are this system's own separators
        ++i;
        break;
    }
  }
  return out;
}

std::shared_ptr<Clock> SystemClock::Instance() {
  static std::shared_ptr<Clock> c = std::make_shared<SystemClock>();
  return c;
}

int RecordYear(const std::string& record, const DateTime& now) {
  const bool december = record.size() >= 4 && record.compare(2, 2, "12") == 0;
  return december && now.month < 12 ? now.year - 1 : now.year;
}

}  // namespace px
