#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  bool logError = false;       // the attendance table is asked for and refused with an error answer
  int dropAfterTemplates = -1; // after this many single-template reads the connection is closed
  bool dropOnClear = false;    // a clear closes the connection and clears nothing
  bool loseClearAnswer = false;  // a clear clears, then the connection closes unanswered
};

struct Config {
  size_t userRecordSize = 72;   // 28 or 72; a user record of the other size is refused
  size_t logRecordSize = 40;    // 8, 16 or 40
  uint32_t commKey = 0;         // communication password, 0 = none
  size_t directLimit = 1024;    // tables up to this size come in one data packet
  bool strictChecksum = false;  // drop the connection on a request with a wrong checksum
  int paceMs = 0;               // pause between packets, as a networked terminal's packets arrive
};

struct Time {
  int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// A user as the terminal keeps it: `slot` is its own numbering, `userId` the
// enrolment number people type and the rest of the world knows.
struct User {
  uint16_t slot = 0;
  std::string userId, name, password;
  int privilege = 0;  // 0 user, 1 enroller, 2 admin, 3 super admin
  bool enabled = true;
  uint32_t card = 0;
  int verifyStyle = 0;
  bool ownZones = false;
  uint32_t zones[3] = {0, 0, 0};
};

// One clocking; `slot` is that of its user when it was made.
struct Record {
  std::string userId;
  uint16_t slot = 0;
  Time time;
  int verify = 0, state = 0;
  uint32_t workCode = 0;
};

struct Finger {
  uint16_t slot = 0;
  int finger = 0;
  int flag = 1;  // 0 invalid, 1 valid, 3 duress
  std::vector<uint8_t> data;
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
  uint64_t refreshes = 0;
  uint64_t bytesSent = 0;
  bool enabled = true;
  std::vector<uint16_t> commands;
};

// A fingerprint terminal on a TCP port, speaking the terminals' network
// protocol with a codec of its own. One thread accepts, one thread serves
// each connection.
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

  // Data. Users are keyed by enrolment number; a new user takes the lowest
  // free slot, as at the keypad.
  void AddUser(const std::string& userId, const std::string& name, const std::string& password,
               int privilege, uint32_t card, bool enabled = true);
  void RemoveUser(const std::string& userId);
  void AddRecord(const std::string& userId, const Time& t, int verify, int state, uint32_t workCode = 0);
  void AddTemplate(const std::string& userId, int finger, const std::vector<uint8_t>& data, int flag = 1);
  // `users` users (ids 1..users, some with cards and passwords), `templates`
  // fingers each, and `records` attendance records spread over them, 37
  // seconds apart from `first`.
  void Populate(int users, int records, int templates, uint32_t seed = 1, Time first = {2026, 1, 5, 8, 0, 0});
  // Somebody clocks as soon as the keypad works again: a record for `userId`
  // at the terminal's time when it is next enabled after being disabled.
  void ClockOnEnable(const std::string& userId, int state = 0);
  // A terminal that records while it hands its log over: a record for
  // `userId` is added right after the next attendance table is sent.
  void ClockAfterRead(const std::string& userId, int state = 0);

  std::vector<User> Users();
  std::vector<Record> Records();
  std::vector<Finger> Fingers();
  std::map<int, TimeZone> TimeZones();
  // The terminal's clock, on the wire and read.
  uint32_t ClockValue();
  Time ClockTime();
  Stats GetStats();

private:
  friend class Session;
  void AcceptLoop();
  void Serve(int fd);
  Record MakeRecord(const std::string& userId, const Time& t, int verify, int state, uint32_t workCode);

  Config cfg_;
  Faults faults_;
  std::mutex mu_;  // guards everything below and cfg_/faults_
  std::vector<User> users_;
  std::vector<Record> records_;
  std::vector<Finger> fingers_;
  std::map<int, TimeZone> zones_;
  std::deque<std::pair<std::string, int>> onEnable_, afterRead_;
  int64_t clockOffset_ = 0;
  Stats stats_;
  uint16_t nextSession_ = 0x1234;
  int templateReads_ = 0;

  std::atomic<bool> stop_{false};
  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex threadsMu_;
  std::vector<std::thread> workers_;
};

}  // namespace zksim
