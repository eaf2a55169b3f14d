// Drain benchmark: how many transactions a second the store keeps up with
// when the engine always has lines waiting (a backlog after an outage).
// Timer1 runs at "QCheckInterval" the way the service runs it (disabled on
// entry, re-armed at the end). Targets: 5,000 stored a second on SQLite and
// 2,000 on PostgreSQL at the default interval, every line handed over
// stored or spooled, none lost; the longest tick is what the loop waits.
// The intake journal is on, as in the service: every line comes from it in
// the blocks a controller's reply would make, with the unit's owed mark
// before each, and is reported consumed once stored; the journal's syncs a
// second and bytes a record are printed too. The backlog is journaled before
// the count starts, as its controllers handed it over before; with --live
// each block is journaled only as the store comes to it, so the journal
// writes and syncs beside the storing all the time (--no-journal: none).
//
//   bench_drain [--seconds 10] [--interval 200] [--units 128] [--cards 2000]
//               [--link] [--live | --no-journal] [--dir FOLDER] [--pg URI]
//
// Without --dir the SQLite files live in a fresh folder under /tmp, removed
// afterwards. --link adds the attendance row for every clocking. With --pg
// (or PX_PG_URI set) the same run follows on PostgreSQL, in a schema of its
// own that is dropped afterwards, and both are printed side by side.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchKit.h"
#include "common/Format.h"
#include "common/IntakeJournal.h"
#include "engine/NullEngine.h"
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
using bench::Percentile;
using Clk = std::chrono::steady_clock;

namespace {

struct Options {
  int seconds = 10, interval = 200, units = 128, cards = 2000;
  bool link = false, journal = true, live = false;
  std::string dir;
  std::string pg;
};

struct Result {
  double rate = 0, mean = 0, p50 = 0, p99 = 0, cpu = 0, longestTick = 0, syncs = 0, bytesPerRecord = 0;
  long long lost = 0;
  bool ok = false;
};

// An engine whose bus queues never run dry: serial transaction lines from
// every unit in turn, each with a card from the card table. With a journal
// the lines are appended to it first, a reply's worth (eight) of one unit at
// a time after that unit's owed mark, as a bus does.
class FloodEngine : public NullEngine {
public:
  static constexpr int kPerReply = 8;
  FloodEngine(int units, int cards, TIntakeJournal* journal) : units_(units), cards_(cards), journal_(journal) {}
  long long handed = 0;
  std::uint64_t journalBytes = 0, journalLines = 0;  // as the journal writes the entries

  using IEngine::GetNextTransaction;
  int GetNextTransaction(std::string& line, std::uint64_t& seq) override {
    seq = 0;
    int point = static_cast<int>(handed / kPerReply % units_) + 1;
    int card = static_cast<int>(handed % cards_);
    int minute = static_cast<int>(handed / 1000 % 60);
    line = Format("T%2.2d%2.2d010108%2.2d%6.6d%c", BusOfPoint(point), UnitOfPoint(point), minute, card,
                  handed % 2 ? '9' : '0');
    if (journal_) {
      if (seqs_.empty()) Journal(handed);
      seq = seqs_.front();
      seqs_.pop_front();
    }
    ++handed;
    return 0;
  }
  int GetDoorStatus(std::string& text) override {
    text = "0A1234";
    return 0;
  }
  void QueueForRawWrite(const std::string&) override {}
  // The first `lines` lines journaled now, as a backlog's were when their
  // controllers handed them over.
  void JournalAhead(long long lines) {
    for (long long h = 0; h < lines; h += kPerReply) Journal(h);
  }

private:
  // The reply of eight lines from line `from` on (a multiple of eight).
  void Journal(long long from) {
    const int point = static_cast<int>(from / kPerReply % units_) + 1;
    const std::string source = Format("B%d", BusOfPoint(point));
    const std::string unit = Format("B%dU%2.2d", BusOfPoint(point), UnitOfPoint(point));
    std::vector<std::string> lines;
    for (long long h = from; h < from + kPerReply; ++h) {
      const int p = static_cast<int>(h / kPerReply % units_) + 1;
      lines.push_back(Format("T%2.2d%2.2d010108%2.2d%6.6d%c", BusOfPoint(p), UnitOfPoint(p),
                             static_cast<int>(h / 1000 % 60), static_cast<int>(h % cards_), h % 2 ? '9' : '0'));
    }
    TIntakeJournal::Entry owed;
    owed.kind = 'O';
    owed.source = source;
    owed.unitKey = unit;
    owed.first = owed.last = journal_->SetOwed(source, unit, true);
    TIntakeJournal::Entry e;
    e.source = source;
    e.unitKey = unit;
    e.clear = true;
    e.lines = lines;
    e.last = journal_->Append(source, lines, unit, true);
    e.first = e.last ? e.last - kPerReply + 1 : 0;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch()).count();
    owed.timeMs = e.timeMs = now;
    journalBytes += TIntakeJournal::Encode(owed).size() + TIntakeJournal::Encode(e).size();
    journalLines += kPerReply;
    for (int i = 0; i < kPerReply; ++i) seqs_.push_back(e.last ? e.first + static_cast<std::uint64_t>(i) : 0);
  }

  int units_, cards_;
  TIntakeJournal* journal_;
  std::deque<std::uint64_t> seqs_;  // the journal numbers of the lines to come
};

// Times every stored transaction.
class TimedStore : public TTransStore {
public:
  using TTransStore::TTransStore;
  std::vector<double> micros;
  void Save_Trans(const std::string& tag, const std::string& record) override {
    auto t0 = Clk::now();
    TTransStore::Save_Trans(tag, record);
    micros.push_back(std::chrono::duration<double, std::micro>(Clk::now() - t0).count());
  }
};

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// "VmRSS" or "VmHWM" in kB.
long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key) + 1);
  return -1;
}

bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--link") o.link = true;
    else if (a == "--no-journal") o.journal = false;
    else if (a == "--live") o.live = true;
    else if (a == "--seconds" && (v = next())) o.seconds = std::atoi(v);
    else if (a == "--interval" && (v = next())) o.interval = std::atoi(v);
    else if (a == "--units" && (v = next())) o.units = std::atoi(v);
    else if (a == "--cards" && (v = next())) o.cards = std::atoi(v);
    else if (a == "--dir" && (v = next())) o.dir = v;
    else if (a == "--pg" && (v = next())) o.pg = v;
    else return false;
  }
  return o.seconds > 0 && o.interval > 0 && o.units >= 1 && o.units <= 128 && o.cards >= 1;
}

}  // namespace

Result RunOnce(const Options& o, const std::string& mainConn, const std::string& arqConn, const std::string& where,
               double target) {
  Result res;

  auto clock = SystemClock::Instance();
  ServiceSettings settings;
  settings.AppDir = o.dir + "/";
  settings.QCheckInterval = o.interval;
  settings.ChronexLink = o.link;
  settings.NoOTFRepro = true;  // nobody consumes the requests here
  settings.DbOstrPro = mainConn;
  settings.DbOstrTimeSQL = arqConn;
  ServiceLog log(clock);
  log.SetAppDir(settings.AppDir);
  ServiceDb db(settings, log, clock);
  if (!db.SQLDB_Connect(false)) {
    std::fprintf(stderr, "database did not open (%s)\n", where.c_str());
    return res;
  }
  ControllerRegistry registry(settings, db, log);
  for (int p = 1; p <= o.units; ++p) {
    TCtrlRec r;
    r.TagName = Format("Door%03d", p);
    r.LogicalPoint = p;
    registry.CtrlTable().Add(r);
  }
  db.RunSQL(db.Query1, "begin", false);
  for (int c = 0; c < o.cards; ++c)
    db.RunSQL(db.Query1, Format("insert into cards values('%6.6d','S%05d','Holder %d','','','')", c, c, c), false);
  db.RunSQL(db.Query1, "commit", false);

  std::unique_ptr<TIntakeJournal> journal;
  if (o.journal) {
    TIntakeJournal::Options jo;
    jo.dir = o.dir + "/journal";
    journal = std::make_unique<TIntakeJournal>(jo, log);
  }
  EventLoop loop;
  FloodEngine engine(o.units, o.cards, journal.get());
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
  ctx.journal = journal.get();
  TimedStore store(ctx, log);
  store.GetTranCodeFromTable();

  std::vector<double> tickMicros;
  TTimer timer1(loop, o.interval, false);
  timer1.OnTimer = [&] {
    timer1.SetEnabled(false);
    auto t0 = Clk::now();
    store.CheckThCommTrans();
    tickMicros.push_back(std::chrono::duration<double, std::micro>(Clk::now() - t0).count());
    timer1.SetEnabled(true);
  };
  TTimer stop(loop, o.seconds * 1000, false);
  stop.OnTimer = [&] {
    timer1.SetEnabled(false);
    loop.Stop();
  };

  if (journal && !o.live) {
    engine.JournalAhead(12000LL * o.seconds);
    journal->Flush(std::chrono::seconds(60));
  }
  double cpu0 = CpuSeconds();
  const std::uint64_t syncs0 = journal ? journal->Syncs() : 0;
  auto t0 = Clk::now();
  timer1.SetEnabled(true);
  stop.SetEnabled(true);
  loop.Run();
  double wall = std::chrono::duration<double>(Clk::now() - t0).count();
  double cpu = CpuSeconds() - cpu0;

  db.RunSQL(db.Query1, "select count(*) from trans", true);
  long long stored = std::atoll(db.Query1.Rows().rows.at(0).at(0).c_str());
  db.Query1.Close();
  double rate = static_cast<double>(stored) / wall;
  const long long lost = engine.handed - stored - static_cast<long long>(store.Writer().Spool().Size());
  double mean = 0;
  for (double m : store.micros) mean += m;
  if (!store.micros.empty()) mean /= static_cast<double>(store.micros.size());

  std::printf("drain: %d s, QCheckInterval %d ms, %d units, %d cards, attendance link %s, %s\n", o.seconds,
              o.interval, o.units, o.cards, o.link ? "on" : "off", where.c_str());
  std::printf("  stored            %lld transactions in %.2f s (%zu ticks, %zu spooled)\n", stored, wall,
              tickMicros.size(), store.Writer().Spool().Size());
  std::printf("  rate              %.1f /s (target %.0f /s); handed over %lld, lost %lld\n", rate, target,
              engine.handed, lost);
  std::printf("  per transaction   mean %.1f us, p50 %.1f us, p99 %.1f us, max %.1f us\n", mean,
              Percentile(store.micros, 0.5), Percentile(store.micros, 0.99), Percentile(store.micros, 1.0));
  double tickMean = 0;
  for (double m : tickMicros) tickMean += m;
  if (!tickMicros.empty()) tickMean /= static_cast<double>(tickMicros.size());
  std::printf("  per tick          mean %.1f us, p50 %.1f us, p99 %.1f us, max %.1f us; one tick every %.2f ms\n",
              tickMean, Percentile(tickMicros, 0.5), Percentile(tickMicros, 0.99), Percentile(tickMicros, 1.0),
              tickMicros.empty() ? 0.0 : 1000.0 * wall / static_cast<double>(tickMicros.size()));
  // What the tick's own work does not explain is the timer firing late.
  if (!tickMicros.empty())
    std::printf("  timer lateness    %.2f ms a tick beyond the interval and the tick's work\n",
                1000.0 * wall / static_cast<double>(tickMicros.size()) - o.interval - tickMean / 1000.0);
  std::printf("  cpu               %.2f s = %.1f%% of one core\n", cpu, 100.0 * cpu / wall);
  if (journal) {
    res.syncs = static_cast<double>(journal->Syncs() - syncs0) / wall;
    res.bytesPerRecord = engine.journalLines
                             ? static_cast<double>(engine.journalBytes) / static_cast<double>(engine.journalLines)
                             : 0;
    std::printf("  intake journal    %s; %.1f syncs/s, %.1f bytes a record (owed marks included), %llu lines not "
                "consumed, %llu bytes on disk\n",
                o.live ? "written while storing" : "backlog journaled before", res.syncs, res.bytesPerRecord,
                static_cast<unsigned long long>(journal->Depth()), static_cast<unsigned long long>(journal->Bytes()));
  } else {
    std::printf("  intake journal    off\n");
  }
  std::printf("  memory            resident %ld kB, peak %ld kB\n", StatusKb("VmRSS"), StatusKb("VmHWM"));
  bool ok = rate >= target && lost == 0;
  std::printf("  verdict           %s\n", ok ? "PASS" : "BELOW TARGET");
  res.rate = rate;
  res.lost = lost;
  res.longestTick = Percentile(tickMicros, 1.0) / 1000.0;
  res.mean = mean;
  res.p50 = Percentile(store.micros, 0.5);
  res.p99 = Percentile(store.micros, 0.99);
  res.cpu = 100.0 * cpu / wall;
  res.ok = ok;
  return res;
}

int main(int argc, char** argv) {
  Options o;
  if (const char* env = std::getenv("PX_PG_URI")) o.pg = env;
  if (!Parse(argc, argv, o)) {
    std::fprintf(stderr, "usage: bench_drain [--seconds N] [--interval MS] [--units 1..128] [--cards N] [--link] "
                         "[--live | --no-journal] [--dir FOLDER] [--pg URI]\n");
    return 1;
  }
  bool ownDir = o.dir.empty();
  if (ownDir) {
    char tmpl[] = "/tmp/pxdrain.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    o.dir = tmpl;
  }
  std::filesystem::create_directories(o.dir);
  Result lite = RunOnce(o, "sqlite:OstrPro.db", "sqlite:OstrTimeSQL.db", "SQLite in " + o.dir, 5000);
  bool ok = lite.ok;
  if (!o.pg.empty()) {
    // A schema of its own, so that nothing else in that database is touched.
    std::string schema = Format("pxdrain_%d", static_cast<int>(getpid()));
    DbConnectParams p;
    p.connectionString = o.pg;
    try {
      auto admin = OpenDbConnection(p);
      admin->Execute("create schema " + schema + "; create schema " + schema + "_arq");
      auto uriOf = [&](const std::string& sch) {
        return o.pg + (o.pg.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + sch;
      };
      std::filesystem::create_directories(o.dir + "/pg");
      Options po = o;
      po.dir = o.dir + "/pg";
      Result pg =
          RunOnce(po, uriOf(schema), uriOf(schema + "_arq"), "PostgreSQL schemas " + schema + "(_arq)", 2000);
      admin->Execute("drop schema " + schema + " cascade; drop schema " + schema + "_arq cascade");
      std::printf("side by side       %-12s %-12s\n", "SQLite", "PostgreSQL");
      std::printf("  stored /s        %-12.1f %-12.1f (targets 5000, 2000)\n", lite.rate, pg.rate);
      std::printf("  lost             %-12lld %-12lld\n", lite.lost, pg.lost);
      std::printf("  longest tick     %-12.1f %-12.1f ms\n", lite.longestTick, pg.longestTick);
      std::printf("  per insert mean  %-12.1f %-12.1f us\n", lite.mean, pg.mean);
      std::printf("  per insert p50   %-12.1f %-12.1f us\n", lite.p50, pg.p50);
      std::printf("  per insert p99   %-12.1f %-12.1f us\n", lite.p99, pg.p99);
      std::printf("  server cpu       %-12.1f %-12.1f %% of one core\n", lite.cpu, pg.cpu);
      std::printf("  journal syncs/s  %-12.1f %-12.1f\n", lite.syncs, pg.syncs);
      ok = ok && pg.ok;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "PostgreSQL run skipped: %s\n", e.what());
    }
  }
  if (ownDir) std::filesystem::remove_all(o.dir);
  return ok ? 0 : 2;
}
