#include "zk/ZkRecords.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "zk/ZkPacket.h"

namespace px::zk {

uint32_t ZkEncodeTime(const ZkTime& t) {
  uint32_t days = static_cast<uint32_t>(((t.year % 100) * 12 * 31) + ((t.month - 1) * 31) + (t.day - 1));
  return days * 86400u + static_cast<uint32_t>((t.hour * 60 + t.minute) * 60 + t.second);
}

ZkTime ZkDecodeTime(uint32_t v) {
  ZkTime t;
  t.second = static_cast<int>(v % 60);
  v /= 60;
  t.minute = static_cast<int>(v % 60);
  v /= 60;
  t.hour = static_cast<int>(v % 24);
  v /= 24;
  t.day = static_cast<int>(v % 31) + 1;
  v /= 31;
  t.month = static_cast<int>(v % 12) + 1;
  v /= 12;
  t.year = static_cast<int>(v) + 2000;
  return t;
}

namespace {

size_t Choose(size_t bytes, size_t count, size_t known, std::initializer_list<size_t> sizes) {
  auto listed = [&](size_t s) { return std::find(sizes.begin(), sizes.end(), s) != sizes.end(); };
  if (count > 0 && bytes % count == 0 && listed(bytes / count)) return bytes / count;
  if (known > 0 && listed(known) && bytes % known == 0) return known;
  for (size_t s : sizes)
    if (bytes % s == 0) return s;
  return 0;
}

std::string Text(const uint8_t* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != 0) ++len;
  return std::string(reinterpret_cast<const char*>(p), len);
}

// Text into a field of `width` bytes; a terminated field keeps a zero after
// the text, a password field may be filled to its last byte.
void PutText(std::vector<uint8_t>& v, size_t at, const std::string& s, size_t width, bool terminated = true) {
  size_t n = std::min(s.size(), terminated ? width - 1 : width);
  std::memcpy(v.data() + at, s.data(), n);
}

void Put16At(std::vector<uint8_t>& v, size_t at, uint16_t x) {
  v[at] = static_cast<uint8_t>(x);
  v[at + 1] = static_cast<uint8_t>(x >> 8);
}

void Put32At(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

}  // namespace

size_t ChooseUserSize(size_t bytes, size_t count, size_t known) {
  return Choose(bytes, count, known, {kUserLarge, kUserSmall});
}
size_t ChooseLogSize(size_t bytes, size_t count, size_t known) {
  return Choose(bytes, count, known, {kLogLarge, kLogMedium, kLogSmall});
}

uint8_t PrivilegeToken(int privilege, bool enabled) {
  static const uint8_t codes[4] = {0, 1, 3, 7};
  int p = std::clamp(privilege, 0, 3);
  return static_cast<uint8_t>((codes[p] << 1) | (enabled ? 0 : 1));
}

void ParsePrivilegeToken(uint8_t token, int& privilege, bool& enabled) {
  enabled = (token & 1) == 0;
  int code = (token >> 1) & 7;
  privilege = code == 7 ? 3 : code >= 3 ? 2 : code >= 1 ? 1 : 0;
}

int UserNumber(const std::string& userId) {
  if (userId.empty()) return 0;
  long long v = 0;
  for (char c : userId) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
    if (v > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(v);
}

bool ParseUsers(const uint8_t* p, size_t n, size_t recSize, std::vector<ZkUser>& out) {
  if ((recSize != kUserSmall && recSize != kUserLarge) || n % recSize != 0) return false;
  for (size_t off = 0; off + recSize <= n; off += recSize) {
    const uint8_t* r = p + off;
    ZkUser u;
    u.uid = GetU16(r);
    ParsePrivilegeToken(r[2], u.privilege, u.enabled);
    if (recSize == kUserSmall) {
      u.password = Text(r + 3, 5);
      u.name = Text(r + 8, 8);
      u.card = GetU32(r + 16);
      u.userId = std::to_string(GetU32(r + 24));
    } else {
      u.password = Text(r + 3, 8);
      u.name = Text(r + 11, 24);
      u.card = GetU32(r + 35);
      u.userId = Text(r + 48, 24);
    }
    out.push_back(std::move(u));
  }
  return true;
}

std::vector<uint8_t> BuildUser(const ZkUser& u, size_t recSize) {
  std::vector<uint8_t> v(recSize, 0);
  Put16At(v, 0, u.uid);
  v[2] = PrivilegeToken(u.privilege, u.enabled);
  if (recSize == kUserSmall) {
    PutText(v, 3, u.password, 5, false);
    PutText(v, 8, u.name, 8);
    Put32At(v, 16, u.card);
    v[21] = 1;  // group
    Put32At(v, 24, static_cast<uint32_t>(UserNumber(u.userId)));
  } else {
    PutText(v, 3, u.password, 8, false);
    PutText(v, 11, u.name, 24);
    Put32At(v, 35, u.card);
    v[39] = 1;  // group
    PutText(v, 48, u.userId, 24);
  }
  return v;
}

bool ParseLogs(const uint8_t* p, size_t n, size_t recSize, std::vector<ZkAttendance>& out) {
  if ((recSize != kLogSmall && recSize != kLogMedium && recSize != kLogLarge) || n % recSize != 0)
    return false;
  for (size_t off = 0; off + recSize <= n; off += recSize) {
    const uint8_t* r = p + off;
    ZkAttendance a;
    if (recSize == kLogSmall) {
      a.uid = GetU16(r);
      a.verify = r[2];
      a.time = ZkDecodeTime(GetU32(r + 3));
      a.state = r[7];
    } else if (recSize == kLogMedium) {
      a.userId = std::to_string(GetU32(r));
      a.time = ZkDecodeTime(GetU32(r + 4));
      a.verify = r[8];
      a.state = r[9];
      a.workCode = GetU32(r + 12);
    } else {
      a.uid = GetU16(r);
      a.userId = Text(r + 2, 24);
      a.verify = r[26];
      a.time = ZkDecodeTime(GetU32(r + 27));
      a.state = r[31];
    }
    out.push_back(std::move(a));
  }
  return true;
}

bool ParseFingers(const uint8_t* p, size_t n, std::vector<ZkFinger>& out) {
  size_t off = 0;
  while (off < n) {
    if (n - off < 6) return false;
    size_t size = GetU16(p + off);
    if (size < 6 || size > n - off) return false;
    ZkFinger f;
    f.uid = GetU16(p + off + 2);
    f.finger = p[off + 4];
    f.flag = p[off + 5];
    f.data.assign(p + off + 6, p + off + size);
    out.push_back(std::move(f));
    off += size;
  }
  return true;
}

}  // namespace px::zk
