// Event stream benchmark against a local broker (Debian's mosquitto, started
// here on a free loopback port without persistence):
//  1. transactions stored at a steady rate (default 500 a second) by the real
//     store on its 200 ms tick, published by the real stream: the delay from
//     the end of the storing tick that committed a row to its arrival at a
//     subscriber, p50/p99/max (goal: p99 well under a second);
//  2. the broker stopped, a backlog stored meanwhile, the broker started:
//     the flush rate from the reconnect until the broker acknowledged the
//     last event (goal: at least 5,000 events a second).
//
//   bench_mqtt [--seconds 10] [--rate 500] [--backlog 50000] [--dir FOLDER] [--pg URI]
//
// With --pg (or PX_PG_URI set) the same follows on PostgreSQL, in a schema of
// its own that is dropped afterwards.
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "BenchKit.h"
#include "common/Format.h"
#include "engine/NullEngine.h"
#include "events/EventStream.h"
#include "events/MqttLink.h"
#include "monitor/TransOnlineForm.h"
#include "platform/DbDriver.h"
#include "platform/EventLoop.h"
#include "platform/Timer.h"
#include "service/Registry.h"
#include "service/ServiceContext.h"
#include "service/ServiceDb.h"
#include "service/ServiceLog.h"
#include "service/Settings.h"
#include "service/TransStore.h"

using namespace px;
using bench::FreePort;
using bench::Ms;
using bench::Percentile;
using Steady = std::chrono::steady_clock;

namespace {

struct Options {
  int seconds = 10, rate = 500, backlog = 50000;
  std::string dir;
  std::string pg;
};

// Serial transaction lines at a steady rate from 16 units.
class PacedEngine : public NullEngine {
public:
  explicit PacedEngine(int rate) : rate_(rate) {}
  Steady::time_point start = Steady::now();
  long long handed = 0;
  using IEngine::GetNextTransaction;
  int GetNextTransaction(std::string& line, std::uint64_t& seq) override {
    seq = 0;
    const double due = std::chrono::duration<double>(Steady::now() - start).count() * rate_;
    if (static_cast<double>(handed) >= due) return 1;
    const int unit = static_cast<int>(handed % 16) + 1;
    line = Format("T01%2.2d09121015%6.6lld4", unit, handed % 1000000);
    ++handed;
    return 0;
  }

private:
  int rate_;
};

class Broker {
public:
  Broker(std::string dir, int port) : dir_(std::move(dir)), port_(port) {
    std::ofstream(dir_ + "/broker.conf") << "listener " << port_ << " 127.0.0.1\npersistence false\n"
                                         << "allow_anonymous true\n" << (geteuid() == 0 ? "user root\n" : "");
  }
  ~Broker() { Stop(); }
  bool Start() {
    pid_ = fork();
    if (pid_ == 0) {
      freopen((dir_ + "/broker.log").c_str(), "w", stderr);
      execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir_ + "/broker.conf").c_str(), nullptr);
      _exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port_));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      close(fd);
      if (ok) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

private:
  std::string dir_;
  int port_;
  pid_t pid_ = -1;
};

// A subscriber noting when each event id arrives.
class Subscriber {
public:
  std::mutex m;
  std::map<long long, Steady::time_point> arrived;
  bool Start(int port) {
    mosq_ = mosquitto_new("bench-sub", true, this);
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* p, const mosquitto_message* msg) {
      auto* self = static_cast<Subscriber*>(p);
      const std::string payload(static_cast<const char*>(msg->payload), static_cast<size_t>(msg->payloadlen));
      const size_t at = payload.find("\"id\":\"");
      if (at == std::string::npos) return;
      std::lock_guard<std::mutex> g(self->m);
      self->arrived.emplace(std::atoll(payload.c_str() + at + 6), Steady::now());
    });
    mosquitto_connect_callback_set(mosq_, [](mosquitto* mq, void*, int) {
      mosquitto_subscribe(mq, nullptr, "bench/transactions/#", 1);
    });
    return mosquitto_connect(mosq_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS && mosquitto_loop_start(mosq_) == 0;
  }
  ~Subscriber() {
    if (!mosq_) return;
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, true);
    mosquitto_destroy(mosq_);
  }

private:
  mosquitto* mosq_ = nullptr;
};

bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!v) return false;
    ++i;
    if (a == "--seconds") o.seconds = std::atoi(v);
    else if (a == "--rate") o.rate = std::atoi(v);
    else if (a == "--backlog") o.backlog = std::atoi(v);
    else if (a == "--dir") o.dir = v;
    else if (a == "--pg") o.pg = v;
    else return false;
  }
  return o.seconds > 0 && o.rate > 0 && o.backlog > 0;
}

long long Scalar(ServiceDb& db, const std::string& sql) {
  db.RunSQL(db.Query2, sql, true);
  const long long v = std::atoll(db.Query2.FieldOr(db.Query2.Rows().columns.at(0)).c_str());
  db.Query2.Close();
  return v;
}

}  // namespace

bool RunOnce(const Options& o, Broker& broker, Subscriber& sub, int port, const std::string& mainConn,
             const std::string& where) {
  {
    std::lock_guard<std::mutex> g(sub.m);
    sub.arrived.clear();  // a new database counts its ids afresh
  }
  auto clock = SystemClock::Instance();
  ServiceSettings settings;
  settings.AppDir = o.dir + "/";
  settings.NoOTFRepro = true;
  settings.DbOstrPro = mainConn;
  ServiceLog log(clock);
  log.SetAppDir(settings.AppDir);
  ServiceDb db(settings, log, clock);
  if (!db.SQLDB_Connect(false)) {
    std::fprintf(stderr, "database did not open (%s)\n", where.c_str());
    return false;
  }
  ControllerRegistry registry(settings, db, log);
  for (int p = 1; p <= 16; ++p) {
    TCtrlRec r;
    r.TagName = Format("Door%02d", p);
    r.LogicalPoint = p;
    registry.CtrlTable().Add(r);
  }
  EventLoop loop;
  PacedEngine engine(o.rate);
  TTransOnlineForm monitor;
  ServiceContext ctx;
  ctx.loop = &loop;
  ctx.log = &log;
  ctx.settings = &settings;
  ctx.clock = clock;
  ctx.db = &db;
  ctx.registry = &registry;
  ctx.engine = &engine;
  ctx.monitor = &monitor;
  TTransStore store(ctx, log);

  StreamOptions so;
  so.broker = "mqtt://127.0.0.1:" + std::to_string(port);
  so.host = "127.0.0.1";
  so.port = port;
  so.prefix = "bench";
  so.reconnectMin = std::chrono::milliseconds(100);
  so.reconnectMax = std::chrono::milliseconds(500);
  EventStreamHost host;
  host.loop = &loop;
  host.log = &log;
  host.clock = clock;
  host.db = &db.Database1;
  std::unique_ptr<EventStream> stream;

  std::map<long long, Steady::time_point> committed;
  long long newest = 0;
  TTimer timer1(loop, 200, false);
  timer1.OnTimer = [&] {
    timer1.SetEnabled(false);
    store.CheckThCommTrans();
    const auto now = Steady::now();
    const long long top = Scalar(db, "select coalesce(max(id), 0) from trans_event");
    for (long long id = newest + 1; id <= top; ++id) committed[id] = now;
    newest = top;
    stream->AfterStorageTick();
    timer1.SetEnabled(true);
  };
  std::thread loopThread([&] { loop.Run(); });
  loop.Synchronize([&] {
    store.GetTranCodeFromTable();
    stream = std::make_unique<EventStream>(host, so, std::make_unique<MqttLink>(so, log));
    stream->Start();
  });
  auto connected = [&] {
    bool c = false;
    loop.Synchronize([&] { c = stream->Connected(); });
    return c;
  };
  while (!connected()) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  // 1. Steady storing.
  loop.Synchronize([&] {
    engine.start = Steady::now();
    timer1.SetEnabled(true);
  });
  std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
  loop.Synchronize([&] { timer1.SetEnabled(false); });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::vector<double> delays;
  size_t missing = 0;
  {
    std::lock_guard<std::mutex> g(sub.m);
    for (const auto& [id, at] : committed) {
      auto it = sub.arrived.find(id);
      if (it == sub.arrived.end()) ++missing;
      else delays.push_back(Ms(it->second - at));
    }
  }
  std::printf("mqtt: %d s at %d stored/s, %s, QCheckInterval 200 ms, broker on 127.0.0.1:%d\n", o.seconds,
              o.rate, where.c_str(), port);
  std::printf("  stored             %zu events, %zu arrived, %zu missing\n", committed.size(), delays.size(), missing);
  std::printf("  commit to arrival  p50 %.1f ms, p99 %.1f ms, max %.1f ms (from the end of the storing tick)\n",
              Percentile(delays, 0.5), Percentile(delays, 0.99), Percentile(delays, 1.0));

  // 2. Outage, backlog, flush.
  broker.Stop();
  while (connected()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  long long top = 0;
  loop.Synchronize([&] {
    db.RunSQL(db.Query1, "begin", false);
    for (int i = 0; i < o.backlog; i += 500) {
      std::vector<std::vector<std::string>> rows;
      for (int k = i; k < std::min(o.backlog, i + 500); ++k)
        rows.push_back({"", "101500", Format("%06d", k % 1000000), "20261209", Format("Door%02d", k % 16 + 1), "",
                        "Holder", "S1", "", "", "", "", "4"});
      db.RunSQL(db.Query1, TransactionEvent::InsertSql(rows, std::vector<std::string>(rows.size(), "Door forced"), 0,
                                                       rows.size()),
                false);
    }
    db.RunSQL(db.Query1, "commit", false);
    top = Scalar(db, "select max(id) from trans_event");
  });
  if (!broker.Start()) return false;
  while (!connected()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto t0 = Steady::now();
  long long acked = 0;
  while (acked < top && Steady::now() - t0 < std::chrono::seconds(120)) {
    loop.Synchronize([&] { acked = stream->Acknowledged(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const double secs = std::chrono::duration<double>(Steady::now() - t0).count();
  const double rate = static_cast<double>(o.backlog) / secs;
  std::printf("  backlog flush      %d events in %.2f s after the reconnect = %.0f events/s (goal 5000)%s\n",
              o.backlog, secs, rate, acked < top ? " UNFINISHED" : "");
  const bool ok = missing == 0 && rate >= 5000 && acked >= top;
  std::printf("  verdict            %s\n", ok ? "PASS" : "BELOW GOAL");

  stream->Stop(std::chrono::seconds(2));
  loop.Synchronize([&] { stream.reset(); });
  loop.Stop();
  loopThread.join();
  return ok;
}

int main(int argc, char** argv) {
  Options o;
  if (const char* env = std::getenv("PX_PG_URI")) o.pg = env;
  if (!Parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: bench_mqtt [--seconds N] [--rate PER_SECOND] [--backlog N] [--dir FOLDER] [--pg URI]\n");
    return 1;
  }
  const bool ownDir = o.dir.empty();
  if (ownDir) {
    char tmpl[] = "/tmp/pxmqtt.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    o.dir = tmpl;
  }
  std::filesystem::create_directories(o.dir);
  const int port = FreePort();
  Broker broker(o.dir, port);
  if (!broker.Start()) {
    std::fprintf(stderr, "mosquitto did not start (apt-get install mosquitto)\n");
    return 1;
  }
  Subscriber sub;
  if (!sub.Start(port)) return 1;

  bool ok = RunOnce(o, broker, sub, port, "sqlite:OstrPro.db", "SQLite");
  if (!o.pg.empty()) {
    // A schema of its own, dropped afterwards, so nothing else is touched.
    const std::string schema = Format("pxmqtt_%d", static_cast<int>(getpid()));
    DbConnectParams p;
    p.connectionString = o.pg;
    try {
      auto admin = OpenDbConnection(p);
      admin->Execute("create schema " + schema);
      std::filesystem::create_directories(o.dir + "/pg");
      Options po = o;
      po.dir = o.dir + "/pg";
      ok = RunOnce(po, broker, sub, port,
                   o.pg + (o.pg.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + schema,
                   "PostgreSQL schema " + schema) &&
           ok;
      admin->Execute("drop schema " + schema + " cascade");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "PostgreSQL run skipped: %s\n", e.what());
    }
  }
  if (ownDir) std::filesystem::remove_all(o.dir);
  return ok ? 0 : 2;
}
