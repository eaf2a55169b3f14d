#include "events/TransactionEvent.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "platform/CodePage.h"
#include "platform/Sql.h"

namespace px {

namespace {

bool ValidUtf8(const std::string& s) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = b(i);
    size_t n = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((b(i + k) & 0xC0) != 0x80) return false;
    // Overlong three- and four-byte forms, surrogates and values past
    // U+10FFFF: the JSON writer refuses them (it throws), and so does the
    // broker in a topic; a code-page text can look like one ("\xED\xA0\x80").
    if ((c == 0xE0 && b(i + 1) < 0xA0) || (c == 0xED && b(i + 1) >= 0xA0) || (c == 0xF0 && b(i + 1) < 0x90) ||
        (c == 0xF4 && b(i + 1) >= 0x90))
      return false;
    i += n;
  }
  return true;
}

// "2026-12-09T10:15:00+01:00"; `offset` in seconds east of UTC.
std::string IsoText(int y, int mo, int d, int h, int mi, int s, long offset) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", y, mo, d, h, mi, s,
                offset < 0 ? '-' : '+', std::labs(offset) / 3600, std::labs(offset) % 3600 / 60);
  return buf;
}

int Digits(const std::string& s, size_t pos, size_t n) {
  int v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

}  // namespace

std::string TransactionEvent::TableSql(const std::string& dialect) {
  const std::string id = dialect == "postgresql" ? "id bigserial primary key" : "id integer primary key autoincrement";
  return "create table if not exists trans_event (" + id +
         ", trans_id text, trans_date text, trans_time text, tag_name text, card_number text, trans_code text, "
         "description text, name text, staff_number text);\n"
         "create index if not exists trans_event_tag on trans_event (tag_name, id);\n"
         "create index if not exists trans_event_card on trans_event (card_number, id)";
}

namespace {
// trans: trans_id, trans_time, card_number, trans_date, tag_name, spare1,
// name, staff_number, user1..3, spare2, trans_code, ...
std::string Values(const std::vector<std::string>& r, const std::string& description) {
  auto f = [&](size_t i) { return SqlQuote(i < r.size() ? r[i] : std::string()); };
  return "(" + f(0) + "," + f(3) + "," + f(1) + "," + f(4) + "," + f(2) + "," + f(12) + "," + SqlQuote(description) +
         "," + f(6) + "," + f(7) + ")";
}
const char* const kInsert =
    "insert into trans_event (trans_id, trans_date, trans_time, tag_name, card_number, trans_code, description, "
    "name, staff_number) values ";
}  // namespace

std::string TransactionEvent::InsertSql(const std::vector<std::string>& r, const std::string& description) {
  return kInsert + Values(r, description);
}

std::string TransactionEvent::InsertSql(const std::vector<std::vector<std::string>>& rows,
                                        const std::vector<std::string>& descriptions, size_t from, size_t count) {
  std::string sql = kInsert;
  for (size_t i = from; i < from + count && i < rows.size(); ++i)
    sql += (i == from ? "" : ",") + Values(rows[i], i < descriptions.size() ? descriptions[i] : std::string());
  return sql;
}

std::string TransactionEvent::SelectSql(std::int64_t after, int limit, const std::string& tag,
                                        const std::string& card) {
  std::string sql =
      "select id, trans_date, trans_time, tag_name, card_number, trans_code, description, name, staff_number "
      "from trans_event where id > " +
      std::to_string(after);
  if (!tag.empty()) sql += " and tag_name = " + SqlQuote(tag);
  if (!card.empty()) sql += " and card_number = " + SqlQuote(card);
  return sql + " order by id limit " + std::to_string(limit);
}

std::vector<TransactionEvent> TransactionEvent::FromRows(const std::vector<std::string>& columns,
                                                         const std::vector<std::vector<std::string>>& rows) {
  auto col = [&](const char* name) -> size_t {
    for (size_t i = 0; i < columns.size(); ++i)
      if (columns[i] == name) return i;
    return columns.size();
  };
  const size_t cId = col("id"), cDate = col("trans_date"), cTime = col("trans_time"), cTag = col("tag_name"),
               cCard = col("card_number"), cCode = col("trans_code"), cDesc = col("description"), cName = col("name"),
               cStaff = col("staff_number");
  std::vector<TransactionEvent> out;
  out.reserve(rows.size());
  for (const auto& r : rows) {
    auto at = [&](size_t i) { return i < r.size() ? r[i] : std::string(); };
    TransactionEvent e;
    try {
      e.id = std::stoll(at(cId));
    } catch (const std::exception&) {
      continue;
    }
    e.date = at(cDate);
    e.time = at(cTime);
    e.tag = at(cTag);
    e.card = at(cCard);
    e.code = at(cCode);
    e.description = at(cDesc);
    e.holder = at(cName);
    e.staff = at(cStaff);
    out.push_back(std::move(e));
  }
  return out;
}

std::string TransactionEvent::Utf8(const std::string& s) { return ValidUtf8(s) ? s : Win1252::ToUtf8(s); }

std::string TransactionEvent::IsoTime() const {
  const int y = Digits(date, 0, 4), mo = Digits(date, 4, 2), d = Digits(date, 6, 2);
  const int h = Digits(time, 0, 2), mi = Digits(time, 2, 2), s = time.size() >= 6 ? Digits(time, 4, 2) : 0;
  if (y < 0 || mo < 1 || d < 1 || h < 0 || mi < 0 || s < 0) return {};
  // Not through DateTime::ToTimePoint: its nanosecond time point cannot
  // hold the years a controller's clock may be set to (before 1678, after 2261).
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  std::mktime(&tm);  // fills in the offset of that date
  return IsoText(y, mo, d, h, mi, s, tm.tm_gmtoff);
}

std::string IsoLocalTime(std::chrono::system_clock::time_point t) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&secs, &tm);
  return IsoText(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_gmtoff);
}

std::string TransactionEvent::Json() const {
  nlohmann::ordered_json j;
  j["id"] = std::to_string(id);
  j["time"] = IsoTime();
  j["tag"] = Utf8(tag);
  j["card"] = Utf8(card);
  j["code"] = Utf8(code);
  j["description"] = Utf8(description);
  j["holder"] = Utf8(holder);
  j["staff"] = Utf8(staff);
  return j.dump();
}

}  // namespace px
