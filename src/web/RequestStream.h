#pragma once
#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace px {

// A connected socket as the HTTP library reads and writes it: buffered (the
// library reads lines a byte at a time), with a byte budget for each part of
// a request, a total deadline for reading a request and another for writing
// its answer, and an end to every wait once the server stops. Each wait on
// the peer is also cut at `waitMax`. One connection, one thread.
class RequestStream : public httplib::Stream {
public:
  using Clock = std::chrono::steady_clock;
  // Which limit a request broke; reads fail from then on.
  enum class Exceeded { None, RequestLine, Headers, Body, Deadline };

  struct Limits {
    size_t maxRequestLine = 8192;  // with its line end
    size_t maxHeaderBytes = 8192;  // the header lines together, with the blank line
    size_t maxBodyBytes = 4096 + 1024;  // raw body bytes, chunk framing included
    std::chrono::milliseconds waitMax{5000};
    std::chrono::milliseconds deadline{10000};
  };

  RequestStream(int sock, const Limits& limits, std::function<bool()> stopping);

  // The next request begins: fresh budgets, its deadline starts now.
  void NewRequest();
  bool HasBuffered() const { return pos_ < buf_.size(); }
  // Waits up to `ms` for a byte of the next request.
  bool WaitReadable(int ms) const;
  Exceeded Broken() const { return exceeded_; }
  // Bytes written since NewRequest.
  size_t Written() const { return written_; }
  // The status that names a broken limit (0 for None).
  static int StatusFor(Exceeded e);

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return sock_; }

private:
  enum class Part { RequestLine, Headers, Body };
  // Waits for `events` in short slices until the deadline, waitMax or a stop.
  bool Wait(short events, Clock::time_point deadline) const;
  // How many of the n bytes at p fit the budgets; marks the limit broken
  // when the first of them does not fit.
  size_t Admit(const char* p, size_t n);

  int sock_;
  Limits limits_;
  std::function<bool()> stopping_;
  std::vector<char> buf_;
  size_t pos_ = 0;
  Part part_ = Part::RequestLine;
  size_t lineBytes_ = 0;  // bytes of the current head line so far
  size_t headerBytes_ = 0;
  size_t bodyBytes_ = 0;
  char last_ = 0;
  Exceeded exceeded_ = Exceeded::None;
  Clock::time_point readDeadline_;
  Clock::time_point writeDeadline_{};
  bool writing_ = false;
  size_t written_ = 0;
};

}  // namespace px
