#pragma once
#include <chrono>
#include <string>

#include "ctrlsim/Frame.h"

namespace px::sim::test {

// The host side of a simulator in tests: a pty slave or a TCP connection,
// read with time limits so a missing answer fails instead of hanging.
class SimClient {
public:
  static SimClient OpenPty(const std::string& path);   // raw mode; invalid on failure
  static SimClient Connect(const std::string& address, int port);
  SimClient(SimClient&& other) noexcept;
  SimClient& operator=(SimClient&& other) noexcept;
  ~SimClient();

  bool Valid() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // Bytes up to and including the first CR, or what came before the time ran out.
  std::string ReadFrame(int timeoutMs = 2000);
  // Everything that arrives within the window.
  std::string ReadFor(int ms);
  // True when the peer hung up (read end-of-file or error) within the time.
  bool WaitHangup(int timeoutMs = 2000);
  // Number of separate reads that delivered the last ReadFrame's bytes.
  int LastReads() const { return reads_; }
  SteadyClock::time_point FirstByteAt() const { return firstByte_; }
  SteadyClock::time_point LastByteAt() const { return lastByte_; }

  static std::string Poll(int unit, const std::string& code);
  static std::string Command(int unit, const std::string& code, const std::string& params);

private:
  explicit SimClient(int fd) : fd_(fd) {}
  int ReadSome(char* buf, int size, int timeoutMs);  // >0 bytes, 0 time out, -1 hang-up

  int fd_ = -1;
  std::string pending_;
  int reads_ = 0;
  SteadyClock::time_point firstByte_{};
  SteadyClock::time_point lastByte_{};
};

}  // namespace px::sim::test
