// Client poll benchmark. A client server with the real request protocol
// runs on its own event loop thread, over a registry of 128 controllers and
// a full transaction monitor; N clients on loopback (one thread, async)
// send SOH polls as fast as the answers come back. Prints requests per
// second and the latency percentiles.
//
//   bench_clientpoll [--clients 100] [--seconds 5] [--behind]
//
// --behind makes every poll carry a stale last line, so each answer holds
// the whole monitor list (the heavy case); by default clients are up to date.
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchKit.h"
#include "clientserver/ClientProtocol.h"
#include "clientserver/ClientServer.h"
#include "clientserver/ClientWire.h"
#include "common/Format.h"
#include "monitor/TransOnlineForm.h"
#include "platform/EventLoop.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"
#include "service/ServiceDb.h"
#include "service/Settings.h"

using namespace px;
using bench::Percentile;
using Steady = std::chrono::steady_clock;

namespace {

struct PollClient : std::enable_shared_from_this<PollClient> {
  asio::ip::tcp::socket socket;
  std::string request;
  std::vector<char> buf = std::vector<char>(256 * 1024);
  std::string got;
  Steady::time_point sent;
  std::vector<double>* latencies;
  const bool* running;
  long long* errors;

  PollClient(asio::io_context& io, std::string req, std::vector<double>* lat, const bool* run, long long* err)
      : socket(io), request(ScrambleClientText(req)), latencies(lat), running(run), errors(err) {}

  void Send() {
    if (!*running) return;
    sent = Steady::now();
    got.clear();
    asio::async_write(socket, asio::buffer(request), [self = shared_from_this()](const std::error_code& ec, size_t) {
      if (ec) {
        ++*self->errors;
        return;
      }
      self->Read();
    });
  }
  void Read() {
    socket.async_read_some(asio::buffer(buf), [self = shared_from_this()](const std::error_code& ec, size_t n) {
      if (ec) {
        ++*self->errors;
        return;
      }
      self->got.append(self->buf.data(), n);
      // CR keeps its place through the transform: the reply is complete.
      if (self->got.back() != '\r') return self->Read();
      if (*self->running) {
        self->latencies->push_back(std::chrono::duration<double, std::micro>(Steady::now() - self->sent).count());
      }
      self->Send();
    });
  }
};

// CPU time of the calling thread.
double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double LoadAverage() {
  double l[1] = {0};
  return getloadavg(l, 1) == 1 ? l[0] : -1;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 100, seconds = 5;
  bool behind = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--clients") && i + 1 < argc) clients = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--behind")) behind = true;
    else {
      std::fprintf(stderr, "usage: bench_clientpoll [--clients N] [--seconds S] [--behind]\n");
      return 2;
    }
  }
  if (clients < 1 || seconds < 1) return 2;

  // The server side: a registry of 128 controllers with their status words
  // and a full monitor, as a busy installation has them.
  NullLog log;
  ServiceSettings settings;
  settings.AppDir = "/nonexistent/";
  auto clock = std::make_shared<SystemClock>();
  ServiceDb db(settings, log, clock);
  ControllerRegistry registry(settings, db, log);
  TTransOnlineForm monitor;
  for (int i = 1; i <= ControllerTable::kMaxRows; ++i) {
    TCtrlRec r;
    r.TagName = Format("DOOR%03d", i);
    r.LogicalPoint = i;
    r.CtrlType = "KX4100";
    r.Status = Format("%06d", i);
    registry.CtrlTable().Add(r);
  }
  for (int i = 0; i < TTransOnlineForm::kMaxLines; ++i)
    monitor.AppendOneLine(Format("DOOR%03d", i % 128 + 1), "14/03", "0", "01", "Access granted", "Ann Smith",
                          Format("%06d", i), "S1", "15:09");
  ServiceContext ctx;
  ctx.settings = &settings;
  ctx.clock = clock;
  ctx.db = &db;
  ctx.registry = &registry;
  ctx.monitor = &monitor;
  TClientProtocol protocol(ctx, log);

  EventLoop loop;
  std::unique_ptr<TClientServer> server;
  int port = 0;
  std::thread serverThread([&] { loop.Run(); });
  loop.Synchronize([&] {
    ClientServerOptions o;
    o.bindAddress = "127.0.0.1";
    o.maxConnections = static_cast<size_t>(clients) + 16;
    o.maxPerHost = o.maxConnections;  // every client of the benchmark is on loopback
    server = std::make_unique<TClientServer>(loop.Context(), log, protocol, o);
    if (server->Open(0)) port = server->Port();
  });
  if (!port) {
    std::fprintf(stderr, "bench_clientpoll: cannot listen\n");
    loop.Stop();
    serverThread.join();
    return 1;
  }
  std::string lastLine = behind ? "stale" : monitor.GetLastRec();

  // The clients.
  asio::io_context io;
  bool running = true;
  long long errors = 0;
  std::vector<double> latencies;
  latencies.reserve(4'000'000);
  std::vector<std::shared_ptr<PollClient>> all;
  asio::ip::tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
  for (int i = 0; i < clients; ++i) {
    auto c = std::make_shared<PollClient>(io, wire::PollRequest(Format("DOOR%03d", i % 128 + 1), lastLine),
                                          &latencies, &running, &errors);
    c->socket.connect(ep);
    c->socket.set_option(asio::ip::tcp::no_delay(true));
    all.push_back(c);
  }
  // One second of warm-up, then the measured run.
  for (auto& c : all) c->Send();
  io.run_for(std::chrono::seconds(1));
  latencies.clear();
  double load = LoadAverage();
  double serverCpu0 = 0, serverCpu1 = 0;
  loop.Synchronize([&] { serverCpu0 = ThreadCpuSeconds(); });
  double cpu0 = CpuSeconds();
  auto t0 = Steady::now();
  io.run_for(std::chrono::seconds(seconds));
  double elapsed = std::chrono::duration<double>(Steady::now() - t0).count();
  double cpu = CpuSeconds() - cpu0;
  loop.Synchronize([&] { serverCpu1 = ThreadCpuSeconds(); });
  running = false;
  size_t done = latencies.size();
  io.run_for(std::chrono::milliseconds(200));

  for (auto& c : all) {
    std::error_code ec;
    c->socket.close(ec);
  }
  loop.Synchronize([&] { server.reset(); });
  loop.Stop();
  serverThread.join();

  latencies.resize(done);
  double rate = static_cast<double>(done) / elapsed;
  double p50 = Percentile(latencies, 0.5), p99 = Percentile(latencies, 0.99), p999 = Percentile(latencies, 0.999);
  double pmax = latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
  std::printf("clients            %d (%s)\n", clients, behind ? "behind: full monitor list each answer" : "up to date");
  std::printf("requests           %zu in %.2f s\n", done, elapsed);
  std::printf("requests/s         %.0f\n", rate);
  std::printf("latency p50        %.3f ms\n", p50 / 1000);
  std::printf("latency p99        %.3f ms\n", p99 / 1000);
  std::printf("latency p99.9      %.3f ms\n", p999 / 1000);
  std::printf("latency max        %.3f ms\n", pmax / 1000);
  std::printf("CPU (both sides)   %.0f%% of one core\n", 100 * cpu / elapsed);
  std::printf("server CPU         %.1f us per request (%.0f%% of one core)\n",
              done ? (serverCpu1 - serverCpu0) * 1e6 / static_cast<double>(done) : 0.0,
              100 * (serverCpu1 - serverCpu0) / elapsed);
  std::printf("load average       %.2f at the start (2 cores; other work skews the latency)\n", load);
  std::printf("errors             %lld\n", errors);
  bool ok = rate >= 20000 && p99 < 5000 && errors == 0;
  std::printf("target             >= 20000 req/s, p99 < 5 ms: %s\n", ok ? "met" : "NOT met");
  return ok ? 0 : 1;
}
