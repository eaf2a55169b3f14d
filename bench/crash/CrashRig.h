#pragma once
// The real portexd killed over and over while simulated controllers stream
// records to it, and the reckoning afterwards: is every record a controller
// handed over in trans exactly once, in that controller's order?
//
// A record counts as handed over once its controller was polled with
// anything but QR after the reply that carried it: the controller has
// deleted it then, so the server must have it. The simulators keep that
// count; the rig keeps each unit's queue topped up while the server runs, so
// there is always something in flight when the kill comes.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ctrlsim/SerialSim.h"
#include "ctrlsim/TcpSim.h"
#include "ctrlsim/UnitBank.h"
#include "zksim/ZkSim.h"

namespace px::crash {

class CrashRig {
public:
  struct Options {
    std::string dir;        // the program folder (created when missing)
    std::string portexd;    // the program
    // Connection strings as the program's [Database] section takes them.
    std::string mainDb = "sqlite:OstrPro.db", arqDb = "sqlite:OstrTimeSQL.db";
    int buses = 2, unitsPerBus = 3, baud = 38400;
    int ipUnits = 3;        // the first two behind one address, the rest behind another
    bool terminal = true;   // a fingerprint terminal, given new clockings while the server is down
    int recordsPerReply = 8;
    int queueDepth = 40;    // each unit's queue is topped up to this while the server runs
    // Every fourth record is a clocking of a known holder, which also makes
    // an attendance row; the others are door events.
  };

  // One start of the server, ended by SIGKILL.
  struct Run {
    std::chrono::milliseconds killAfter{0};
    int exitedAtTerm = -1;       // the exit status when a SIGTERM stop was over before the kill
    double firstPollMs = -1;     // from the start to the first frame any unit heard (-1: none)
    double firstAskMs = -1;      // ... to the first QA or QR (records asked for again)
    int owedAtKill = 0;          // units whose owed mark was on disk when it was killed
    int owedPolled = 0;          // units owed at the kill before, polled in this run...
    std::vector<std::string> notQrFirst;  // ...whose first poll was not QR
  };

  // The reckoning over every unit.
  struct Tally {
    long generated = 0, handedOver = 0, stored = 0;
    long terminalHandedOver = 0;  // of them, by the terminal
    long lost = 0;          // handed over, not in trans
    long twice = 0;         // trans rows beyond the first of a record
    long outOfOrder = 0;    // units whose rows are not in the order they were handed over
    long strays = 0;        // rows of records never handed over
    long attendanceWanted = 0, attendanceLost = 0, attendanceTwice = 0;
    std::vector<std::string> detail;
    bool Clean() const {
      return lost == 0 && twice == 0 && outOfOrder == 0 && strays == 0 && attendanceLost == 0 && attendanceTwice == 0;
    }
  };

  explicit CrashRig(Options o);
  ~CrashRig();
  CrashRig(const CrashRig&) = delete;
  CrashRig& operator=(const CrashRig&) = delete;

  // Simulators, configuration and the controller rows.
  bool Start(std::string* error);
  // Starts the server, kills it with SIGKILL after `after`. With `termAt`
  // (below `after`) it gets SIGTERM first, so the kill lands in its stop
  // unless that is over; with `disturbAt`, `Disturb` runs then (a database
  // outage, say).
  Run CrashAfter(std::chrono::milliseconds after, std::chrono::milliseconds termAt = std::chrono::milliseconds(-1),
                 std::chrono::milliseconds disturbAt = std::chrono::milliseconds(-1));
  std::function<void()> Disturb;
  // Starts the server once more without topping up, lets every unit hand
  // over what it has, waits until trans holds all of it, then stops the
  // server with SIGTERM. False (with the reason) when that does not happen
  // within `max`.
  bool Settle(std::chrono::milliseconds max, std::string* error);
  Tally Reckon();

  std::string LogText() const;  // the server's log of this month

private:
  struct Unit {
    std::string tag, key, label;     // trans tag, journal unit key, for messages
    int point = 0;                   // rdrmain: logical_point, spare3, controller_type
    std::string spare3, type;
    sim::SimUnit* sim = nullptr;     // none for the terminal
    std::vector<std::string> queued; // every record given to the simulator, in order
    size_t cleared = 0;              // the terminal: how many of them its log clears took
  };
  void WriteConfig();
  bool Seed(std::string* error);
  void TopUp();
  // New clockings at the terminal, only while no server runs: a terminal
  // takes none while its log is being handed over.
  void ClockAtTerminal();
  void NoteTerminalClears();
  std::vector<std::string> HandedOver(const Unit& u) const;
  bool Spawn();
  void Kill(int sig);
  int WaitExit(std::chrono::milliseconds max);
  // The unit keys marked owed in the journal on disk (read from a copy).
  std::vector<std::string> OwedOnDisk();
  long HandedOverTotal() const;
  long StoredCount(const std::string& table);

  Options o_;
  std::vector<std::unique_ptr<sim::SerialSim>> buses_;
  std::shared_ptr<sim::UnitBank> ipBankA_, ipBankB_;
  std::unique_ptr<sim::TcpSim> ipA_, ipB_;
  std::unique_ptr<zksim::Simulator> terminal_;
  std::vector<Unit> units_;
  std::vector<std::string> owed_;     // owed at the last kill
  pid_t pid_ = -1;
};

}  // namespace px::crash
