#pragma once
#include <string>
#include <vector>

namespace px {

// One IPv4 address of a local network interface.
struct LocalAddress {
  std::string address;  // dotted
  bool up = false;
  bool loopback = false;
};

// The address client programs are told to reach the server at: among the
// host name's addresses the first that is not loopback and belongs to an
// interface that is up; failing that, the first address of an interface
// that is up and not loopback; "" when there is none. (A Debian host name
// resolves to 127.0.1.1, which no other machine can reach.)
std::string PickServerAddress(const std::vector<std::string>& resolved, const std::vector<LocalAddress>& interfaces);

// The host name's IPv4 addresses, in resolver order.
std::vector<std::string> ResolveHostAddresses();
// The IPv4 addresses of the machine's interfaces, in the system's order.
std::vector<LocalAddress> LocalAddresses();

}  // namespace px
