#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ctrlsim/UnitBank.h"

namespace px::sim {

// One RS-485 bus of simulated units on a pseudo-terminal. The host opens the
// slave side (best through the stable symlink); the simulator answers on the
// master side from its own thread.
//
// A pty moves bytes instantly, a bus does not: output is paced at the baud
// rate (10 bit times per byte, so 9600 baud is about 1.04 ms a byte), and an
// answer starts no earlier than the host's request would have finished on
// the wire. Output while the host has the port closed is lost, as on a real
// line, rather than kept for the next opener.
class SerialSim {
public:
  struct Options {
    std::string linkPath;   // symlink kept pointing at the current slave; empty for none
    int baud = 9600;        // 0 sends at once, unpaced
    int turnaroundMs = 0;   // controller think time before each answer
  };

  SerialSim(std::shared_ptr<UnitBank> bank, Options options);
  ~SerialSim();
  SerialSim(const SerialSim&) = delete;
  SerialSim& operator=(const SerialSim&) = delete;

  // Creates the pty (and the symlink) and starts answering.
  bool Start(std::string* error = nullptr);
  // Stops answering, closes the pty and removes the symlink.
  void Stop();
  bool Running() const;

  // Pulls the adapter: the master side closes, so the host's open port sees
  // a hang-up, and the symlink disappears as a device node would.
  void Unplug() { Stop(); }
  // Plugs a fresh adapter in: a new pty behind the same symlink path.
  bool Replug(std::string* error = nullptr) { return Start(error); }

  std::string SlavePath() const;
  const std::string& LinkPath() const { return options_.linkPath; }
  // What a host should open: the symlink when there is one.
  std::string DevicePath() const;

  UnitBank& Bank() { return *bank_; }
  std::shared_ptr<UnitBank> SharedBank() const { return bank_; }

  void SetBaud(int baud) { baud_ = baud; }
  int Baud() const { return baud_; }
  static std::chrono::nanoseconds ByteTime(int baud);

  long BytesRead() const { return bytesRead_; }
  long BytesWritten() const { return bytesWritten_; }
  long BytesDropped() const { return bytesDropped_; }  // port closed or not read

private:
  void Loop();
  void Wake();
  void CloseFds();

  std::shared_ptr<UnitBank> bank_;
  Options options_;
  std::atomic<int> baud_;
  mutable std::mutex ctl_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  bool running_ = false;
  int master_ = -1;
  int wake_ = -1;
  std::string slavePath_;
  std::atomic<long> bytesRead_{0};
  std::atomic<long> bytesWritten_{0};
  std::atomic<long> bytesDropped_{0};
};

}  // namespace px::sim
