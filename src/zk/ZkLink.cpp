#include "zk/ZkLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace px::zk {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int Remaining(int64_t deadline) {
  int64_t left = deadline - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::vector<uint8_t> MakeCommKey(uint32_t key, uint16_t session, uint8_t ticks) {
  // The key's bits in reverse order plus the session, bytes masked with
  // "ZKSO", the halves swapped, then mixed with the tick byte.
  uint32_t k = 0;
  for (int i = 0; i < 32; ++i) k = (k << 1) | ((key >> i) & 1u);
  k += session;
  uint8_t b[4] = {static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k >> 16),
                  static_cast<uint8_t>(k >> 24)};
  b[0] ^= 'Z';
  b[1] ^= 'K';
  b[2] ^= 'S';
  b[3] ^= 'O';
  uint8_t s[4] = {b[2], b[3], b[0], b[1]};
  return {static_cast<uint8_t>(s[0] ^ ticks), static_cast<uint8_t>(s[1] ^ ticks), ticks,
          static_cast<uint8_t>(s[3] ^ ticks)};
}

bool ZkLink::Fail(const std::string& why) {
  error_ = why;
  Close();
  return false;
}

void ZkLink::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  rx_.Reset();
}

bool ZkLink::Open(const std::string& host, int port) {
  Close();
  error_.clear();
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (port <= 0 || port > 65535 || ::inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1)
    return Fail("bad address " + host + ":" + std::to_string(port));
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return Fail(std::string("socket: ") + std::strerror(errno));
  int64_t deadline = NowMs() + opt_.timeoutMs;
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS) return Fail(std::string("connect: ") + std::strerror(errno));
    pollfd pf{fd_, POLLOUT, 0};
    if (::poll(&pf, 1, Remaining(deadline)) <= 0) return Fail("connect timed out");
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) return Fail(std::string("connect: ") + std::strerror(err));
  }
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  session_ = 0;
  reply_ = 0;
  ZkPacket r;
  if (!Request(CMD_CONNECT, {}, r)) return false;
  session_ = r.session;
  if (r.command == CMD_ACK_UNAUTH) {
    if (!Request(CMD_AUTH, MakeCommKey(opt_.commKey, session_), r)) return false;
    if (r.command != CMD_ACK_OK) return Fail("communication password refused");
  } else if (r.command != CMD_ACK_OK) {
    return Fail("connect refused with code " + std::to_string(r.command));
  }
  return true;
}

bool ZkLink::SendPacket(uint16_t command, const std::vector<uint8_t>& data) {
  if (fd_ < 0) return Fail("not connected");
  std::vector<uint8_t> out = ZkEncode(command, session_, reply_, data);
  size_t done = 0;
  int64_t deadline = NowMs() + opt_.timeoutMs;
  while (done < out.size()) {
    ssize_t n = ::send(fd_, out.data() + done, out.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pf{fd_, POLLOUT, 0};
      if (::poll(&pf, 1, Remaining(deadline)) <= 0) return Fail("send timed out");
      continue;
    }
    return Fail(std::string("send: ") + std::strerror(errno));
  }
  return true;
}

bool ZkLink::Receive(ZkPacket& p, int64_t deadline) {
  uint8_t buf[65536];
  for (;;) {
    if (rx_.Next(p)) {
      // Event packets may arrive between replies; they are not answers.
      if (p.command == CMD_REG_EVENT) continue;
      if (p.reply != reply_)
        return Fail("reply number " + std::to_string(p.reply) + " where " + std::to_string(reply_) +
                    " was expected");
      if (session_ != 0 && p.session != session_)
        return Fail("session " + std::to_string(p.session) + " where " + std::to_string(session_) +
                    " was expected");
      return true;
    }
    if (rx_.Failed()) return Fail(rx_.Error());
    pollfd pf{fd_, POLLIN, 0};
    int r = ::poll(&pf, 1, Remaining(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return Fail("no reply in time");
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n == 0) return Fail("connection closed by the terminal");
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return Fail(std::string("recv: ") + std::strerror(errno));
    }
    rx_.Feed(buf, static_cast<size_t>(n));
  }
}

bool ZkLink::Request(uint16_t command, const std::vector<uint8_t>& data, ZkPacket& reply) {
  if (fd_ < 0) return Fail("not connected");
  if (command != CMD_CONNECT) reply_ = static_cast<uint16_t>(reply_ + 1);
  if (!SendPacket(command, data)) return false;
  return Receive(reply, NowMs() + opt_.timeoutMs);
}

bool ZkLink::Command(uint16_t command, const std::vector<uint8_t>& data) {
  ZkPacket r;
  if (!Request(command, data, r)) return false;
  if (r.command != CMD_ACK_OK) {
    error_ = "command " + std::to_string(command) + " answered " + std::to_string(r.command);
    return false;
  }
  return true;
}

bool ZkLink::CollectData(const ZkPacket& first, std::vector<uint8_t>& out) {
  if (first.command == CMD_DATA) {
    out.insert(out.end(), first.data.begin(), first.data.end());
    return true;
  }
  if (first.command != CMD_PREPARE_DATA) {
    error_ = "no data: answered " + std::to_string(first.command);
    return false;
  }
  if (first.data.size() < 4) return Fail("data announcement too short");
  uint32_t size = GetU32(first.data.data());
  if (size > opt_.maxTable) return Fail("announced data of " + std::to_string(size) + " bytes above the cap");
  size_t start = out.size();
  int64_t deadline = NowMs() + opt_.timeoutMs;
  ZkPacket p;
  for (;;) {
    if (!Receive(p, deadline)) return false;
    if (p.command == CMD_DATA) {
      if (out.size() - start + p.data.size() > size) return Fail("more data than announced");
      out.insert(out.end(), p.data.begin(), p.data.end());
      deadline = NowMs() + opt_.timeoutMs;
    } else if (p.command == CMD_ACK_OK) {
      if (out.size() - start != size) return Fail("data shorter than announced");
      return true;
    } else {
      return Fail("unexpected code " + std::to_string(p.command) + " in a data transfer");
    }
  }
}

bool ZkLink::ReadChunk(uint32_t start, uint32_t size, std::vector<uint8_t>& out) {
  std::vector<uint8_t> req;
  PutU32(req, start);
  PutU32(req, size);
  ZkPacket first;
  if (!Request(CMD_DATA_RDY, req, first)) return false;
  size_t before = out.size();
  if (!CollectData(first, out)) return fd_ >= 0 ? Fail(error_) : false;
  if (out.size() - before != size) return Fail("chunk of " + std::to_string(out.size() - before) +
                                              " bytes where " + std::to_string(size) + " were asked");
  return true;
}

bool ZkLink::ReadTable(uint16_t command, uint32_t fct, std::vector<uint8_t>& table) {
  table.clear();
  std::vector<uint8_t> req{1};
  PutU16(req, command);
  PutU32(req, fct);
  PutU32(req, 0);
  ZkPacket r;
  if (!Request(CMD_DATA_WRRQ, req, r)) return false;
  std::vector<uint8_t> raw;
  if (r.command == CMD_DATA) {
    raw = std::move(r.data);
  } else if (r.command == CMD_ACK_OK && r.data.size() >= 5) {
    uint32_t size = GetU32(r.data.data() + 1);
    if (size > opt_.maxTable) return Fail("table of " + std::to_string(size) + " bytes above the cap");
    // Room grows with what arrives; an announcement alone buys at most 16 MiB.
    raw.reserve(std::min<uint32_t>(size, kMaxPacketLength));
    uint32_t chunk = opt_.chunkSize ? opt_.chunkSize : 0xFFC0;
    for (uint32_t start = 0; start < size;) {
      uint32_t n = size - start < chunk ? size - start : chunk;
      if (!ReadChunk(start, n, raw)) return false;
      start += n;
    }
    if (!Command(CMD_FREE_DATA)) return false;
  } else {
    error_ = "table request answered " + std::to_string(r.command);
    return false;
  }
  if (raw.size() < 4) return Fail("table without its size word");
  uint32_t declared = GetU32(raw.data());
  if (declared != raw.size() - 4) return Fail("table size word " + std::to_string(declared) +
                                              " does not match " + std::to_string(raw.size() - 4));
  table.assign(raw.begin() + 4, raw.end());
  return true;
}

bool ZkLink::WriteBuffer(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> prep;
  PutU32(prep, static_cast<uint32_t>(data.size()));
  if (!Command(CMD_PREPARE_DATA, prep)) return false;
  return Command(CMD_DATA, data);
}

}  // namespace px::zk
