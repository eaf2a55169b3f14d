#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Wire.h"

namespace zksim {

// Cuts the byte stream of one client connection into packets by their
// length field, in whatever pieces the bytes arrive.
class FrameReader {
public:
  enum class Result { NeedMore, Packet, Broken };
  void Add(const uint8_t* p, size_t n);
  // A whole packet into `out` (`checksumOk` tells whether its checksum
  // matched); Broken when the stream cannot be read on.
  Result Next(Packet& out, bool& checksumOk);

private:
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
};

}  // namespace zksim
