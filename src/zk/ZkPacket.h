#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace px::zk {

// Command and reply codes of the terminals' network protocol.
enum : uint16_t {
  CMD_DB_RRQ = 7,
  CMD_USER_WRQ = 8,
  CMD_USERTEMP_RRQ = 9,
  CMD_ATTLOG_RRQ = 13,
  CMD_CLEAR_ATTLOG = 15,
  CMD_DELETE_USER = 18,
  CMD_DELETE_USERTEMP = 19,
  CMD_USERTZ_WRQ = 24,
  CMD_TZ_WRQ = 28,
  CMD_GET_FREE_SIZES = 50,
  CMD_VERIFY_WRQ = 79,
  CMD_TMP_WRITE = 87,
  CMD_GET_TIME = 201,
  CMD_SET_TIME = 202,
  CMD_REG_EVENT = 500,
  CMD_CONNECT = 1000,
  CMD_EXIT = 1001,
  CMD_ENABLEDEVICE = 1002,
  CMD_DISABLEDEVICE = 1003,
  CMD_RESTART = 1004,
  CMD_REFRESHDATA = 1013,
  CMD_AUTH = 1102,
  CMD_PREPARE_DATA = 1500,
  CMD_DATA = 1501,
  CMD_FREE_DATA = 1502,
  CMD_DATA_WRRQ = 1503,
  CMD_DATA_RDY = 1504,
  CMD_ACK_OK = 2000,
  CMD_ACK_ERROR = 2001,
  CMD_ACK_UNAUTH = 2005,
  CMD_ACK_UNKNOWN = 0xFFFF,
};

// What the buffered read asks for with CMD_USERTEMP_RRQ / CMD_DB_RRQ.
constexpr uint32_t FCT_FINGERTMP = 2;
constexpr uint32_t FCT_USER = 5;

// A length field above this is a broken or hostile peer, never an allocation.
constexpr uint32_t kMaxPacketLength = 16u << 20;
constexpr size_t kPrefixSize = 8;   // 50 50 82 7D + u32 length
constexpr size_t kHeaderSize = 8;   // command, checksum, session, reply number

struct ZkPacket {
  uint16_t command = 0;
  uint16_t checksum = 0;
  uint16_t session = 0;
  uint16_t reply = 0;
  std::vector<uint8_t> data;
};

// Ones'-complement sum of little-endian 16-bit words (an odd last byte padded
// with zero), carries folded back in, then inverted.
uint16_t ZkChecksum(const uint8_t* p, size_t n);
// Checksum of a header (checksum field taken as zero) followed by data.
uint16_t ZkPacketChecksum(uint16_t command, uint16_t session, uint16_t reply, const uint8_t* data,
                          size_t n);

// One packet on the wire: prefix, length, header, data.
std::vector<uint8_t> ZkEncode(uint16_t command, uint16_t session, uint16_t reply, const uint8_t* data,
                              size_t n);
inline std::vector<uint8_t> ZkEncode(uint16_t command, uint16_t session, uint16_t reply,
                                     const std::vector<uint8_t>& data = {}) {
  return ZkEncode(command, session, reply, data.data(), data.size());
}

// Cuts a TCP byte stream into packets by the length field, whatever pieces
// the stream arrives in. After an error the stream cannot be resynchronised;
// the owner closes the connection.
class ZkReassembler {
public:
  explicit ZkReassembler(bool verifyChecksum = true) : verify_(verifyChecksum) {}
  void Feed(const uint8_t* p, size_t n);
  // True when a whole packet was taken off; false when more bytes are needed
  // or the stream is broken (see Failed).
  bool Next(ZkPacket& out);
  bool Failed() const { return !error_.empty(); }
  const std::string& Error() const { return error_; }
  // Packets whose checksum did not match (only counted when not verifying).
  uint64_t ChecksumMismatches() const { return mismatches_; }
  size_t Buffered() const { return buf_.size() - pos_; }
  void Reset();

private:
  bool verify_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  std::string error_;
  uint64_t mismatches_ = 0;
};

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutU16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
inline void PutU32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

}  // namespace px::zk
