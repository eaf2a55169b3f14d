#include "service/ServerAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

namespace px {

namespace {
bool IsLoopback(const std::string& dotted) { return dotted.rfind("127.", 0) == 0; }
}  // namespace

std::string PickServerAddress(const std::vector<std::string>& resolved, const std::vector<LocalAddress>& interfaces) {
  for (const auto& r : resolved) {
    if (IsLoopback(r)) continue;
    for (const auto& i : interfaces)
      if (i.up && !i.loopback && i.address == r) return r;
  }
  for (const auto& i : interfaces)
    if (i.up && !i.loopback && !IsLoopback(i.address)) return i.address;
  return {};
}

std::vector<std::string> ResolveHostAddresses() {
  std::vector<std::string> out;
  char host[261] = {};
  if (gethostname(host, 260) != 0) return out;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return out;
  for (addrinfo* a = res; a; a = a->ai_next) {
    char buf[INET_ADDRSTRLEN] = {};
    auto* sin = reinterpret_cast<sockaddr_in*>(a->ai_addr);
    if (inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) out.emplace_back(buf);
  }
  freeaddrinfo(res);
  return out;
}

std::vector<LocalAddress> LocalAddresses() {
  std::vector<LocalAddress> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    char buf[INET_ADDRSTRLEN] = {};
    auto* sin = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
    if (!inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) continue;
    out.push_back({buf, (i->ifa_flags & IFF_UP) != 0, (i->ifa_flags & IFF_LOOPBACK) != 0});
  }
  freeifaddrs(list);
  return out;
}

}  // namespace px
