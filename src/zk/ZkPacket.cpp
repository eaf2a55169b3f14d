#include "zk/ZkPacket.h"

#include <cstring>

namespace px::zk {

namespace {
const uint8_t kPrefix[4] = {0x50, 0x50, 0x82, 0x7D};

uint32_t AddWords(uint32_t sum, const uint8_t* p, size_t n) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += GetU16(p + i);
  if (n & 1) sum += p[n - 1];
  return sum;
}

uint16_t Fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}
}  // namespace

uint16_t ZkChecksum(const uint8_t* p, size_t n) {
  // Fold as we go so a long packet cannot overflow the 32-bit sum.
  uint32_t sum = 0;
  const size_t block = 1u << 16;
  for (size_t off = 0; off < n; off += block) {
    size_t len = n - off < block ? n - off : block;
    sum = AddWords(sum, p + off, len);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return Fold(sum);
}

uint16_t ZkPacketChecksum(uint16_t command, uint16_t session, uint16_t reply, const uint8_t* data,
                          size_t n) {
  // Words of the header are all at even offsets, so they add in separately.
  uint32_t sum = static_cast<uint32_t>(command) + session + reply;
  sum = (sum & 0xFFFF) + (sum >> 16);
  uint16_t dataSum = static_cast<uint16_t>(~ZkChecksum(data, n));
  return Fold(sum + dataSum);
}

std::vector<uint8_t> ZkEncode(uint16_t command, uint16_t session, uint16_t reply, const uint8_t* data,
                              size_t n) {
  std::vector<uint8_t> out;
  out.reserve(kPrefixSize + kHeaderSize + n);
  out.insert(out.end(), kPrefix, kPrefix + 4);
  PutU32(out, static_cast<uint32_t>(kHeaderSize + n));
  PutU16(out, command);
  PutU16(out, ZkPacketChecksum(command, session, reply, data, n));
  PutU16(out, session);
  PutU16(out, reply);
  if (n) out.insert(out.end(), data, data + n);
  return out;
}

void ZkReassembler::Feed(const uint8_t* p, size_t n) {
  if (Failed() || n == 0) return;
  if (pos_ > 0 && pos_ >= buf_.size() / 2) {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
    pos_ = 0;
  }
  buf_.insert(buf_.end(), p, p + n);
}

bool ZkReassembler::Next(ZkPacket& out) {
  if (Failed()) return false;
  size_t avail = buf_.size() - pos_;
  if (avail == 0) return false;
  const uint8_t* p = buf_.data() + pos_;
  // A wrong prefix byte is known as soon as it arrives.
  size_t check = avail < 4 ? avail : 4;
  if (std::memcmp(p, kPrefix, check) != 0) {
    error_ = "bad packet prefix";
    return false;
  }
  if (avail < kPrefixSize) return false;
  uint32_t length = GetU32(p + 4);
  if (length < kHeaderSize) {
    error_ = "packet length " + std::to_string(length) + " shorter than a header";
    return false;
  }
  if (length > kMaxPacketLength) {
    error_ = "packet length " + std::to_string(length) + " above the cap";
    return false;
  }
  if (avail - kPrefixSize < length) return false;
  const uint8_t* h = p + kPrefixSize;
  out.command = GetU16(h);
  out.checksum = GetU16(h + 2);
  out.session = GetU16(h + 4);
  out.reply = GetU16(h + 6);
  out.data.assign(h + kHeaderSize, h + length);
  pos_ += kPrefixSize + length;
  uint16_t want = ZkPacketChecksum(out.command, out.session, out.reply, out.data.data(), out.data.size());
  if (want != out.checksum) {
    ++mismatches_;
    if (verify_) {
      error_ = "checksum mismatch";
      return false;
    }
  }
  if (pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  }
  return true;
}

void ZkReassembler::Reset() {
  buf_.clear();
  pos_ = 0;
  error_.clear();
}

}  // namespace px::zk
