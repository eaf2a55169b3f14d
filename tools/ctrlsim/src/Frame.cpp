#include "ctrlsim/Frame.h"

#include <cstdio>

namespace px::sim {

std::string Checksum(std::string_view data) {
  unsigned sum = 0;
  for (char c : data) sum += static_cast<unsigned char>(c);
  char buf[4];
  std::snprintf(buf, sizeof buf, "%2.2X", sum % 256);
  return buf;
}

std::string BuildReply(int unit, std::string_view code, std::string_view data) {
  std::string out;
  out.reserve(data.size() + 6);
  out += AddressByte(unit);
  out += code;
  out += data;
  out += Checksum(data);
  out += kCR;
  return out;
}

std::optional<Request> ParseRequest(std::string_view frame) {
  if (frame.size() < 4 || !IsAddressByte(frame.front()) || frame.back() != kCR) return std::nullopt;
  Request r;
  r.unit = static_cast<unsigned char>(frame[0]) - 0xCF;
  r.code = std::string(frame.substr(1, 2));
  r.raw = std::string(frame);
  const std::string_view tail = frame.substr(3, frame.size() - 4);
  if (!tail.empty()) {
    // Parameters always travel with their two checksum characters; a tail
    // too short to hold both is a damaged frame.
    if (tail.size() < 3) {
      r.checksumOk = false;
      r.params = std::string(tail);
    } else {
      r.params = std::string(tail.substr(0, tail.size() - 2));
      r.checksumOk = Checksum(r.params) == tail.substr(tail.size() - 2);
    }
  }
  return r;
}

void FrameSplitter::Feed(std::string_view data, SteadyClock::time_point now,
                         std::vector<ReceivedFrame>& out) {
  for (char c : data) {
    if (IsAddressByte(c)) {
      collecting_ = true;
      current_.assign(1, c);
      start_ = now;
      continue;
    }
    if (!collecting_) continue;
    current_ += c;
    if (c == kCR) {
      out.push_back({std::move(current_), start_});
      current_.clear();
      collecting_ = false;
    } else if (current_.size() > kMaxFrame) {
      Reset();
    }
  }
}

std::string Printable(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    char buf[8];
    if (IsAddressByte(ch)) {
      std::snprintf(buf, sizeof buf, "<U%d>", c - 0xCF);
      out += buf;
    } else if (ch == kCR) {
      out += "<CR>";
    } else if (c < 0x20 || c >= 0x7F) {
      std::snprintf(buf, sizeof buf, "<%02X>", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace px::sim
