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

#include "FrameReader.h"
#include "zksim/ZkSim.h"

namespace zksim {

void Session::Run() {
  FrameReader rx;
  uint8_t buf[65536];
  while (!sim_.stop_) {
    pollfd pf{fd_, POLLIN, 0};
    int r = ::poll(&pf, 1, 100);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    rx.Add(buf, static_cast<size_t>(n));
    Packet p;
    bool open = true, checksumOk = true;
    FrameReader::Result got;
    while (open && (got = rx.Next(p, checksumOk)) == FrameReader::Result::Packet) {
      bool strict;
      {
        std::lock_guard<std::mutex> lk(sim_.mu_);
        strict = sim_.cfg_.strictChecksum;
        if (!checksumOk) ++sim_.stats_.checksumMismatches;
      }
      if (!checksumOk && strict) {
        open = false;
        break;
      }
      Packets out;
      dropAfterWrite_ = false;
      open = Handle(p, out);
      if (!Write(out)) open = false;
      if (dropAfterWrite_) open = false;
    }
    if (!open || got == FrameReader::Result::Broken) break;
  }
}

void Session::Reply(Packets& out, uint16_t command, const std::vector<uint8_t>& data) {
  uint16_t session = static_cast<uint16_t>(session_ + (faults_.wrongSession ? 1 : 0));
  uint16_t reply = static_cast<uint16_t>(reply_ + (faults_.wrongReply ? 1 : 0));
  out.push_back(Frame(command, session, reply, data));
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
    std::vector<uint8_t> ev = Frame(op::Event, 1, 0, {});
    all.insert(all.end(), ev.begin(), ev.end());
    return WriteAll(all.data(), all.size());
  }
  for (size_t i = 0; i < out.size(); ++i) {
    const auto& p = out[i];
    if (pace > 0 && i + 1 < out.size() && Le16(p.data() + 8) == op::Data) {
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
  auto add = [&body](const std::vector<uint8_t>& r) { body.insert(body.end(), r.begin(), r.end()); };
  if (command == op::AttLogRead) {
    const size_t size = sim_.cfg_.logRecordSize;
    size_t half = sim_.records_.size() / 2;
    for (size_t i = 0; i < sim_.records_.size(); ++i) {
      if (sim_.faults_.corruptRecord && i == half) {
        Record bad = sim_.records_[i];
        bad.userId.assign(1, '0');  // user 0: no such enrolment
        add(RecordBytes(bad, 0, size));
      }
      add(RecordBytes(sim_.records_[i], sim_.records_[i].slot, size));
    }
    // A clocking that lands once the table is out.
    for (const auto& [user, state] : sim_.afterRead_)
      sim_.records_.push_back(sim_.MakeRecord(user, LocalClock(sim_.clockOffset_), 1, state, 0));
    sim_.afterRead_.clear();
  } else if (command == op::UserTempRead && fct == kTableUsers) {
    for (const User& u : sim_.users_) add(UserBytes(u, sim_.cfg_.userRecordSize));
  } else if (command == op::DbRead && fct == kTableTemplates) {
    for (const Finger& f : sim_.fingers_) add(FingerBytes(f));
  } else {
    known = false;
  }
  std::vector<uint8_t> table;
  Add32(table, static_cast<uint32_t>(body.size()));
  table.insert(table.end(), body.begin(), body.end());
  return table;
}

void Session::SendChunk(uint32_t start, uint32_t size, Packets& out, bool& drop) {
  std::vector<uint8_t> prep;
  Add32(prep, size);
  Add32(prep, 0);
  Reply(out, op::PrepareData, prep);
  Reply(out, op::Data, std::vector<uint8_t>(pending_.begin() + start, pending_.begin() + start + size));
  Reply(out, op::AckOk);
  if (drop) {
    dropAfterWrite_ = true;
    dropAt_ = out[0].size() + out[1].size() / 2;
  }
}

}  // namespace zksim
