#pragma once
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "clientserver/WireClient.h"

namespace px {

// The command line client of the client server (program pxclient):
//   pxclient [--host H] [--port P] [--timeout S] COMMAND ...
// Returns the exit status: 0 done, 1 failed or refused, 2 bad usage.
class TClientCli {
public:
  TClientCli(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}
  int Run(const std::vector<std::string>& args);
  static const char* Usage();
  // Waits between reply fetches of "cmd"; tests make it instant.
  std::function<void(int ms)> sleep;

private:
  int Poll(const std::vector<std::string>& a);
  int Command(const std::vector<std::string>& a);
  int FetchReply(const std::vector<std::string>& a);
  int Login(const std::vector<std::string>& a);
  int Mobile(const std::vector<std::string>& a);
  int Job(const std::vector<std::string>& a);
  int Raw(const std::vector<std::string>& a);
  // Connects, sends and reads one reply; false with the failure reported.
  bool Exchange(const std::string& request, std::string& reply, bool expectAck = true);
  bool Connect();
  int Fail(const std::string& message);

  std::ostream& out_;
  std::ostream& err_;
  std::string host_ = "127.0.0.1";
  int port_ = 9011;
  int timeoutMs_ = 5000;
  TWireClient socket_;
};

}  // namespace px
