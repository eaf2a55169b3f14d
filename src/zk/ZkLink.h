#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "zk/ZkPacket.h"

namespace px::zk {

// One TCP connection to a terminal: connect and authenticate, one request at a
// time with its reply, and the buffered read of large tables. Blocking
// sockets with poll() bounds, for use on a worker thread. Any time-out or
// protocol error closes the connection, because what follows on the stream
// can no longer be matched to a request.
class ZkLink {
public:
  struct Options {
    int timeoutMs = 5000;          // one request to its complete reply
    uint32_t commKey = 0;          // communication password, 0 = none
    uint32_t chunkSize = 0xFFC0;   // bytes asked for per buffered read step
    uint32_t maxTable = 256u << 20;  // largest table a buffered read accepts
  };

  ZkLink() = default;
  explicit ZkLink(Options o) : opt_(o) {}
  ~ZkLink() { Close(); }
  ZkLink(const ZkLink&) = delete;
  ZkLink& operator=(const ZkLink&) = delete;

  void SetOptions(const Options& o) { opt_ = o; }
  const Options& options() const { return opt_; }

  bool Open(const std::string& host, int port);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  uint16_t session() const { return session_; }
  const std::string& LastError() const { return error_; }

  // Sends one command and waits for its reply (any code). False on time-out
  // or protocol error (the link is then closed).
  bool Request(uint16_t command, const std::vector<uint8_t>& data, ZkPacket& reply);
  // Request that must be answered CMD_ACK_OK.
  bool Command(uint16_t command, const std::vector<uint8_t>& data = {});
  // A reply that starts a data transfer (CMD_DATA, or CMD_PREPARE_DATA
  // followed by CMD_DATA packets and CMD_ACK_OK) collected into `out`.
  bool CollectData(const ZkPacket& first, std::vector<uint8_t>& out);
  // The buffered read of a whole table (users, attendance, templates):
  // without the table's leading size word.
  bool ReadTable(uint16_t command, uint32_t fct, std::vector<uint8_t>& table);
  // Sends a block of data to the terminal's buffer (prepare, data).
  bool WriteBuffer(const std::vector<uint8_t>& data);
  // Gives up on the connection: what the terminal sent cannot be used.
  bool Abort(const std::string& why) { return Fail(why); }

private:
  bool Fail(const std::string& why);
  bool SendPacket(uint16_t command, const std::vector<uint8_t>& data);
  bool Receive(ZkPacket& p, int64_t deadlineMs);
  bool ReadChunk(uint32_t start, uint32_t size, std::vector<uint8_t>& out);

  Options opt_;
  int fd_ = -1;
  uint16_t session_ = 0;
  uint16_t reply_ = 0;
  ZkReassembler rx_;
  std::string error_;
};

// The authentication word a terminal with a communication password expects
// for this session.
std::vector<uint8_t> MakeCommKey(uint32_t key, uint16_t session, uint8_t ticks = 50);

}  // namespace px::zk
