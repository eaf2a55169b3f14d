#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace px::zk {

struct ZkTime {
  int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// The terminals' clock encoding: seconds in a calendar of 31-day months and
// 12-month years counted from 2000.
uint32_t ZkEncodeTime(const ZkTime& t);
ZkTime ZkDecodeTime(uint32_t v);

// A user as stored in the terminal. `uid` is the terminal's own slot number,
// `userId` the enrolment number the rest of the system knows.
struct ZkUser {
  uint16_t uid = 0;
  std::string userId;
  std::string name;
  std::string password;
  int privilege = 0;  // 0 user, 1 enroller, 2 admin, 3 super admin
  bool enabled = true;
  uint32_t card = 0;
};

// One attendance record. Records of 8 bytes carry only the slot number
// (`uid`) and leave `userId` empty: the enrolment number is found through the
// terminal's user table.
struct ZkAttendance {
  uint16_t uid = 0;
  std::string userId;
  int verify = 0;
  int state = 0;
  ZkTime time;
  uint32_t workCode = 0;
};

struct ZkFinger {
  uint16_t uid = 0;
  int finger = 0;
  int flag = 0;  // 0 invalid, 1 valid, 3 duress
  std::vector<uint8_t> data;
};

constexpr size_t kUserSmall = 28, kUserLarge = 72;
constexpr size_t kLogSmall = 8, kLogMedium = 16, kLogLarge = 40;

// Record size of a table of `bytes` bytes. `count` is the number of records the
// terminal reports (0 when unknown); it settles sizes that both divide the
// table. Failing that, `known` (the size this terminal used before, 0 when
// none) is preferred to the general order, largest first.
size_t ChooseUserSize(size_t bytes, size_t count, size_t known = 0);
size_t ChooseLogSize(size_t bytes, size_t count, size_t known = 0);

// Parsers return false (and keep what came before) when the table is not a
// whole number of records or an entry runs past the end.
bool ParseUsers(const uint8_t* p, size_t n, size_t recSize, std::vector<ZkUser>& out);
bool ParseLogs(const uint8_t* p, size_t n, size_t recSize, std::vector<ZkAttendance>& out);
bool ParseFingers(const uint8_t* p, size_t n, std::vector<ZkFinger>& out);

std::vector<uint8_t> BuildUser(const ZkUser& u, size_t recSize);

// Privilege byte: bit 0 set = disabled, bits 1-3 the level code (0, 1, 3, 7).
uint8_t PrivilegeToken(int privilege, bool enabled);
void ParsePrivilegeToken(uint8_t token, int& privilege, bool& enabled);

// Decimal text of a user id as a number: 0 when it is not a number, clamped
// to INT32_MAX when it is too large.
int UserNumber(const std::string& userId);

}  // namespace px::zk
