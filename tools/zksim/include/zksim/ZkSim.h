#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zk/ZkRecords.h"

namespace zksim {

// Faults the simulated terminal shows on demand.
struct Faults {
  bool refuse = false;         // accepted connections are reset at once
  bool silence = false;        // requests are read and never answered
  bool dropMidTransfer = false;  // a table transfer is cut half-way and the connection closed
  bool corruptRecord = false;  // the attendance table holds a record for user 0 in the middle
  int splitBytes = 0;          // replies written in pieces of this many bytes (0 = whole)
  bool joinReplies = false;    // every packet of an answer, plus an event packet, in one write
  bool wrongSession = false;   // replies carry another session number
  bool wrongReply = false;     // replies carry another reply number
};

struct Config {
  size_t userRecordSize = 72;   // 28 or 72
  size_t logRecordSize = 40;    // 8, 16 or 40
  uint32_t commKey = 0;         // communication password, 0 = none
  size_t directLimit = 1024;    // tables up to this size come in one data packet
  bool strictChecksum = false;  // drop the connection on a request with a wrong checksum
  int paceMs = 0;               // pause between packets, as a networked terminal's packets arrive
};

struct SimUser {
  px::zk::ZkUser user;
  int verifyStyle = 0;
  bool ownZones = false;
  uint32_t zones[3] = {0, 0, 0};
};

struct TimeZone {
  uint8_t spans[28] = {};  // seven days of start hour, start minute, end hour, end minute
};

// What the simulator has seen, for tests to check.
struct Stats {
  uint64_t connections = 0;
  uint64_t checksumMismatches = 0;
  uint64_t restarts = 0;
  uint64_t clears = 0;
  uint64_t bytesSent = 0;
  bool enabled = true;
  std::vector<uint16_t> commands;
};

// A fingerprint terminal on a TCP port, speaking the terminals' network
// protocol. One thread accepts, one thread serves each connection.
class Simulator {
public:
  explicit Simulator(Config cfg = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Listens on host:port (port 0 picks a free one). False when it cannot bind.
  bool Start(int port = 0, const std::string& host = "127.0.0.1");
  void Stop();
  int Port() const { return port_; }

  void SetFaults(const Faults& f);
  Faults GetFaults();
  void SetConfig(const Config& c);

  // Data. Users are keyed by enrolment number; slots are given in order.
  void AddUser(const std::string& userId, const std::string& name, const std::string& password,
               int privilege, uint32_t card, bool enabled = true);
  void AddRecord(const std::string& userId, const px::zk::ZkTime& t, int verify, int state,
                 uint32_t workCode = 0);
  void AddTemplate(const std::string& userId, int finger, const std::vector<uint8_t>& data, int flag = 1);
  // `users` users (ids 1..users, some with cards and passwords), `templates`
  // fingers each, and `records` attendance records spread over them.
  void Populate(int users, int records, int templates, uint32_t seed = 1);

  std::vector<SimUser> Users();
  std::vector<px::zk::ZkAttendance> Records();
  std::vector<px::zk::ZkFinger> Fingers();
  std::map<int, TimeZone> TimeZones();
  // The terminal's clock as encoded on the wire.
  uint32_t ClockValue();
  Stats GetStats();

private:
  friend class Session;
  void AcceptLoop();
  void Serve(int fd);

  Config cfg_;
  Faults faults_;
  std::mutex mu_;  // guards everything below and cfg_/faults_
  std::vector<SimUser> users_;
  std::vector<px::zk::ZkAttendance> records_;
  std::vector<px::zk::ZkFinger> fingers_;
  std::map<int, TimeZone> zones_;
  int64_t clockOffset_ = 0;
  Stats stats_;
  uint16_t nextSession_ = 0x1234;

  std::atomic<bool> stop_{false};
  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex threadsMu_;
  std::vector<std::thread> workers_;
  std::vector<int> clientFds_;
};

}  // namespace zksim
