#include "CrashRig.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "common/DateTime.h"
#include "common/Format.h"
#include "common/IntakeJournal.h"
#include "common/IpKey.h"
#include "platform/DbDriver.h"
#include "platform/Sql.h"

namespace px::crash {

namespace fs = std::filesystem;
using Clk = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double MsSince(Clk::time_point t0) { return std::chrono::duration<double, std::milli>(Clk::now() - t0).count(); }

// A connection of the rig's own, with the schema made in an empty database.
std::unique_ptr<DbConnection> Open(const std::string& conn, const std::string& dir, const std::string& alias) {
  DbConnectParams p;
  p.connectionString = conn;
  p.baseDir = dir + "/";
  auto c = OpenDbConnection(p);
  if (!c->HasTables()) c->Execute(SchemaSql(c->Dialect(), alias));
  return c;
}

// The server writes while the rig reads: SQLite may answer "busy".
DbRows QueryRetrying(const std::string& conn, const std::string& dir, const std::string& alias,
                     const std::string& sql) {
  for (int attempt = 0;; ++attempt) {
    try {
      return Open(conn, dir, alias)->Query(sql);
    } catch (const DbError&) {
      if (attempt >= 50) throw;
      std::this_thread::sleep_for(20ms);
    }
  }
}

bool IsSqlite(const std::string& conn) { return conn.rfind("sqlite:", 0) == 0; }

// The card number of a 15-character record ("ddmmhhmm", card, code).
std::string CardOf(const std::string& record) { return record.size() >= 14 ? record.substr(8, 6) : std::string(); }

}  // namespace

CrashRig::CrashRig(Options o) : o_(std::move(o)) {}

CrashRig::~CrashRig() {
  if (pid_ > 0) {
    Kill(SIGKILL);
    WaitExit(5s);
  }
  for (auto& b : buses_) b->Stop();
  if (ipA_) ipA_->Stop();
  if (ipB_) ipB_->Stop();
}

bool CrashRig::Start(std::string* error) {
  fs::create_directories(o_.dir);
  for (int bus = 1; bus <= o_.buses; ++bus) {
    auto bank = std::make_shared<sim::UnitBank>();
    buses_.push_back(std::make_unique<sim::SerialSim>(
        bank, sim::SerialSim::Options{o_.dir + "/ttyBUS" + std::to_string(bus), o_.baud, 0}));
    if (!buses_.back()->Start(error)) return false;
    std::vector<int> enabled;
    for (int u = 1; u <= o_.unitsPerBus; ++u) {
      enabled.push_back(u);
      units_.push_back(Unit{Format("B%dU%02d", bus, u), Format("B%dU%02d", bus, u), Format("bus %d unit %d", bus, u),
                            (bus - 1) * 16 + u, "", "KX4100", &bank->Unit(u), {}});
    }
    bank->EnableUnits(enabled);
  }
  if (o_.ipUnits > 0) {
    ipBankA_ = std::make_shared<sim::UnitBank>();
    ipBankB_ = std::make_shared<sim::UnitBank>();
    ipA_ = std::make_unique<sim::TcpSim>(ipBankA_, sim::TcpSim::Options{"127.0.0.2", 0, 0});
    if (!ipA_->Start(error)) return false;
    ipB_ = std::make_unique<sim::TcpSim>(ipBankB_, sim::TcpSim::Options{"127.0.0.3", ipA_->Port(), 0});
    if (!ipB_->Start(error)) return false;
    std::vector<int> a, b;
    for (int u = 1; u <= o_.ipUnits; ++u) {
      const bool first = u <= 2;
      const std::string addr = first ? "127.0.0.2" : "127.0.0.3";
      (first ? a : b).push_back(u);
      sim::UnitBank& bank = first ? *ipBankA_ : *ipBankB_;
      units_.push_back(Unit{Format("IP%02d", u), IPToKey(addr) + Format("U%d", u), addr + " unit " + std::to_string(u),
                            u, IPToKey(addr), "KX6000", &bank.Unit(u), {}});
    }
    ipBankA_->EnableUnits(a);
    ipBankB_->EnableUnits(b);
  }
  if (o_.terminal) {
    terminal_ = std::make_unique<zksim::Simulator>();
    if (!terminal_->Start()) {
      if (error) *error = "the terminal simulator cannot listen";
      return false;
    }
    units_.push_back(
        Unit{"ZK01", "", "terminal", 40, "127000000001:" + std::to_string(terminal_->Port()), "KXF7", nullptr, {}});
  }
  for (auto& u : units_) {
    if (!u.sim) continue;
    u.sim->SetModel(u.type, "1.23");
    u.sim->SetMaxRecordsPerReply(o_.recordsPerReply);
  }
  WriteConfig();
  return Seed(error);
}

void CrashRig::WriteConfig() {
  std::string list, ports;
  for (int bus = 1; bus <= o_.buses; ++bus) {
    list += std::to_string(bus);
    ports += Format("COM%d=", bus) + o_.dir + "/ttyBUS" + std::to_string(bus) + "\n";
  }
  if (list.size() < 4) list.resize(4, '0');
  std::ofstream(o_.dir + "/OstrPro.Ini")
      << "[Comm Setting]\nMultiCommSupport=1\nCommPortList=" << list << "\nBaudRate=" << o_.baud
      << "\nSleepMsec=5\nIPPort=" << (ipA_ ? ipA_->Port() : 4001) << "\n[Ports]\n"
      << ports << "[Server]\nClientPort=0\n[Web]\nPort=0\n[Options]\nDebug=1\nChronex_Link=1\n[Database]\nOstrPro="
      << o_.mainDb << "\nOstrTimeSQL=" << o_.arqDb << "\n"
      << (terminal_ ? "[ZKFP]\nEnable=1\nSleepSec=0\nRetryWaitSec=0\n" : "");
}

bool CrashRig::Seed(std::string* error) {
  try {
    auto db = Open(o_.mainDb, o_.dir, "OstrPro");
    Open(o_.arqDb, o_.dir, "OstrTimeSQL");
    std::string sql = "begin;\n";
    for (size_t i = 0; i < units_.size(); ++i) {
      const Unit& u = units_[i];
      sql += "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values (" +
             SqlQuote(u.tag) + ", " + std::to_string(u.point) + ", " + SqlQuote(u.spare3) + ", " + SqlQuote(u.type) +
             ", 'UP', 'Y');\n";
      if (!u.sim) continue;
      sql += "insert into flrdet values (" + SqlQuote(u.tag) + ", 'UP');\n";
      // The holders of the clockings (every fourth record) this unit can make.
      for (int n = 0; n < 10000; n += 4) {
        const std::string card = Format("%02d%04d", static_cast<int>(i + 1), n);
        sql += "insert into cards values (" + SqlQuote(card) + ", " + SqlQuote("S" + card) + ", 'Holder', '', '', '');\n";
      }
    }
    db->Execute(sql + "commit;\n");
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return false;
  }
  return true;
}

void CrashRig::TopUp() {
  const std::string stamp = sim::SimUnit::Stamp(std::time(nullptr));
  for (size_t i = 0; i < units_.size(); ++i) {
    Unit& u = units_[i];
    if (!u.sim) continue;
    for (int have = u.sim->QueuedRecords(); have < o_.queueDepth && u.queued.size() < 10000; ++have) {
      const int n = static_cast<int>(u.queued.size());
      u.queued.push_back(stamp + Format("%02d%04d", static_cast<int>(i + 1), n) + (n % 4 == 0 ? "0" : "4"));
      u.sim->QueueRecord(u.queued.back());
    }
  }
}

void CrashRig::ClockAtTerminal() {
  if (!terminal_) return;
  Unit& u = units_.back();
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  for (size_t have = u.queued.size() - u.cleared; have < static_cast<size_t>(o_.queueDepth); ++have) {
    const int user = 700000 + static_cast<int>(u.queued.size());
    terminal_->AddRecord(std::to_string(user), {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, 0},
                         1, 0);
    // As the server writes it: no direction mark, so no attendance row.
    u.queued.push_back(sim::SimUnit::Stamp(now) + Format("%06d", user) + " ");
  }
}

void CrashRig::NoteTerminalClears() {
  // A clear takes the whole log, which grows only while no server runs.
  if (terminal_ && terminal_->Records().empty()) units_.back().cleared = units_.back().queued.size();
}

std::vector<std::string> CrashRig::HandedOver(const Unit& u) const {
  if (u.sim) return u.sim->HandedOver();
  return {u.queued.begin(), u.queued.begin() + static_cast<long>(u.cleared)};
}

bool CrashRig::Spawn() {
  const std::string out = o_.dir + "/portexd.out";
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
    }
    execl(o_.portexd.c_str(), o_.portexd.c_str(), "--appdir", o_.dir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return true;
}

void CrashRig::Kill(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

int CrashRig::WaitExit(std::chrono::milliseconds max) {
  const auto until = Clk::now() + max;
  while (pid_ > 0) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (r < 0 || Clk::now() >= until) return -1;
    std::this_thread::sleep_for(5ms);
  }
  return -1;
}

std::vector<std::string> CrashRig::OwedOnDisk() {
  // A copy: opening a journal starts a segment of its own in its folder.
  const fs::path copy = o_.dir + "/journal.copy";
  fs::remove_all(copy);
  std::vector<std::string> owed;
  if (!fs::exists(o_.dir + "/journal")) return owed;
  fs::copy(o_.dir + "/journal", copy);
  {
    NullLog quiet;
    TIntakeJournal::Options jo;
    jo.dir = copy.string();
    TIntakeJournal j(jo, quiet);
    for (const auto& u : units_)
      if (j.Owed(u.key)) owed.push_back(u.key);
  }
  fs::remove_all(copy);
  return owed;
}

CrashRig::Run CrashRig::CrashAfter(std::chrono::milliseconds after, std::chrono::milliseconds termAt,
                                    std::chrono::milliseconds disturbAt) {
  Run run;
  run.killAfter = after;
  TopUp();
  ClockAtTerminal();
  const auto t0 = Clk::now();
  if (!Spawn()) return run;
  bool termed = false, disturbed = false;
  while (Clk::now() - t0 < after && pid_ > 0) {
    if (!termed && termAt.count() >= 0 && Clk::now() - t0 >= termAt) {
      Kill(SIGTERM);
      termed = true;
    }
    if (!disturbed && disturbAt.count() >= 0 && Clk::now() - t0 >= disturbAt && Disturb) {
      Disturb();
      disturbed = true;
    }
    if (termed) {
      run.exitedAtTerm = WaitExit(0ms);
      if (pid_ < 0) break;
    }
    if (!termed) TopUp();
    for (const auto& u : units_) {
      if (!u.sim) continue;
      if (run.firstPollMs < 0 && u.sim->TotalReceived() > 0) run.firstPollMs = MsSince(t0);
      if (run.firstAskMs < 0 && u.sim->Received("QA") + u.sim->Received("QR") > 0) run.firstAskMs = MsSince(t0);
    }
    std::this_thread::sleep_for(1ms);
  }
  Kill(SIGKILL);
  WaitExit(10s);
  // What the process wrote before it died may still be on its way to the
  // simulators.
  std::this_thread::sleep_for(50ms);
  NoteTerminalClears();
  for (const auto& u : units_) {
    if (!u.sim) continue;
    if (std::find(owed_.begin(), owed_.end(), u.key) == owed_.end()) continue;
    const auto frames = u.sim->ReceivedFrames();
    if (frames.empty()) continue;  // still owed; looked at after a later run
    ++run.owedPolled;
    const std::string code = frames.front().size() >= 3 ? frames.front().substr(1, 2) : frames.front();
    if (code != "QR") run.notQrFirst.push_back(u.label + " got " + code + " first");
  }
  owed_ = OwedOnDisk();
  run.owedAtKill = static_cast<int>(owed_.size());
  for (const auto& u : units_)
    if (u.sim) u.sim->ResetCounters();
  return run;
}

long CrashRig::HandedOverTotal() const {
  long n = 0;
  for (const auto& u : units_) n += static_cast<long>(HandedOver(u).size());
  return n;
}

long CrashRig::StoredCount(const std::string& table) {
  try {
    auto r = QueryRetrying(o_.mainDb, o_.dir, "OstrPro", "select count(*) from " + table);
    return r.rows.empty() ? 0 : std::stol(r.rows[0][0]);
  } catch (const std::exception&) {
    return -1;
  }
}

bool CrashRig::Settle(std::chrono::milliseconds max, std::string* error) {
  const auto until = Clk::now() + max;
  if (!Spawn()) {
    if (error) *error = "cannot start " + o_.portexd;
    return false;
  }
  auto drained = [&] {
    NoteTerminalClears();
    if (terminal_ && !terminal_->Records().empty()) return false;
    for (const auto& u : units_)
      if (u.sim && u.sim->QueuedRecords() + u.sim->UnconfirmedRecords() > 0) return false;
    return true;
  };
  // Done when trans holds as many rows as were handed over, or (some were
  // lost: the reckoning tells) when it has not grown for two seconds.
  bool ok = false;
  long last = -1;
  auto since = Clk::now();
  while (Clk::now() < until) {
    const long stored = drained() ? StoredCount("trans") : -1;
    if (stored >= 0 && (stored >= HandedOverTotal() || (stored == last && Clk::now() - since >= 2s))) {
      ok = true;
      break;
    }
    if (stored != last) since = Clk::now();
    last = stored;
    std::this_thread::sleep_for(50ms);
  }
  // Whatever the last poll handed over is stored before the stop ends.
  Kill(SIGTERM);
  const int status = WaitExit(30s);
  if (!ok && error) *error = "the units did not hand everything over in time";
  if (ok && status != 0 && error) *error = "the server ended with " + std::to_string(status) + " at SIGTERM";
  return ok && status == 0;
}

CrashRig::Tally CrashRig::Reckon() {
  Tally t;
  const std::string order = IsSqlite(o_.mainDb) ? "rowid" : "ctid";
  const std::string arqOrder = IsSqlite(o_.arqDb) ? "rowid" : "ctid";
  for (const auto& u : units_) {
    const auto handed = HandedOver(u);
    t.generated += static_cast<long>(u.queued.size());
    t.handedOver += static_cast<long>(handed.size());
    if (!u.sim) t.terminalHandedOver += static_cast<long>(handed.size());
    const auto rows =
        QueryRetrying(o_.mainDb, o_.dir, "OstrPro",
                      "select card_number from trans where tag_name=" + SqlQuote(u.tag) + " order by " + order).rows;
    t.stored += static_cast<long>(rows.size());
    std::vector<std::string> distinct;
    std::set<std::string> seen;
    long twice = 0;
    for (const auto& r : rows) {
      if (seen.insert(r[0]).second) distinct.push_back(r[0]);
      else ++twice;
    }
    if (twice) t.detail.push_back(u.label + ": " + std::to_string(twice) + " rows stored twice");
    t.twice += twice;
    std::set<std::string> handedCards;
    for (const auto& h : handed) {
      handedCards.insert(CardOf(h));
      if (!seen.count(CardOf(h))) {
        ++t.lost;
        if (t.detail.size() < 20) t.detail.push_back(u.label + ": lost " + h);
      }
    }
    for (const auto& c : distinct)
      if (!handedCards.count(c)) ++t.strays;
    // Handed over in the order queued; stored in the same order.
    bool inOrder = distinct.size() <= u.queued.size();
    for (size_t i = 0; inOrder && i < distinct.size(); ++i) inOrder = distinct[i] == CardOf(u.queued[i]);
    if (!inOrder) {
      ++t.outOfOrder;
      t.detail.push_back(u.label + ": rows not in the order handed over");
    }
    // Clockings of known holders make one attendance row each.
    const auto att = QueryRetrying(o_.arqDb, o_.dir, "OstrTimeSQL",
                                   "select card_number from ot_tmclk where card_number like " +
                                       SqlQuote(Format("%02d", static_cast<int>(&u - units_.data() + 1)) + "%") +
                                       " order by " + arqOrder)
                         .rows;
    std::map<std::string, int> attCount;
    for (const auto& r : att) ++attCount[r[0]];
    for (const auto& h : handed) {
      if (h.size() != 15 || h[14] != '0') continue;
      ++t.attendanceWanted;
      const int n = attCount[CardOf(h)];
      if (n == 0) ++t.attendanceLost;
      if (n > 1) t.attendanceTwice += n - 1;
    }
  }
  return t;
}

std::string CrashRig::LogText() const {
  std::ifstream in(o_.dir + "/TRS_" + FormatDateTime("yymm", SystemClock().LocalNow()) + ".log");
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace px::crash
