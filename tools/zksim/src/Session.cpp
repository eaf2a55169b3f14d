#include "Session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "zk/ZkLink.h"
#include "zksim/ZkSim.h"

namespace zksim {

using namespace px::zk;

void Session::Run() {
  ZkReassembler rx(false);
  uint8_t buf[65536];
  while (!sim_.stop_) {
    pollfd pf{fd_, POLLIN, 0};
    int r = ::poll(&pf, 1, 100);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    rx.Feed(buf, static_cast<size_t>(n));
    ZkPacket p;
    bool open = true;
    uint64_t seen = rx.ChecksumMismatches();
    while (open && rx.Next(p)) {
      bool strict;
      {
        std::lock_guard<std::mutex> lk(sim_.mu_);
        strict = sim_.cfg_.strictChecksum;
        if (rx.ChecksumMismatches() != seen) ++sim_.stats_.checksumMismatches;
      }
      if (rx.ChecksumMismatches() != seen && strict) {
        open = false;
        break;
      }
      seen = rx.ChecksumMismatches();
      Packets out;
      dropAfterWrite_ = false;
      open = Handle(p, out);
      if (!Write(out)) open = false;
      if (dropAfterWrite_) open = false;
    }
    if (!open || rx.Failed()) break;
  }
}

void Session::Reply(Packets& out, uint16_t command, const std::vector<uint8_t>& data) {
  Faults f;
  {
    std::lock_guard<std::mutex> lk(sim_.mu_);
    f = sim_.faults_;
  }
  uint16_t session = static_cast<uint16_t>(session_ + (f.wrongSession ? 1 : 0));
  uint16_t reply = static_cast<uint16_t>(reply_ + (f.wrongReply ? 1 : 0));
  out.push_back(ZkEncode(command, session, reply, data));
}

bool Session::WriteAll(const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd_, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
    std::lock_guard<std::mutex> lk(sim_.mu_);
    sim_.stats_.bytesSent += static_cast<uint64_t>(w);
  }
  return true;
}

bool Session::Write(const Packets& out) {
  Faults f;
  int pace;
  {
    std::lock_guard<std::mutex> lk(sim_.mu_);
    f = sim_.faults_;
    pace = sim_.cfg_.paceMs;
  }
  if (f.silence || out.empty()) return true;
  if (dropAfterWrite_) {
    // Everything up to the cut, then the connection goes.
    std::vector<uint8_t> all;
    for (const auto& p : out) all.insert(all.end(), p.begin(), p.end());
    return WriteAll(all.data(), std::min(dropAt_, all.size()));
  }
  if (f.joinReplies) {
    std::vector<uint8_t> all;
    for (const auto& p : out) all.insert(all.end(), p.begin(), p.end());
    // An unasked event packet in the same write: clients must skip it.
    std::vector<uint8_t> ev = ZkEncode(CMD_REG_EVENT, 1, 0, {});
    all.insert(all.end(), ev.begin(), ev.end());
    return WriteAll(all.data(), all.size());
  }
  for (size_t i = 0; i < out.size(); ++i) {
    const auto& p = out[i];
    if (pace > 0 && i + 1 < out.size() && GetU16(p.data() + 8) == CMD_DATA) {
      // A paced terminal still sends the closing acknowledgement right
      // behind its data, as one segment with the data's tail.
      std::vector<uint8_t> both = p;
      both.insert(both.end(), out[i + 1].begin(), out[i + 1].end());
      if (!WriteAll(both.data(), both.size())) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(pace));
      ++i;
      continue;
    }
    if (f.splitBytes > 0) {
      for (size_t off = 0; off < p.size(); off += static_cast<size_t>(f.splitBytes)) {
        size_t n = std::min(p.size() - off, static_cast<size_t>(f.splitBytes));
        if (!WriteAll(p.data() + off, n)) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    } else if (!WriteAll(p.data(), p.size())) {
      return false;
    }
    if (pace > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pace));
  }
  return true;
}

std::vector<uint8_t> Session::Table(uint16_t command, uint32_t fct, bool& known) {
  std::lock_guard<std::mutex> lk(sim_.mu_);
  std::vector<uint8_t> body;
  known = true;
  if (command == CMD_ATTLOG_RRQ) {
    size_t half = sim_.records_.size() / 2;
    for (size_t i = 0; i < sim_.records_.size(); ++i) {
      if (sim_.faults_.corruptRecord && i == half) {
        ZkAttendance bad = sim_.records_[i];
        bad.uid = 0;
        bad.userId = "0";
        auto r = BuildLog(bad, sim_.cfg_.logRecordSize);
        body.insert(body.end(), r.begin(), r.end());
      }
      auto r = BuildLog(sim_.records_[i], sim_.cfg_.logRecordSize);
      body.insert(body.end(), r.begin(), r.end());
    }
  } else if (command == CMD_USERTEMP_RRQ && fct == FCT_USER) {
    for (const SimUser& u : sim_.users_) {
      auto r = BuildUser(u.user, sim_.cfg_.userRecordSize);
      body.insert(body.end(), r.begin(), r.end());
    }
  } else if (command == CMD_DB_RRQ && fct == FCT_FINGERTMP) {
    for (const ZkFinger& f : sim_.fingers_) {
      auto r = BuildFinger(f);
      body.insert(body.end(), r.begin(), r.end());
    }
  } else {
    known = false;
  }
  std::vector<uint8_t> table;
  PutU32(table, static_cast<uint32_t>(body.size()));
  table.insert(table.end(), body.begin(), body.end());
  return table;
}

void Session::SendChunk(uint32_t start, uint32_t size, Packets& out, bool& drop) {
  std::vector<uint8_t> prep;
  PutU32(prep, size);
  PutU32(prep, 0);
  Reply(out, CMD_PREPARE_DATA, prep);
  Reply(out, CMD_DATA, std::vector<uint8_t>(pending_.begin() + start, pending_.begin() + start + size));
  Reply(out, CMD_ACK_OK);
  if (drop) {
    dropAfterWrite_ = true;
    dropAt_ = out[0].size() + out[1].size() / 2;
  }
}

}  // namespace zksim
