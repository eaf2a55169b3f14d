#pragma once
// The simulated terminal's side of the wire, written from the terminals'
// published protocol notes on its own: it shares no code with the driver, so
// that a mistake in one is not repeated in the other and tests between them
// can catch it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zksim/ZkSim.h"

namespace zksim {

// Command and reply numbers as the notes list them.
namespace op {
enum : uint16_t {
  DbRead = 7,            // CMD_DB_RRQ
  UserWrite = 8,         // CMD_USER_WRQ
  UserTempRead = 9,      // CMD_USERTEMP_RRQ
  AttLogRead = 13,       // CMD_ATTLOG_RRQ
  ClearAttLog = 15,      // CMD_CLEAR_ATTLOG
  DeleteUser = 18,       // CMD_DELETE_USER
  DeleteUserTemp = 19,   // CMD_DELETE_USERTEMP
  UserTzWrite = 24,      // CMD_USERTZ_WRQ
  TzWrite = 28,          // CMD_TZ_WRQ
  FreeSizes = 50,        // CMD_GET_FREE_SIZES
  VerifyWrite = 79,      // CMD_VERIFY_WRQ
  TemplateWrite = 87,    // CMD_TMP_WRITE
  GetTime = 201,
  SetTime = 202,
  Event = 500,           // CMD_REG_EVENT
  Connect = 1000,
  Exit = 1001,
  Enable = 1002,
  Disable = 1003,
  Restart = 1004,
  Refresh = 1013,
  Auth = 1102,
  PrepareData = 1500,
  Data = 1501,
  FreeData = 1502,
  DataWriteRead = 1503,  // CMD_DATA_WRRQ: a table by buffered read
  DataReady = 1504,      // CMD_DATA_RDY: one chunk of it
  AckOk = 2000,
  AckError = 2001,
  AckUnauth = 2005,
  AckUnknown = 0xFFFF,
};
}  // namespace op

// The table a buffered read names.
constexpr uint32_t kTableTemplates = 2;
constexpr uint32_t kTableUsers = 5;

struct Packet {
  uint16_t command = 0, checksum = 0, session = 0, reply = 0;
  std::vector<uint8_t> body;
};

// Little-endian fields.
uint16_t Le16(const uint8_t* p);
uint32_t Le32(const uint8_t* p);
void Add16(std::vector<uint8_t>& out, uint16_t v);
void Add32(std::vector<uint8_t>& out, uint32_t v);

// The checksum the notes give: the 8-byte header with a zero checksum field
// and the body, as little-endian 16-bit words (an odd byte alone), added
// with the carries wrapped around, then inverted.
uint16_t Checksum(uint16_t command, uint16_t session, uint16_t reply, const std::vector<uint8_t>& body);
// "PP\x82}" + length + header + body.
std::vector<uint8_t> Frame(uint16_t command, uint16_t session, uint16_t reply, const std::vector<uint8_t>& body);

// The communication password word for a session, as a client must send it.
std::vector<uint8_t> AuthWord(uint32_t password, uint16_t session, uint8_t ticks);

// The clock as the terminals count it: 31-day months, 12-month years from 2000.
uint32_t PackTime(const Time& t);
Time UnpackTime(uint32_t v);
// The terminal's clock now: local time moved by `offset` seconds, the
// difference a time set by a client left.
Time LocalClock(int64_t offset);

// Records in the terminals' layouts. A user record is 28 or 72 bytes, an
// attendance record 8, 16 or 40 (8-byte records carry the slot, not the
// enrolment number).
std::vector<uint8_t> UserBytes(const User& u, size_t size);
bool UserFromBytes(const uint8_t* p, size_t size, User& u);
std::vector<uint8_t> RecordBytes(const Record& r, uint16_t slot, size_t size);
std::vector<uint8_t> FingerBytes(const Finger& f);

}  // namespace zksim
