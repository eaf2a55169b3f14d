#pragma once
#include <string>

namespace px {

// A blocking client connection to the client server with time-outs, for
// tools and tests: it scrambles what it sends and unscrambles what it reads.
class TWireClient {
public:
  enum class Result { Ok, Refused, TimedOut, Closed, Error };

  TWireClient() = default;
  ~TWireClient();
  TWireClient(const TWireClient&) = delete;
  TWireClient& operator=(const TWireClient&) = delete;

  Result Connect(const std::string& host, int port, int timeoutMs);
  // Sends one request in one write (the server takes each read as one request).
  Result Send(const std::string& request);
  // Reads one reply: until it ends with CR, or is "XXRE", or the time is up.
  Result Receive(std::string& reply, int timeoutMs);
  Result Exchange(const std::string& request, std::string& reply, int timeoutMs);
  void Close();
  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // The local address as dotted text (what the server sees as the client's).
  std::string LocalAddress() const;
  // The system's text for the last failure.
  const std::string& Error() const { return error_; }

private:
  int fd_ = -1;
  std::string error_;
};

}  // namespace px
