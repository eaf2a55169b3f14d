#include "Wire.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace zksim {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] + 256u * p[1]); }

uint32_t Le32(const uint8_t* p) { return Le16(p) + 65536u * Le16(p + 2); }

void Add16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void Add32(std::vector<uint8_t>& out, uint32_t v) {
  Add16(out, static_cast<uint16_t>(v & 0xFFFF));
  Add16(out, static_cast<uint16_t>(v >> 16));
}

uint16_t Checksum(uint16_t command, uint16_t session, uint16_t reply, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> all;
  all.reserve(8 + body.size());
  Add16(all, command);
  Add16(all, 0);
  Add16(all, session);
  Add16(all, reply);
  all.insert(all.end(), body.begin(), body.end());
  uint64_t sum = 0;
  for (size_t i = 0; i < all.size(); i += 2) sum += i + 1 < all.size() ? Le16(&all[i]) : all[i];
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

std::vector<uint8_t> Frame(uint16_t command, uint16_t session, uint16_t reply, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out = {'P', 'P', 0x82, '}'};
  Add32(out, static_cast<uint32_t>(8 + body.size()));
  Add16(out, command);
  Add16(out, Checksum(command, session, reply, body));
  Add16(out, session);
  Add16(out, reply);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<uint8_t> AuthWord(uint32_t password, uint16_t session, uint8_t ticks) {
  uint32_t mirrored = 0;
  for (int bit = 0; bit < 32; ++bit)
    if (password & (1u << bit)) mirrored |= 1u << (31 - bit);
  uint32_t k = mirrored + session;
  const char mask[4] = {'Z', 'K', 'S', 'O'};
  uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(((k >> (8 * i)) & 0xFF) ^ static_cast<uint8_t>(mask[i]));
  // The two 16-bit halves change places, then the tick byte is mixed in
  // (and stands alone as the third byte).
  const uint8_t swapped[4] = {b[2], b[3], b[0], b[1]};
  return {static_cast<uint8_t>(swapped[0] ^ ticks), static_cast<uint8_t>(swapped[1] ^ ticks), ticks,
          static_cast<uint8_t>(swapped[3] ^ ticks)};
}

uint32_t PackTime(const Time& t) {
  uint32_t days = (static_cast<uint32_t>(t.year - 2000) * 12u + static_cast<uint32_t>(t.month - 1)) * 31u +
                  static_cast<uint32_t>(t.day - 1);
  return ((days * 24u + static_cast<uint32_t>(t.hour)) * 60u + static_cast<uint32_t>(t.minute)) * 60u +
         static_cast<uint32_t>(t.second);
}

Time UnpackTime(uint32_t v) {
  Time t;
  t.second = static_cast<int>(v % 60);
  t.minute = static_cast<int>(v / 60 % 60);
  t.hour = static_cast<int>(v / 3600 % 24);
  uint32_t days = v / 86400;
  t.day = static_cast<int>(days % 31) + 1;
  t.month = static_cast<int>(days / 31 % 12) + 1;
  t.year = static_cast<int>(days / 372) + 2000;
  return t;
}

Time LocalClock(int64_t offset) {
  std::time_t now = static_cast<std::time_t>(std::time(nullptr) + offset);
  std::tm tm{};
  localtime_r(&now, &tm);
  return Time{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

namespace {

// A record of fixed size filled field by field at the notes' offsets.
class Layout {
public:
  explicit Layout(size_t size) : b_(size, 0) {}
  void U8(size_t at, uint8_t v) { b_.at(at) = v; }
  void U16(size_t at, uint16_t v) {
    U8(at, static_cast<uint8_t>(v & 0xFF));
    U8(at + 1, static_cast<uint8_t>(v >> 8));
  }
  void U32(size_t at, uint32_t v) {
    U16(at, static_cast<uint16_t>(v & 0xFFFF));
    U16(at + 2, static_cast<uint16_t>(v >> 16));
  }
  // Text with at least one zero after it inside the field.
  void Text(size_t at, const std::string& s, size_t field) {
    std::memcpy(b_.data() + at, s.data(), std::min(s.size(), field - 1));
  }
  std::vector<uint8_t> Take() { return std::move(b_); }

private:
  std::vector<uint8_t> b_;
};

std::string TextAt(const uint8_t* p, size_t field) {
  return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), field));
}

uint8_t Token(const User& u) {
  static const uint8_t level[4] = {0, 1, 3, 7};
  return static_cast<uint8_t>(level[std::clamp(u.privilege, 0, 3)] << 1 | (u.enabled ? 0 : 1));
}

uint32_t Number(const std::string& s) {
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    v = std::min<uint64_t>(v * 10 + static_cast<uint64_t>(c - '0'), 0xFFFFFFFFu);
  }
  return static_cast<uint32_t>(v);
}

}  // namespace

std::vector<uint8_t> UserBytes(const User& u, size_t size) {
  Layout r(size);
  r.U16(0, u.slot);
  r.U8(2, Token(u));
  if (size == 28) {
    r.Text(3, u.password, 6);
    r.Text(8, u.name, 8);
    r.U32(16, u.card);
    r.U8(21, 1);
    r.U32(24, Number(u.userId));
  } else {
    r.Text(3, u.password, 9);
    r.Text(11, u.name, 24);
    r.U32(35, u.card);
    r.U8(39, 1);
    r.Text(48, u.userId, 24);
  }
  return r.Take();
}

bool UserFromBytes(const uint8_t* p, size_t size, User& u) {
  if (size != 28 && size != 72) return false;
  u.slot = Le16(p);
  u.enabled = (p[2] & 1) == 0;
  switch ((p[2] >> 1) & 7) {
    case 0: u.privilege = 0; break;
    case 1: u.privilege = 1; break;
    case 7: u.privilege = 3; break;
    default: u.privilege = 2; break;
  }
  if (size == 28) {
    u.password = TextAt(p + 3, 5);
    u.name = TextAt(p + 8, 8);
    u.card = Le32(p + 16);
    u.userId = std::to_string(Le32(p + 24));
  } else {
    u.password = TextAt(p + 3, 8);
    u.name = TextAt(p + 11, 24);
    u.card = Le32(p + 35);
    u.userId = TextAt(p + 48, 24);
  }
  return true;
}

std::vector<uint8_t> RecordBytes(const Record& rec, uint16_t slot, size_t size) {
  Layout r(size);
  const uint32_t when = PackTime(rec.time);
  if (size == 8) {
    r.U16(0, slot);
    r.U8(2, static_cast<uint8_t>(rec.verify));
    r.U32(3, when);
    r.U8(7, static_cast<uint8_t>(rec.state));
  } else if (size == 16) {
    r.U32(0, Number(rec.userId));
    r.U32(4, when);
    r.U8(8, static_cast<uint8_t>(rec.verify));
    r.U8(9, static_cast<uint8_t>(rec.state));
    r.U32(12, rec.workCode);
  } else {
    r.U16(0, slot);
    r.Text(2, rec.userId, 24);
    r.U8(26, static_cast<uint8_t>(rec.verify));
    r.U32(27, when);
    r.U8(31, static_cast<uint8_t>(rec.state));
  }
  return r.Take();
}

std::vector<uint8_t> FingerBytes(const Finger& f) {
  std::vector<uint8_t> out;
  Add16(out, static_cast<uint16_t>(6 + f.data.size()));
  Add16(out, f.slot);
  out.push_back(static_cast<uint8_t>(f.finger));
  out.push_back(static_cast<uint8_t>(f.flag));
  out.insert(out.end(), f.data.begin(), f.data.end());
  return out;
}

}  // namespace zksim
