#include "ZkFuzz.h"

#include "zk/ZkPacket.h"
#include "zk/ZkRecords.h"

namespace px::fuzz {

namespace {

using namespace px::zk;

// Parsing what was built from a parse gives the same records again.
std::string CheckTables(const std::vector<uint8_t>& d, size_t count) {
  const uint8_t* p = d.data();
  size_t n = d.size();
  if (size_t us = ChooseUserSize(n, count)) {
    std::vector<ZkUser> users;
    if (!ParseUsers(p, n, us, users)) return "user table of a chosen size refused";
    if (users.size() * us != n) return "user count does not cover the table";
    for (const ZkUser& u : users) {
      std::vector<ZkUser> again;
      auto rec = BuildUser(u, us);
      if (rec.size() != us || !ParseUsers(rec.data(), rec.size(), us, again) || again.size() != 1)
        return "rebuilt user does not parse";
      if (us == kUserLarge && (again[0].userId != u.userId.substr(0, 23) || again[0].card != u.card))
        return "user changed through a rebuild";
    }
  }
  if (size_t ls = ChooseLogSize(n, count)) {
    std::vector<ZkAttendance> logs;
    if (!ParseLogs(p, n, ls, logs) || logs.size() * ls != n) return "log table of a chosen size refused";
    for (const ZkAttendance& a : logs) {
      if (a.time.month < 1 || a.time.month > 12 || a.time.day < 1 || a.time.day > 31 || a.time.hour > 23)
        return "decoded time out of range";
      if (ZkEncodeTime(a.time) != ZkEncodeTime(ZkDecodeTime(ZkEncodeTime(a.time))))
        return "time does not survive a round trip";
    }
  }
  std::vector<ZkFinger> fingers;
  if (ParseFingers(p, n, fingers)) {
    size_t total = 0;
    for (const ZkFinger& f : fingers) total += f.data.size() + 6;
    if (total != n) return "fingers do not cover the table";
  }
  return "";
}

}  // namespace

std::string CheckZkStream(const uint8_t* data, size_t size) {
  if (size == 0) return "";
  // The first byte chooses the piece size the stream is fed in.
  size_t piece = 1 + data[0] % 64;
  ZkReassembler rx(data[0] & 0x80);
  size_t fedBytes = 0, packetBytes = 0;
  for (size_t off = 1; off < size; off += piece) {
    size_t n = std::min(piece, size - off);
    rx.Feed(data + off, n);
    fedBytes += n;
    ZkPacket p;
    while (rx.Next(p)) {
      packetBytes += kPrefixSize + kHeaderSize + p.data.size();
      if (packetBytes > fedBytes) return "packets longer than the bytes fed";
      auto again = ZkEncode(p.command, p.session, p.reply, p.data);
      ZkReassembler rx2;
      rx2.Feed(again.data(), again.size());
      ZkPacket q;
      if (!rx2.Next(q) || q.data != p.data || q.command != p.command || q.reply != p.reply)
        return "re-encoded packet does not read back";
      std::string e = CheckTables(p.data, p.session);
      if (!e.empty()) return e;
    }
    if (rx.Failed()) {
      if (rx.Next(p)) return "packet after a stream error";
      break;
    }
  }
  if (!rx.Failed() && packetBytes + rx.Buffered() != fedBytes) return "bytes lost in reassembly";
  return "";
}

}  // namespace px::fuzz
