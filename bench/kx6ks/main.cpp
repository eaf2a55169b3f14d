// Bulk template download benchmark. The real portexd runs on a temporary
// program folder with SQLite; a simulated master device holds N users with F
// fingers each. One client polls the server back to back: first while it is
// idle, then while its "2U" job downloads every user. Prints the download's
// seconds and the poll latency percentiles of both phases.
//
//   bench_kx6ks [--users 3000] [--fingers 2] [--idle-seconds 3]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchKit.h"
#include "clientserver/ClientWire.h"
#include "clientserver/WireClient.h"
#include "common/Format.h"
#include "common/StrUtil.h"
#include "kx6kssim/KX6KSSim.h"
#include "platform/Database.h"

using namespace px;
using bench::Percentile;
using Steady = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

int FreePort() {
  sim::KX6KSSim probe("127.0.0.1", 0);
  probe.Start();
  int p = probe.Port();
  probe.Stop();
  return p;
}

bool Contains(const std::string& file, const std::string& text) {
  std::ifstream in(file);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return all.find(text) != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  int users = 3000, fingers = 2, idleSeconds = 3;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--users") && i + 1 < argc) users = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--fingers") && i + 1 < argc) fingers = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--idle-seconds") && i + 1 < argc) idleSeconds = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: bench_kx6ks [--users N] [--fingers F] [--idle-seconds S]\n");
      return 2;
    }
  }
  char tmpl[] = "/tmp/bench_kx6ks.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = std::string(tmpl) + "/";

  sim::KX6KSSim master("127.0.0.81", 0);
  for (int u = 1; u <= users; ++u) master.Device().AddUser(u, fingers);
  std::string err;
  if (!master.Start(&err)) {
    std::fprintf(stderr, "simulator: %s\n", err.c_str());
    return 1;
  }
  const int clientPort = FreePort();
  {
    TDatabase db([&](const std::string&) { return "sqlite:" + dir + "OstrPro.db"; }, "");
    db.AliasName = "OstrPro";
    db.Open();
    TQuery q(&db);
    q.SQL = "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values "
            "('Master6KS', 1, '127000000081', 'KX6000', 'UP', 'Y')";
    q.ExecSQL();
  }
  std::ofstream(dir + "OstrPro.Ini") << Format(
      "[Comm Setting]\nIPPort=%d\nQCheckInterval=20\n[Server]\nClientPort=%d\n[Options]\nDebug=1\n"
      "[KX6KS]\nEnable=1\nMaster=Master6KS\nPort=%d\n",
      FreePort(), clientPort, master.Port());

  pid_t pid = fork();
  if (pid == 0) {
    freopen((dir + "portexd.out").c_str(), "w", stdout);
    freopen((dir + "portexd.out").c_str(), "a", stderr);
    execl(PX_BIN_DIR "/portexd", "portexd", "--appdir", dir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  TWireClient client;
  const auto start = Steady::now();
  while (client.Connect("127.0.0.1", clientPort, 500) != TWireClient::Result::Ok) {
    if (Steady::now() - start > std::chrono::seconds(30)) {
      std::fprintf(stderr, "portexd did not open its client port\n");
      kill(pid, SIGTERM);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // An empty monitor: the header row is its last line.
  const std::string poll =
      wire::PollRequest("Master6KS", Format("%12s%8s%4s%6s%s%s", "Device Name", "Date", "Time", "Card#", "", ""));
  auto timedPoll = [&](std::vector<double>& lat, std::string& body) {
    std::string reply;
    const auto t0 = Steady::now();
    if (client.Exchange(poll, reply, 5000) != TWireClient::Result::Ok) return false;
    lat.push_back(std::chrono::duration<double, std::milli>(Steady::now() - t0).count());
    body = CopyFrom(wire::ParseReply(reply).body, 7);
    return true;
  };

  std::vector<double> idle, busy;
  std::string body;
  for (auto until = Steady::now() + std::chrono::seconds(idleSeconds); Steady::now() < until;)
    if (!timedPoll(idle, body)) break;

  std::string reply;
  const auto j0 = Steady::now();
  client.Exchange(wire::JobRequest("Master6KS", 1, "000000", "2U", "127000000001", "BENCH000001", "127000000081"),
                  reply, 5000);
  long progress = 0;
  while (Steady::now() - j0 < std::chrono::minutes(10)) {
    if (!timedPoll(busy, body)) break;
    if (StartsWith(body, "_&")) ++progress;
    if (StartsWith(body, "_*")) break;
  }
  const double secs = std::chrono::duration<double>(Steady::now() - j0).count();
  const bool ok = StartsWith(body, "_*") && body.find("Y2U") != std::string::npos;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  master.Stop();
  long files = 0;
  for (auto& e : fs::directory_iterator(dir + "templates"))
    if (EndsWith(e.path().string(), "T_KT7100.efm")) ++files;
  bool doneFull = false;
  for (auto& e : fs::directory_iterator(dir))
    if (StartsWith(e.path().filename().string(), "TRS_")) doneFull = doneFull || Contains(e.path(), "QDone Full");

  std::printf("bulk download: %d users x %d fingers: %s in %.2f s (%.0f users/s), %ld template files, "
              "%ld progress lines polled, done queue full: %s\n",
              users, fingers, ok ? "OK" : "FAILED", secs, users / secs, files, progress,
              doneFull ? "yes" : "no");
  std::printf("client poll idle:   n=%zu p50=%.2f ms p99=%.2f ms max=%.2f ms\n", idle.size(), Percentile(idle, 0.5),
              Percentile(idle, 0.99), idle.empty() ? 0 : *std::max_element(idle.begin(), idle.end()));
  std::printf("client poll during: n=%zu p50=%.2f ms p99=%.2f ms max=%.2f ms\n", busy.size(), Percentile(busy, 0.5),
              Percentile(busy, 0.99), busy.empty() ? 0 : *std::max_element(busy.begin(), busy.end()));
  fs::remove_all(dir);
  return ok ? 0 : 1;
}
