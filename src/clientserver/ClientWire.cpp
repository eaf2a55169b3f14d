#include "clientserver/ClientWire.h"

#include <cctype>

#include "common/Format.h"
#include "common/StrUtil.h"
#include "common/TextCodec.h"

namespace px {

std::string ScrambleClientText(std::string_view text) {
  std::string out(text);
  for (size_t p = 0; p < out.size(); ++p) {
    auto b = static_cast<unsigned char>(out[p]);
    unsigned char t = p % 3 == 0 ? static_cast<unsigned char>(~b)
                                 : static_cast<unsigned char>(((b & 0x0F) << 4) | (b >> 4));
    // CR keeps its meaning on the wire in both directions.
    if (b == 13 || t == 13) continue;
    out[p] = static_cast<char>(t);
  }
  return out;
}

namespace wire {

namespace {

// A fixed-width field: blank-padded on the right, cut when too long.
std::string Field(std::string_view s, size_t width) { return PadRight(s.substr(0, std::min(width, s.size())), width); }

// The head of STX and ETX requests: class byte, CR (so that the request is
// recognised whatever follows), a filler and the request code.
std::string Head(char cls, std::string_view code) { return std::string(1, cls) + kCR + "0" + Field(code, 2); }

}  // namespace

std::string PollRequest(std::string_view tag, std::string_view lastLine) {
  return std::string(1, kSOH) + kCR + Field(tag, 12) + std::string(lastLine);
}

std::string CommandRequest(std::string_view tag, std::string_view code, std::string_view params) {
  // The server drops the request's last character from the parameters.
  return Head(kSTX, "CM") + Field(tag, 12) + Field(code, 2) + std::string(params) + kCR;
}

std::string FetchReplyRequest(std::string_view tag, std::string_view id) {
  return Head(kSTX, "SZ") + Field(tag, 12) + Field(id, 9) + kCR;
}

std::string RefreshActiveRequest() { return Head(kSTX, "RR") + kCR; }

bool LoginRequest(std::string_view user, std::string_view password, std::string& request) {
  if (user.size() > 15 || password.size() > 10) return false;
  // 30 characters: 5 of filler, the user ID in 6-20, the password in 21-30;
  // encoded they fill the 95-character field.
  std::string plain = std::string(5, ' ') + PadRight(user, 15) + PadRight(password, 10);
  request = Head(kETX, "AW") + EncodeText(plain);
  return true;
}

std::string MobileRequest(std::string_view kind, std::string_view user, std::string_view tag,
                          std::string_view code, std::string_view params) {
  return Head(kETX, kind) + Field(user, 15) + Field(tag, 12) + Field(code, 2) + std::string(params);
}

std::string JobRequest(std::string_view ctrl, int unit, std::string_view user, std::string_view code,
                       std::string_view clientKey, std::string_view tag, std::string_view target12) {
  if (unit < 0) unit = 0;
  return std::string(1, kEOT) + Field(ctrl, 12) + Format("%4.4d", unit % 10000) + Field(user, 6) + Field(code, 2) +
         Field(clientKey, 12) + Field(tag, 11) + Field(target12, 12) + kCR;
}

Reply ParseReply(std::string_view reply) {
  Reply r;
  if (reply.size() >= 2 && reply.front() == kACK && reply.back() == kCR) {
    r.ok = true;
    r.body = std::string(reply.substr(1, reply.size() - 2));
  }
  return r;
}

PollBody ParsePollBody(std::string_view body) {
  PollBody p;
  p.status = Copy(body, 1, 6);
  std::string rest = CopyFrom(body, 7);
  if (StartsWith(rest, "_&")) {
    p.progress = true;
    p.jobCode = Copy(rest, 3, 2);
    p.message = CopyFrom(rest, 5);
  } else if (StartsWith(rest, "_*")) {
    p.result = true;
    p.tag = Copy(rest, 3, 11);
    p.yesNo = Copy(rest, 14, 1);
    p.jobCode = Copy(rest, 15, 2);
    p.key = Copy(rest, 17, 12);
  } else {
    size_t start = 0;
    while (start < rest.size()) {
      size_t end = rest.find(';', start);
      if (end == std::string::npos) end = rest.size();
      p.lines.push_back(rest.substr(start, end - start));
      start = end + 1;
    }
  }
  return p;
}

std::string LastLineOf(std::string_view monitorLine) {
  std::vector<std::string> cells;
  size_t start = 0;
  while (true) {
    size_t comma = monitorLine.find(',', start);
    cells.emplace_back(monitorLine.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  cells.resize(9);
  return Format("%12s%8s%4s%6s%s%s", cells[0].c_str(), cells[1].c_str(), cells[2].c_str(), cells[4].c_str(),
                cells[7].c_str(), cells[8].c_str());
}

std::string HexDump(std::string_view bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ' ';
    out += Format("%02x", static_cast<unsigned char>(bytes[i]));
  }
  return out;
}

std::string Printable(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) out += c;
    else out += Format("<%02X>", u);
  }
  return out;
}

bool ParseHex(std::string_view hex, std::string& out) {
  out.clear();
  int hi = -1;
  for (char c : hex) {
    if (c == ' ' || c == ':' || c == ',') continue;
    int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
            : (c >= 'a' && c <= 'f')                   ? c - 'a' + 10
            : (c >= 'A' && c <= 'F')                   ? c - 'A' + 10
                                                        : -1;
    if (v < 0) return false;
    if (hi < 0) {
      hi = v;
    } else {
      out += static_cast<char>(hi * 16 + v);
      hi = -1;
    }
  }
  return hi < 0;
}

}  // namespace wire
}  // namespace px
