#include "ctrlsim/Scenario.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "ctrlsim/ParseUtil.h"
#include "ctrlsim/SerialSim.h"
#include "ctrlsim/TcpSim.h"

namespace px::sim {

namespace {

struct ActionInfo {
  int args;
  bool unit;          // acts on units (else on the transport)
  const char* help;
};

const std::map<std::string, ActionInfo>& Actions() {
  static const std::map<std::string, ActionInfo> table = {
      {"enable", {0, true, "unit takes part (answers)"}},
      {"disable", {0, true, "unit absent (never answers)"}},
      {"silent", {0, true, "unit hears but does not answer"}},
      {"answer", {0, true, "unit answers again"}},
      {"delay", {1, true, "MS: answer late"}},
      {"nuls", {2, true, "N GAPMS: N NUL bytes GAPMS apart before each answer"}},
      {"badsum", {1, true, "K: wrong checksum on the next K replies"}},
      {"garbage", {1, true, "TEXT: bytes before each reply (\\xNN escapes)"}},
      {"cardcut", {1, true, "N: card upload stops after N records, no CR"}},
      {"nocut", {0, true, "card uploads complete again"}},
      {"db", {1, true, "K: answer the next K QA polls with DB"}},
      {"ack", {1, true, "K: answer the next K QA polls with AD"}},
      {"closemid", {1, true, "K: (TCP) cut the next K replies in half and close"}},
      {"pieces", {2, true, "N GAPMS: (TCP) send each reply in N pieces"}},
      {"model", {2, true, "NAME VERSION: what VN reports"}},
      {"statusa", {1, true, "XX: status A"}},
      {"statusb", {1, true, "XXXXXX: status B"}},
      {"trans", {2, true, "CARD CODE: queue one transaction now"}},
      {"status", {0, true, "queue a status record"}},
      {"maxrec", {1, true, "N: records per QA reply"}},
      {"ok", {0, true, "clear every fault"}},
      {"unplug", {0, false, "(serial) close the pty, remove the link"}},
      {"replug", {0, false, "(serial) fresh pty behind the same link"}},
      {"refuse", {0, false, "(TCP) stop listening"}},
      {"accept", {0, false, "(TCP) listen again"}},
      {"hang", {0, false, "(TCP) accept but never answer"}},
      {"unhang", {0, false, "(TCP) answer again"}},
      {"drop", {0, false, "(TCP) close open connections"}},
      {"push", {1, false, "MS: (TCP) units send queued records unasked every MS (0 = off)"}},
  };
  return table;
}

bool Fail(std::string* error, int line, const std::string& text) {
  if (error) *error = "line " + std::to_string(line) + ": " + text;
  return false;
}

int Num(const std::string& s) { return static_cast<int>(ParseInt(s).value_or(0)); }

void ApplyToUnit(SimUnit& u, const ScenarioStep& s) {
  const auto& a = s.action;
  const auto& v = s.args;
  if (a == "enable") u.SetEnabled(true);
  else if (a == "disable") u.SetEnabled(false);
  else if (a == "silent") u.SetSilent(true);
  else if (a == "answer") u.SetSilent(false);
  else if (a == "delay") u.SetDelay(Num(v[0]));
  else if (a == "nuls") u.SetNuls(Num(v[0]), Num(v[1]));
  else if (a == "badsum") u.SetBadChecksum(Num(v[0]));
  else if (a == "garbage") u.SetGarbage(Unescape(v[0]));
  else if (a == "cardcut") u.SetCardCut(Num(v[0]));
  else if (a == "nocut") u.SetCardCut(-1);
  else if (a == "db") u.SetPollOverride("DB", Num(v[0]));
  else if (a == "ack") u.SetPollOverride("AD", Num(v[0]));
  else if (a == "closemid") u.SetCloseMidFrame(Num(v[0]));
  else if (a == "pieces") u.SetPieces(Num(v[0]), Num(v[1]));
  else if (a == "model") u.SetModel(v[0], v[1]);
  else if (a == "statusa") u.SetStatusA(v[0]);
  else if (a == "statusb") u.SetStatusB(v[0]);
  else if (a == "trans") u.QueueTransaction(v[0], v[1].empty() ? '0' : v[1][0], std::time(nullptr));
  else if (a == "status") u.QueueStatusRecord(std::time(nullptr));
  else if (a == "maxrec") u.SetMaxRecordsPerReply(Num(v[0]));
  else if (a == "ok") u.ClearFaults();
}

}  // namespace

std::string Scenario::Help() {
  // Help texts start with their arguments ("N GAPMS: ..."), which go next
  // to the action name here.
  std::ostringstream out;
  for (bool unitActions : {true, false}) {
    for (const auto& [name, info] : Actions()) {
      if (info.unit != unitActions) continue;
      std::string usage = (info.unit ? "unit LIST " : "") + name;
      std::string text = info.help;
      const auto colon = text.find(": ");
      if (info.args > 0 && colon != std::string::npos) {
        usage += " " + text.substr(0, colon);
        text = text.substr(colon + 2);
      }
      usage.resize(std::max<std::size_t>(usage.size() + 1, 34), ' ');
      out << "    " << usage << text << "\n";
    }
  }
  return out.str();
}

bool Scenario::Parse(const std::string& text, Scenario& out, std::string* error) {
  std::istringstream in(text);
  std::string raw;
  int lineNo = 0;
  while (std::getline(in, raw)) {
    ++lineNo;
    auto w = SplitWords(raw);
    if (w.empty() || w[0][0] == '#') continue;
    ScenarioStep s;
    s.line = lineNo;
    std::size_t i = 0;
    if (w[i] == "at") {
      auto ms = i + 1 < w.size() ? ParseDurationMs(w[i + 1]) : std::nullopt;
      if (!ms) return Fail(error, lineNo, "bad time after 'at'");
      s.atMs = *ms;
      i += 2;
    }
    if (i < w.size() && w[i] == "serial") {
      s.serialTarget = true;
      ++i;
    } else if (i < w.size() && w[i] == "tcp") {
      if (i + 1 >= w.size()) return Fail(error, lineNo, "missing address after 'tcp'");
      s.target = w[i + 1];
      i += 2;
    }
    if (i < w.size() && w[i] == "unit") {
      auto units = i + 1 < w.size() ? ParseUnitList(w[i + 1]) : std::nullopt;
      if (!units) return Fail(error, lineNo, "bad unit list");
      s.units = *units;
      i += 2;
    }
    if (i >= w.size()) return Fail(error, lineNo, "missing action");
    s.action = w[i++];
    auto it = Actions().find(s.action);
    if (it == Actions().end()) return Fail(error, lineNo, "unknown action '" + s.action + "'");
    if (it->second.unit != !s.units.empty())
      return Fail(error, lineNo, "'" + s.action + (it->second.unit ? "' needs 'unit LIST'" : "' takes no unit"));
    s.args.assign(w.begin() + static_cast<long>(i), w.end());
    if (static_cast<int>(s.args.size()) != it->second.args)
      return Fail(error, lineNo, "'" + s.action + "' takes " + std::to_string(it->second.args) + " argument(s)");
    out.steps_.push_back(std::move(s));
  }
  return true;
}

bool Scenario::ParseFile(const std::string& path, Scenario& out, std::string* error) {
  std::ifstream f(path);
  if (!f) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  return Parse(ss.str(), out, error);
}

bool Scenario::Apply(const ScenarioStep& s, const Targets& t, std::string* error) {
  SerialSim* serial = nullptr;
  TcpSim* tcp = nullptr;
  if (s.serialTarget || (s.target.empty() && t.serial)) {
    serial = t.serial;
  } else if (s.target.empty()) {
    tcp = t.tcp.empty() ? nullptr : t.tcp.front();
  } else {
    for (TcpSim* c : t.tcp)
      if (c->Endpoint() == s.target || c->Address() == s.target) {
        tcp = c;
        break;
      }
  }
  if (!serial && !tcp) return Fail(error, s.line, "no such simulator");
  UnitBank& bank = serial ? serial->Bank() : tcp->Bank();
  if (!s.units.empty()) {
    for (int n : s.units) ApplyToUnit(bank.Unit(n), s);
    return true;
  }
  const auto& a = s.action;
  if (serial && (a == "unplug" || a == "replug")) {
    if (a == "unplug") serial->Unplug();
    else if (!serial->Replug(error)) return false;
    return true;
  }
  if (tcp) {
    if (a == "refuse" || a == "accept") tcp->SetRefuse(a == "refuse");
    else if (a == "hang" || a == "unhang") tcp->SetHang(a == "hang");
    else if (a == "drop") tcp->DropConnections();
    else if (a == "push") tcp->SetPush(Num(s.args[0]));
    else return Fail(error, s.line, "'" + a + "' is for the serial bus");
    return true;
  }
  return Fail(error, s.line, "'" + a + "' is for a TCP address");
}

void Scenario::Start(Targets targets, LogFn log) {
  Stop();
  stop_ = false;
  thread_ = std::thread([this, targets, log] {
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<ScenarioStep> order = steps_;
    std::stable_sort(order.begin(), order.end(),
                     [](const ScenarioStep& a, const ScenarioStep& b) { return a.atMs < b.atMs; });
    for (const auto& s : order) {
      {
        std::unique_lock l(m_);
        if (cv_.wait_until(l, t0 + std::chrono::milliseconds(s.atMs), [this] { return stop_; })) return;
      }
      std::string err;
      const bool ok = Apply(s, targets, &err);
      if (log) log(ok ? "scenario line " + std::to_string(s.line) + ": " + s.action : "scenario " + err);
    }
  });
}

void Scenario::Stop() {
  {
    std::lock_guard l(m_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace px::sim
