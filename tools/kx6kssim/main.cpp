// kx6kssim: a template server device on TCP, for manual tests and benchmarks.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

#include "kx6kssim/KX6KSSim.h"

using namespace px::sim;

namespace {

const char* kUsage =
    "usage: kx6kssim [options]\n"
    "  --listen ADDR:PORT   address to listen on (default 127.0.0.1:4001; port 0 picks one)\n"
    "  --users N            users 1..N with templates (default 10)\n"
    "  --fingers F          fingers per user (default 2)\n"
    "  --units LIST         units answered, e.g. 1,2 (default all)\n"
    "  --silent             read frames, never answer\n"
    "  --delay MS           wait before each reply\n"
    "  --pieces N[:GAP]     send replies in pieces of N bytes, GAP ms apart\n"
    "  --noise TEXT         bytes sent before each reply\n"
    "  --force CMD:CODE[:N] answer the next N commands CMD (or *) with CODE\n";

bool Split(const std::string& s, char sep, std::string& a, std::string& b) {
  auto p = s.find(sep);
  if (p == std::string::npos) return false;
  a = s.substr(0, p);
  b = s.substr(p + 1);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string address = "127.0.0.1", units;
  int port = 4001, users = 10, fingers = 2;
  KX6KSSim::Faults f;
  struct Force {
    std::string cmd, code;
    int n;
  };
  std::vector<Force> forces;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "kx6kssim: " << a << " needs a value\n";
        std::exit(2);
      }
      return argv[++i];
    };
    std::string x, y;
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--listen" && Split(next(), ':', x, y)) {
      address = x;
      port = std::atoi(y.c_str());
    } else if (a == "--users") {
      users = std::atoi(next().c_str());
    } else if (a == "--fingers") {
      fingers = std::atoi(next().c_str());
    } else if (a == "--units") {
      units = next();
    } else if (a == "--silent") {
      f.silent = true;
    } else if (a == "--delay") {
      f.delayMs = std::atoi(next().c_str());
    } else if (a == "--pieces") {
      std::string v = next();
      if (!Split(v, ':', x, y)) {
        x = v;
        y.assign(1, '0');  // (not = "0": GCC 12 warns falsely of an overlap)
      }
      f.pieceBytes = std::atoi(x.c_str());
      f.pieceGapMs = std::atoi(y.c_str());
    } else if (a == "--noise") {
      f.noise = next();
    } else if (a == "--force" && Split(next(), ':', x, y)) {
      std::string code = y, n = "1";
      Split(y, ':', code, n);
      forces.push_back({x, code, std::atoi(n.c_str())});
    } else {
      std::cerr << "kx6kssim: bad option " << a << "\n" << kUsage;
      return 2;
    }
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  KX6KSSim sim(address, port);
  for (int u = 1; u <= users; ++u) sim.Device().AddUser(u, fingers);
  std::vector<int> unitList;
  for (size_t p = 0; !units.empty() && p < units.size();) {
    size_t q = units.find(',', p);
    unitList.push_back(std::atoi(units.substr(p, q - p).c_str()));
    p = q == std::string::npos ? units.size() : q + 1;
  }
  sim.Device().SetUnits(unitList);
  for (const auto& fc : forces) sim.Device().ForceCode(fc.cmd, fc.code, fc.n);
  sim.SetFaults(f);
  std::string err;
  if (!sim.Start(&err)) {
    std::cerr << "kx6kssim: " << err << "\n";
    return 1;
  }
  std::cout << "kx6kssim: " << users << " users on " << address << ":" << sim.Port() << std::endl;
  int sig = 0;
  sigwait(&stopSignals, &sig);
  sim.Stop();
  return 0;
}
