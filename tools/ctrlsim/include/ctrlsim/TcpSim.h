#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ctrlsim/UnitBank.h"

namespace px::sim {

// Simulated controllers behind one TCP address: a listener on address:port
// (any 127.x.y.z works on Linux, or 127.0.0.1 with port 0 for an ephemeral
// port). Every accepted connection is served frame by frame for the units
// of the bank, so several units can share one connection.
class TcpSim {
public:
  struct Options {
    std::string address = "127.0.0.1";
    int port = 0;
    int pushIntervalMs = 0;  // > 0: units push queued records unasked (see SetPush)
  };

  TcpSim(std::shared_ptr<UnitBank> bank, Options options);
  ~TcpSim();
  TcpSim(const TcpSim&) = delete;
  TcpSim& operator=(const TcpSim&) = delete;

  bool Start(std::string* error = nullptr);
  void Stop();
  bool Running() const;

  const std::string& Address() const { return options_.address; }
  int Port() const { return port_; }              // the bound port once started
  std::string Endpoint() const;                   // "address:port"

  UnitBank& Bank() { return *bank_; }
  std::shared_ptr<UnitBank> SharedBank() const { return bank_; }

  // Whole-address misbehaviour; each call has taken effect when it returns.
  void SetRefuse(bool on);   // stop listening (connects are refused) / listen again
  void SetHang(bool on);     // accept and read, never answer
  void DropConnections();    // close every open connection now
  // Every `intervalMs` each enabled unit with queued records sends them as
  // an unsolicited QA answer on every open connection, for hosts that only
  // listen. 0 turns it off.
  void SetPush(int intervalMs);

  int OpenConnections() const { return openConnections_; }
  long Accepted() const { return accepted_; }
  long IgnoredFrames() const { return ignoredFrames_; }  // heard while hanging

private:
  struct Conn;

  bool Listen(std::string* error);
  void RunInLoop(std::function<void()> task);
  void RunTasks();
  void Loop();
  void AcceptAll();
  void ReadFrom(Conn& c);
  void Flush(Conn& c);
  void PushRecords(SteadyClock::time_point now);

  std::shared_ptr<UnitBank> bank_;
  Options options_;
  std::atomic<int> port_{0};
  mutable std::mutex ctl_;
  bool running_ = false;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  int listener_ = -1;
  int wake_ = -1;
  std::atomic<bool> hang_{false};
  int pushMs_ = 0;
  SteadyClock::time_point nextPush_{};
  std::vector<std::unique_ptr<Conn>> conns_;

  std::mutex tasksM_;
  std::condition_variable tasksCv_;
  std::vector<std::function<void()>> tasks_;
  long tasksQueued_ = 0;
  long tasksDone_ = 0;

  std::atomic<int> openConnections_{0};
  std::atomic<long> accepted_{0};
  std::atomic<long> ignoredFrames_{0};
};

}  // namespace px::sim
