#pragma once
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace px::sim {

using SteadyClock = std::chrono::steady_clock;

constexpr char kCR = '\r';
constexpr int kMaxUnit = 16;

// A unit's address byte on the wire: 0xD0 for unit 1 up to 0xDF for unit 16.
inline char AddressByte(int unit) { return static_cast<char>(0xCF + unit); }
inline bool IsAddressByte(char c) {
  const auto v = static_cast<unsigned char>(c);
  return v >= 0xD0 && v <= 0xDF;
}

// Two upper-case hex digits of the byte sum of `data` modulo 256.
std::string Checksum(std::string_view data);

// Address, code, data, checksum of the data, CR.
std::string BuildReply(int unit, std::string_view code, std::string_view data);

// One host frame taken apart. `params` excludes the trailing checksum.
struct Request {
  int unit = 0;
  std::string code;
  std::string params;
  bool checksumOk = true;
  std::string raw;  // the whole frame, address byte to CR
};

// Splits a complete frame (address byte first, CR last). Returns nothing for
// a frame too short to carry an address, a code and its CR.
std::optional<Request> ParseRequest(std::string_view frame);

// A frame found in a byte stream, with the time its first byte arrived.
struct ReceivedFrame {
  std::string bytes;
  SteadyClock::time_point firstByte;
};

// Finds host frames in a byte stream that arrives in arbitrary pieces: an
// address byte starts a frame (dropping any half-collected one), a CR ends
// it, bytes outside a frame are dropped. Overlong frames are discarded so a
// stream of junk cannot grow the buffer without limit.
class FrameSplitter {
public:
  static constexpr std::size_t kMaxFrame = 4096;

  void Feed(std::string_view data, SteadyClock::time_point now,
            std::vector<ReceivedFrame>& out);
  void Reset() { collecting_ = false; current_.clear(); }

private:
  bool collecting_ = false;
  std::string current_;
  SteadyClock::time_point start_{};
};

// Text for traces: the address byte shown as "<U3>", CR as "<CR>", NUL and
// other control or high bytes as "<xx>".
std::string Printable(std::string_view bytes);

}  // namespace px::sim
