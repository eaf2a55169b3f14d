#include "FrameReader.h"

namespace zksim {

void FrameReader::Add(const uint8_t* p, size_t n) {
  if (pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  }
  buf_.insert(buf_.end(), p, p + n);
}

FrameReader::Result FrameReader::Next(Packet& out, bool& checksumOk) {
  const size_t left = buf_.size() - pos_;
  const uint8_t* p = buf_.data() + pos_;
  static const uint8_t kStart[4] = {'P', 'P', 0x82, '}'};
  for (size_t i = 0; i < left && i < 4; ++i)
    if (p[i] != kStart[i]) return Result::Broken;
  if (left < 16) return Result::NeedMore;
  const uint32_t length = Le32(p + 4);
  if (length < 8 || length > (16u << 20)) return Result::Broken;
  if (left - 8 < length) return Result::NeedMore;
  out.command = Le16(p + 8);
  out.checksum = Le16(p + 10);
  out.session = Le16(p + 12);
  out.reply = Le16(p + 14);
  out.body.assign(p + 16, p + 8 + length);
  pos_ += 8 + length;
  checksumOk = Checksum(out.command, out.session, out.reply, out.body) == out.checksum;
  return Result::Packet;
}

}  // namespace zksim
