// Soak benchmark: the real portexd for a long run with the attendance link
// on, 16 units on a simulated bus presenting about 30 cards a second
// between them, and 20 clients polling every 100 ms. Prints the server's
// resident memory every minute (and at the end), with the rows stored so
// far; memory must level off, not climb with the number of transactions.
// Also the clients' poll latency over that minute (p50, p99, max): the
// intake journal's syncs must never hold the event loop that answers them.
//
//   bench_soak [--minutes 30] [--rate 30] [--clients 20] [--dir FOLDER]
//
// Without --dir the program folder is a fresh one under /tmp, removed
// afterwards.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchKit.h"
#include "clientserver/ClientWire.h"
#include "clientserver/WireClient.h"
#include "common/Format.h"
#include "platform/Database.h"

using namespace px;
using bench::FreePort;
using namespace std::chrono_literals;

namespace {

struct Options {
  int minutes = 30, rate = 30, clients = 20;
  std::string dir;
};

bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!v) return false;
    ++i;
    if (a == "--minutes") o.minutes = std::atoi(v);
    else if (a == "--rate") o.rate = std::atoi(v);
    else if (a == "--clients") o.clients = std::atoi(v);
    else if (a == "--dir") o.dir = v;
    else return false;
  }
  return o.minutes > 0 && o.rate > 0 && o.clients >= 0;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& out) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (FILE* f = std::freopen(out.c_str(), "w", stdout)) (void)f;
  dup2(STDOUT_FILENO, STDERR_FILENO);
  execv(argv[0], argv.data());
  _exit(127);
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

long StatusKb(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key) + 1);
  return -1;
}

long Count(TDatabase& db, const std::string& table) {
  try {
    TQuery q(&db);
    q.SQL = "select count(*) from " + table;
    q.Open();
    return std::atol(q.FieldByName(q.Rows().columns.at(0)).c_str());
  } catch (const std::exception&) {
    return -1;  // busy: the next sample reads it
  }
}

// Poll round trips in ms since the last look.
struct Latencies {
  std::mutex m;
  std::vector<double> ms;
  void Add(double v) {
    std::lock_guard<std::mutex> g(m);
    ms.push_back(v);
  }
  std::vector<double> Take() {
    std::lock_guard<std::mutex> g(m);
    std::vector<double> out;
    out.swap(ms);
    std::sort(out.begin(), out.end());
    return out;
  }
};

double At(const std::vector<double>& sorted, double p) {
  return sorted.empty() ? 0 : sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1))];
}

// One workstation: a poll every 100 ms, keeping up with the monitor list.
void Client(int port, int n, std::atomic<bool>& stop, std::atomic<long>& polls, std::atomic<long>& failures,
            Latencies& latencies) {
  TWireClient c;
  std::string last;
  const std::string tag = Format("Door%02d", n % 16 + 1);
  while (!stop) {
    if (!c.Connected() && c.Connect("127.0.0.1", port, 2000) != TWireClient::Result::Ok) {
      ++failures;
      std::this_thread::sleep_for(500ms);
      continue;
    }
    std::string reply;
    const auto sent = std::chrono::steady_clock::now();
    if (c.Exchange(wire::PollRequest(tag, last), reply, 2000) == TWireClient::Result::Ok) {
      latencies.Add(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
      ++polls;
      auto body = wire::ParsePollBody(wire::ParseReply(reply).body);
      if (!body.lines.empty()) last = wire::LastLineOf(body.lines.back());
    } else {
      ++failures;
      c.Close();
    }
    std::this_thread::sleep_for(100ms);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) {
    std::fprintf(stderr, "usage: bench_soak [--minutes N] [--rate PER_SECOND] [--clients N] [--dir FOLDER]\n");
    return 1;
  }
  const bool ownDir = o.dir.empty();
  if (ownDir) {
    char tmpl[] = "/tmp/pxsoak.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    o.dir = tmpl;
  }
  std::filesystem::create_directories(o.dir);
  const std::string dir = o.dir + "/";
  const int port = FreePort();
  {
    std::ofstream ini(dir + "OstrPro.Ini");
    ini << "[Comm Setting]\nCommPort=1\nBaudRate=38400\n[Ports]\nCOM1=" << dir << "ttySIM1\n"
        << "[Server]\nClientPort=" << port << "\n[Web]\nPort=0\n[Options]\nChronex_Link=1\n";
  }
  // 16 controllers and 400 card holders.
  TDatabase db([&](const std::string& a) { return "sqlite:" + dir + (a == "OstrTimeSQL" ? "OstrTimeSQL.db" : "OstrPro.db"); },
               "");
  db.AliasName = "OstrPro";
  TDatabase arq([&](const std::string&) { return "sqlite:" + dir + "OstrTimeSQL.db"; }, "");
  arq.AliasName = "OstrTimeSQL";
  std::string cards;
  try {
    db.Open();
    arq.Open();
    TQuery q(&db);
    q.SQL = "begin";
    q.ExecSQL();
    for (int u = 1; u <= 16; ++u) {
      q.SQL = Format("insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) "
                     "values ('Door%02d', %d, '', 'KX4100', 'UP', 'Y')",
                     u, u);
      q.ExecSQL();
    }
    for (int c = 0; c < 400; ++c) {
      q.SQL = Format("insert into cards values('%06d','S%05d','Holder %d','','','')", 100000 + c, c, c);
      q.ExecSQL();
      cards += (c ? "," : "") + Format("%06d", 100000 + c);
    }
    q.SQL = "commit";
    q.ExecSQL();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "seeding the databases: %s\n", e.what());
    return 1;
  }
  { std::ofstream(dir + "cards.txt") << cards; }

  // Each of the 16 units presents a card every 16000/rate ms.
  const std::string every = std::to_string(16000 / o.rate);
  pid_t sim = Spawn({PX_CTRLSIM, "--pty-link", dir + "ttySIM1", "--baud", "38400", "--units", "1-16", "--auto-trans",
                     every, "--cards", dir + "cards.txt"},
                    dir + "ctrlsim.out");
  for (int i = 0; i < 50 && !std::filesystem::exists(dir + "ttySIM1"); ++i) std::this_thread::sleep_for(100ms);
  pid_t server = Spawn({PX_PORTEXD, "--appdir", o.dir}, dir + "portexd.out");
  std::this_thread::sleep_for(3s);

  std::atomic<bool> stop{false};
  std::atomic<long> polls{0}, failures{0};
  Latencies latencies;
  std::vector<std::thread> clients;
  for (int i = 0; i < o.clients; ++i)
    clients.emplace_back(Client, port, i, std::ref(stop), std::ref(polls), std::ref(failures), std::ref(latencies));

  std::printf("soak: %d minutes, 16 units ~%d transactions/s, attendance link on, %d clients polling every 100 ms\n",
              o.minutes, o.rate, o.clients);
  std::printf("%6s %12s %12s %10s %10s %10s %8s %8s %8s %8s\n", "minute", "rss kB", "peak kB", "trans", "ot_tmclk",
              "polls", "failed", "p50 ms", "p99 ms", "max ms");
  std::fflush(stdout);
  auto t0 = std::chrono::steady_clock::now();
  bool alive = true;
  for (int m = 0; m <= o.minutes && alive; ++m) {
    if (m > 0) std::this_thread::sleep_until(t0 + std::chrono::minutes(m));
    alive = kill(server, 0) == 0 && waitpid(server, nullptr, WNOHANG) == 0;
    const auto lat = latencies.Take();
    std::printf("%6d %12ld %12ld %10ld %10ld %10ld %8ld %8.2f %8.2f %8.2f\n", m, StatusKb(server, "VmRSS:"),
                StatusKb(server, "VmHWM:"), Count(db, "trans"), Count(arq, "ot_tmclk"), polls.load(), failures.load(),
                At(lat, 0.5), At(lat, 0.99), At(lat, 1.0));
    std::fflush(stdout);
  }
  stop = true;
  for (auto& t : clients) t.join();
  Stop(server);
  Stop(sim);
  if (!alive) std::printf("portexd ended before the run was over: see %sportexd.out\n", dir.c_str());
  if (ownDir && alive) std::filesystem::remove_all(o.dir);
  return alive ? 0 : 2;
}
