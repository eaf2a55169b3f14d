// Crash benchmark: the real portexd under load (serial buses at 38400 baud,
// IP controllers and a terminal, every unit streaming records) killed with SIGKILL at
// random moments, restarted each time. Prints the records lost and stored
// twice (both must be 0), how long a restart takes to its first poll and to
// its first poll that asks for records again, and whether every controller
// owed a repeat at a kill got QR first.
//
//   bench_crash [--kills 100] [--seed N] [--min-ms 80] [--max-ms 1500]
//               [--term PERCENT] [--resets PERCENT] [--dir FOLDER] [--pg URI]
//
// --term: that share of the runs gets SIGTERM first and SIGKILL up to 40 ms
// later, mostly amid its stop. --resets (PostgreSQL only): that share of the
// runs has the server's database sessions ended at a random moment, as a
// database restart would (only sessions of this run's application name).
//
// Without --dir the program folder is a fresh one under /tmp, removed
// afterwards. With --pg the databases are two schemas of their own in that
// PostgreSQL database (dropped afterwards), otherwise SQLite files.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "CrashRig.h"
#include "common/Format.h"
#include "platform/DbDriver.h"
#include "platform/Sql.h"

using namespace px;

namespace {

struct Options {
  int kills = 100, minMs = 80, maxMs = 1500, termPct = 0, resetPct = 0;
  unsigned seed = 1;
  std::string dir, pg;
};

bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[++i] : nullptr;
    if (!v) return false;
    if (a == "--kills") o.kills = std::atoi(v);
    else if (a == "--seed") o.seed = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
    else if (a == "--min-ms") o.minMs = std::atoi(v);
    else if (a == "--max-ms") o.maxMs = std::atoi(v);
    else if (a == "--term") o.termPct = std::atoi(v);
    else if (a == "--resets") o.resetPct = std::atoi(v);
    else if (a == "--dir") o.dir = v;
    else if (a == "--pg") o.pg = v;
    else return false;
  }
  return o.kills > 0 && o.minMs >= 0 && o.maxMs >= o.minMs;
}

double Pct(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) {
    std::fprintf(stderr, "usage: bench_crash [--kills N] [--seed N] [--min-ms MS] [--max-ms MS] [--term PERCENT] "
                         "[--resets PERCENT] [--dir FOLDER] [--pg URI]\n");
    return 1;
  }
  const bool ownDir = o.dir.empty();
  if (ownDir) {
    char tmpl[] = "/tmp/pxcrash.XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    o.dir = tmpl;
  }
  crash::CrashRig::Options ro;
  ro.dir = o.dir;
  ro.portexd = PX_PORTEXD;
  std::string schema;
  std::unique_ptr<DbConnection> admin;
  if (!o.pg.empty()) {
    schema = Format("pxcrash_%d", static_cast<int>(getpid()));
    DbConnectParams p;
    p.connectionString = o.pg;
    admin = OpenDbConnection(p);
    admin->Execute("create schema " + schema + "; create schema " + schema + "_arq");
    auto uriOf = [&](const std::string& sch) {
      return o.pg + (o.pg.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + sch +
             "&application_name=" + schema;
    };
    ro.mainDb = uriOf(schema);
    ro.arqDb = uriOf(schema + "_arq");
  }
  int rc = 0;
  {
    crash::CrashRig rig(ro);
    std::string err;
    if (!rig.Start(&err)) {
      std::fprintf(stderr, "rig: %s\n", err.c_str());
      return 1;
    }
    std::mt19937 rng(o.seed);
    std::uniform_int_distribution<int> after(o.minMs, o.maxMs), pct(0, 99), stopMs(0, 40);
    if (admin)
      rig.Disturb = [&] {
        admin->Query("select pg_terminate_backend(pid) from pg_stat_activity where application_name = " +
                     SqlQuote(schema) + " and pid <> pg_backend_pid()");
      };
    int termed = 0, stopsOver = 0, stopsFailed = 0, resets = 0;
    std::vector<double> firstPoll, firstAsk;
    int owedAtKill = 0, owedPolled = 0, notQr = 0, neverPolled = 0;
    for (int i = 0; i < o.kills; ++i) {
      const int at = after(rng);
      const bool term = pct(rng) < o.termPct, reset = admin && pct(rng) < o.resetPct;
      const int resetAt = std::uniform_int_distribution<int>(0, at)(rng);
      auto run = rig.CrashAfter(std::chrono::milliseconds(term ? at + stopMs(rng) : at),
                                std::chrono::milliseconds(term ? at : -1),
                                std::chrono::milliseconds(reset ? resetAt : -1));
      termed += term;
      stopsOver += run.exitedAtTerm >= 0;
      stopsFailed += run.exitedAtTerm > 0;
      resets += reset;
      if (run.firstPollMs >= 0) firstPoll.push_back(run.firstPollMs);
      else ++neverPolled;
      if (run.firstAskMs >= 0) firstAsk.push_back(run.firstAskMs);
      owedAtKill += run.owedAtKill;
      owedPolled += run.owedPolled;
      notQr += static_cast<int>(run.notQrFirst.size());
      for (const auto& v : run.notQrFirst) std::printf("  run %d: %s\n", i + 1, v.c_str());
    }
    const bool settled = rig.Settle(std::chrono::seconds(120), &err);
    auto t = rig.Reckon();
    std::printf("crash: %d SIGKILLs (seed %u, each %d..%d ms after the start), %s\n", o.kills, o.seed, o.minMs,
                o.maxMs, o.pg.empty() ? "SQLite" : ("PostgreSQL schemas " + schema + "(_arq)").c_str());
    std::printf("  records           %ld queued, %ld handed over (%ld by the terminal), %ld rows in trans\n",
                t.generated, t.handedOver, t.terminalHandedOver, t.stored);
    std::printf("  lost              %ld\n", t.lost);
    std::printf("  stored twice      %ld\n", t.twice);
    std::printf("  out of order      %ld units; %ld rows of records never handed over\n", t.outOfOrder, t.strays);
    std::printf("  attendance rows   %ld wanted, %ld lost, %ld twice\n", t.attendanceWanted, t.attendanceLost,
                t.attendanceTwice);
    std::printf("  restart to poll   p50 %.1f ms, p95 %.1f ms, max %.1f ms (%d runs killed before their first poll)\n",
                Pct(firstPoll, 0.5), Pct(firstPoll, 0.95), Pct(firstPoll, 1.0), neverPolled);
    std::printf("  restart to QA/QR  p50 %.1f ms, p95 %.1f ms, max %.1f ms (%zu runs)\n", Pct(firstAsk, 0.5),
                Pct(firstAsk, 0.95), Pct(firstAsk, 1.0), firstAsk.size());
    std::printf("  owed repeats      %d owed at a kill; %d polled in the next run, %d of them not with QR first\n",
                owedAtKill, owedPolled, notQr);
    if (termed)
      std::printf("  SIGTERM first     %d runs, %d of them stopped before the SIGKILL (%d with a status other than 0)\n",
                  termed, stopsOver, stopsFailed);
    if (resets) std::printf("  database resets   %d runs\n", resets);
    for (const auto& d : t.detail) std::printf("  %s\n", d.c_str());
    if (!settled) std::printf("  settle            %s\n", err.c_str());
    const bool ok = settled && t.Clean() && notQr == 0 && stopsFailed == 0;
    std::printf("  verdict           %s\n", ok ? "PASS" : "FAIL");
    rc = ok ? 0 : 2;
  }
  if (admin && rc == 0) admin->Execute("drop schema " + schema + " cascade; drop schema " + schema + "_arq cascade");
  else if (admin) std::printf("  schemas kept      %s, %s_arq\n", schema.c_str(), schema.c_str());
  if (ownDir && rc == 0) std::filesystem::remove_all(o.dir);
  else if (rc != 0) std::printf("  program folder    %s\n", o.dir.c_str());
  return rc;
}
