#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kx6kssim/TemplateDevice.h"

namespace px::sim {

// A template server device on a TCP address (any 127.x.y.z, port 0 for an
// ephemeral one). Frames end in CR; each is answered by the device, shaped by
// the faults set here. One thread serves every connection in turn.
class KX6KSSim {
public:
  struct Faults {
    bool silent = false;        // read, never answer
    int delayMs = 0;            // before each reply
    int pieceBytes = 0;         // > 0: replies go out in pieces of this size
    int pieceGapMs = 0;         // between pieces
    std::string noise;          // sent before each reply's address byte
  };

  KX6KSSim(std::string address = "127.0.0.1", int port = 0);
  ~KX6KSSim();
  KX6KSSim(const KX6KSSim&) = delete;
  KX6KSSim& operator=(const KX6KSSim&) = delete;

  bool Start(std::string* error = nullptr);
  void Stop();
  int Port() const { return port_; }
  const std::string& Address() const { return address_; }

  TemplateDevice& Device() { return device_; }
  void SetFaults(const Faults& f);
  Faults GetFaults() const;
  // Sends raw bytes on every open connection (a burst the host did not ask for).
  void Burst(const std::string& bytes);

  long Connections() const { return accepted_; }
  int OpenConnections() const { return open_; }

private:
  struct Conn {
    int fd = -1;
    std::string in;
  };
  void Loop();
  void Serve(Conn& c);
  bool WriteAll(int fd, const std::string& bytes);

  std::string address_;
  std::atomic<int> port_{0};
  TemplateDevice device_;
  mutable std::mutex m_;
  Faults faults_;
  std::vector<std::string> bursts_;
  int listener_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::vector<std::unique_ptr<Conn>> conns_;
  std::atomic<long> accepted_{0};
  std::atomic<int> open_{0};
};

}  // namespace px::sim
