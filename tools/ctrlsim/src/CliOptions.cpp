#include "ctrlsim/CliOptions.h"

#include <fstream>

#include "ctrlsim/ParseUtil.h"
#include "ctrlsim/Scenario.h"

namespace px::sim {

namespace {

bool Bad(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool ParseTcp(const std::string& v, CliOptions::Tcp& t, std::string* error) {
  const auto parts = Split(v, ':');
  if (parts.size() < 2 || parts.size() > 3 || parts[0].empty())
    return Bad(error, "--tcp wants ADDR:PORT[:UNITS], got '" + v + "'");
  auto port = ParseInt(parts[1]);
  if (!port || *port < 0 || *port > 65535) return Bad(error, "bad port in '" + v + "'");
  t.address = parts[0];
  t.port = static_cast<int>(*port);
  t.units = {1};
  if (parts.size() == 3) {
    auto units = ParseUnitList(parts[2]);
    if (!units) return Bad(error, "bad unit list in '" + v + "'");
    t.units = *units;
  }
  return true;
}

}  // namespace

bool CliOptions::Parse(const std::vector<std::string>& args, CliOptions& o, std::string* error) {
  bool serialWanted = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return Bad(error, a + " needs a value");
      out = args[++i];
      return true;
    };
    auto number = [&](int& out, long lo) {
      std::string v;
      if (!value(v)) return false;
      auto n = ParseInt(v);
      if (!n || *n < lo) return Bad(error, a + ": bad number '" + v + "'");
      out = static_cast<int>(*n);
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "-v" || a == "--verbose") {
      o.verbose = true;
    } else if (a == "--serial") {
      serialWanted = true;
    } else if (a == "--pty-link") {
      if (!value(o.ptyLink)) return false;
      serialWanted = true;
    } else if (a == "--baud") {
      if (!number(o.baud, 0)) return false;
    } else if (a == "--turnaround") {
      if (!number(o.turnaroundMs, 0)) return false;
    } else if (a == "--units") {
      if (!value(v)) return false;
      auto units = ParseUnitList(v);
      if (!units) return Bad(error, "bad unit list '" + v + "'");
      o.units = *units;
    } else if (a == "--model") {
      if (!value(o.model)) return false;
    } else if (a == "--version") {
      if (!value(o.version)) return false;
    } else if (a == "--max-records") {
      if (!number(o.maxRecords, 0)) return false;
    } else if (a == "--auto-trans") {
      if (!number(o.autoTransMs, 0)) return false;
    } else if (a == "--cards") {
      if (!value(v)) return false;
      o.cards = LoadCards(v);
    } else if (a == "--codes") {
      if (!value(o.codes) ) return false;
      if (o.codes.empty()) return Bad(error, "--codes needs at least one code character");
    } else if (a == "--tcp") {
      if (!value(v)) return false;
      Tcp t;
      if (!ParseTcp(v, t, error)) return false;
      o.tcp.push_back(t);
    } else if (a == "--push") {
      if (!number(o.pushMs, 0)) return false;
    } else if (a == "--scenario") {
      if (!value(o.scenarioFile)) return false;
    } else {
      return Bad(error, "unknown option '" + a + "' (see --help)");
    }
  }
  o.serial = serialWanted || o.tcp.empty();
  if (o.units.empty()) o.units = *ParseUnitList("all");
  return true;
}

std::vector<std::string> CliOptions::LoadCards(const std::string& fileOrList) {
  std::vector<std::string> raw;
  std::ifstream f(fileOrList);
  if (f) {
    for (std::string line; std::getline(f, line);) raw.push_back(line);
  } else {
    raw = Split(fileOrList, ',');
  }
  std::vector<std::string> out;
  for (auto& s : raw) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    const auto start = s.find_first_not_of(" \t");
    if (start == std::string::npos || s[start] == '#') continue;
    out.push_back(s.substr(start));
  }
  return out;
}

std::string CliOptions::CardNumber(const std::string& entry) {
  std::string card = entry.substr(0, 6);
  if (card.size() < 6) card.insert(0, 6 - card.size(), '0');
  return card;
}

std::string CliOptions::CardRecord(const std::string& entry) {
  if (entry.size() >= 20) return entry.substr(0, 20);
  return CardNumber(entry) + "0000" + "01" + "00000000";
}

std::string CliOptions::Usage() {
  return
      "Usage: ctrlsim [options]\n"
      "Simulates door controllers on a serial pty bus and/or TCP addresses until\n"
      "SIGINT or SIGTERM.\n"
      "\n"
      "Serial bus (the default when no --tcp is given):\n"
      "  --serial              run the pty bus as well as the TCP addresses\n"
      "  --pty-link PATH       keep a symlink to the pty slave at PATH (open this)\n"
      "  --baud N              pace output at N baud, 10 bits a byte (default 9600, 0 = unpaced)\n"
      "  --turnaround MS       think time before each answer (default 0)\n"
      "  --units LIST          units present on the bus, e.g. 1-16 or 1,3,5 (default all)\n"
      "\n"
      "TCP (repeatable):\n"
      "  --tcp ADDR:PORT[:LIST]  listen on ADDR:PORT for units LIST (default 1);\n"
      "                          port 0 picks a free port, printed at start\n"
      "  --push MS               units send queued records unasked every MS, for a\n"
      "                          host that only listens (default 0 = only when polled)\n"
      "\n"
      "Every unit:\n"
      "  --model NAME          model reported to VN (default KX4100)\n"
      "  --version TEXT        version reported to VN (default 1.23)\n"
      "  --max-records N       transaction records per QA reply (default 4)\n"
      "  --auto-trans MS       each unit presents a random card every MS milliseconds\n"
      "  --cards FILE_OR_LIST  cards (file, one a line, or comma list): used for the\n"
      "                        random transactions and streamed by a card upload\n"
      "  --codes CHARS         transaction codes to pick from (default 09)\n"
      "\n"
      "Other:\n"
      "  --scenario FILE       timed changes, one a line:\n"
      "                          [at TIME] [serial | tcp ADDR[:PORT]] [unit LIST] ACTION ARGS\n"
      "                        TIME like 500ms, 5s, 1.5s, 2m; without 'at' at start.\n"
      "                        Example: 'at 5s unit 3 silent', 'unit 2 badsum 3',\n"
      "                        'at 10s tcp 127.0.0.2:4001 refuse'. Actions:\n" +
      Scenario::Help() +
      "  -v, --verbose         print every frame exchanged\n"
      "  -h, --help            this text\n";
}

}  // namespace px::sim
