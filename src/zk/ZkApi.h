#pragma once
#include <functional>
#include <string>

namespace px {

// One queued ZK terminal command (a line of the ZK command ring).
struct ZkCommand {
  std::string tag, address, id, type, param, user, kind, unit;
};

// The ZK terminal module as the service and the client protocol see it.
//
// Terminal I/O never runs on the event loop: the loop hands it over with
// RunOffLoop, and the operations marked "work" are called only from inside
// such work. SendQPut, SendQGet, RunOffLoop and Busy are loop-thread calls.
class IZKModule {
public:
  virtual ~IZKModule() = default;
  // False when the command cannot be queued (a field too long for its
  // column, or the ring full); the client is then answered "XX".
  virtual bool SendQPut(const std::string& tag, const std::string& address, std::string& id,
                        const std::string& type, const std::string& param, const std::string& user,
                        const std::string& kind, const std::string& unit) = 0;
  virtual bool SendQGet(ZkCommand& cmd) = 0;
  // Work: executes one command; `value` carries the verification style out of INS and into USR.
  virtual bool Send(const ZkCommand& cmd, int& value) = 0;
  // Work: reads, stores and clears one terminal's log. `skipped` is set when
  // nothing was tried (the terminal is waiting out a retry or restarting), so
  // that the caller does not count it as a failed poll.
  virtual bool GetTransactions(int unit, const std::string& tag, const std::string& address, bool& skipped) = 0;
  // Work: template collection from the master terminal.
  virtual void SetMachineNumber(int n) = 0;
  virtual void SetRedirectId(const std::string& key) = 0;
  virtual bool UploadAll(const std::string& address, int port) = 0;
  virtual bool UploadOne(const std::string& address, int port, const std::string& user) = 0;

  // Runs `work` off the loop, then `done` on the loop. False (nothing run)
  // when the module cannot take it. Modules without a worker run both at once.
  virtual bool RunOffLoop(std::function<void()> work, std::function<void()> done) {
    work();
    if (done) done();
    return true;
  }
  // Work handed over and not yet finished: no new poll or command is started.
  virtual bool Busy() const { return false; }
};

}  // namespace px
