// ctrlsim: door controllers on a pty bus and on TCP addresses, for the run
// command, manual tests and benchmarks.
#include <csignal>
#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

#include "ctrlsim/CliOptions.h"
#include "ctrlsim/Scenario.h"
#include "ctrlsim/SerialSim.h"
#include "ctrlsim/TcpSim.h"
#include "ctrlsim/TransGenerator.h"

using namespace px::sim;

namespace {

std::mutex outM;

void Print(const std::string& line) {
  std::lock_guard l(outM);
  std::cout << line << std::endl;
}

std::shared_ptr<UnitBank> MakeBank(const CliOptions& o, const std::vector<int>& units) {
  auto bank = std::make_shared<UnitBank>();
  std::vector<std::string> records;
  for (const auto& c : o.cards) records.push_back(CliOptions::CardRecord(c));
  bank->ForEach([&](SimUnit& u) {
    u.SetModel(o.model, o.version);
    u.SetMaxRecordsPerReply(o.maxRecords);
    u.SetCards(records);
  });
  bank->EnableUnits(units);
  return bank;
}

}  // namespace

int main(int argc, char** argv) {
  CliOptions o;
  std::string err;
  if (!CliOptions::Parse({argv + 1, argv + argc}, o, &err)) {
    std::cerr << "ctrlsim: " << err << "\n";
    return 2;
  }
  if (o.help) {
    std::cout << CliOptions::Usage();
    return 0;
  }
  Scenario scenario;
  if (!o.scenarioFile.empty() && !Scenario::ParseFile(o.scenarioFile, scenario, &err)) {
    std::cerr << "ctrlsim: " << o.scenarioFile << ": " << err << "\n";
    return 2;
  }

  // Threads started from here on inherit the mask, so only sigwait below
  // sees the stop signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::unique_ptr<SerialSim> serial;
  std::vector<std::unique_ptr<TcpSim>> tcps;
  std::vector<std::unique_ptr<TransGenerator>> generators;
  TransGenerator::Options gen;
  gen.intervalMs = o.autoTransMs;
  gen.codes = o.codes;
  if (!o.cards.empty()) {
    gen.cards.clear();
    for (const auto& c : o.cards) gen.cards.push_back(CliOptions::CardNumber(c));
  }
  auto addGenerator = [&](std::shared_ptr<UnitBank> bank) {
    if (o.autoTransMs <= 0) return;
    gen.seed += 7919;
    generators.push_back(std::make_unique<TransGenerator>(bank, gen));
  };

  if (o.serial) {
    serial = std::make_unique<SerialSim>(MakeBank(o, o.units),
                                         SerialSim::Options{o.ptyLink, o.baud, o.turnaroundMs});
    if (!serial->Start(&err)) {
      std::cerr << "ctrlsim: " << err << "\n";
      return 1;
    }
    if (o.verbose) serial->Bank().SetTrace(Print, "serial");
    Print("serial pty " + serial->SlavePath() + (o.ptyLink.empty() ? "" : " link " + o.ptyLink) +
          " baud " + std::to_string(o.baud));
    addGenerator(serial->SharedBank());
  }
  for (const auto& t : o.tcp) {
    auto sim = std::make_unique<TcpSim>(MakeBank(o, t.units), TcpSim::Options{t.address, t.port, o.pushMs});
    if (!sim->Start(&err)) {
      std::cerr << "ctrlsim: " << err << "\n";
      return 1;
    }
    if (o.verbose) sim->Bank().SetTrace(Print, "tcp " + sim->Endpoint());
    Print("tcp listening " + sim->Endpoint());
    addGenerator(sim->SharedBank());
    tcps.push_back(std::move(sim));
  }
  for (auto& g : generators) g->Start();

  Scenario::Targets targets;
  targets.serial = serial.get();
  for (auto& t : tcps) targets.tcp.push_back(t.get());
  scenario.Start(targets, Print);

  int sig = 0;
  sigwait(&stopSignals, &sig);
  Print("stopping");
  scenario.Stop();
  for (auto& g : generators) g->Stop();
  for (auto& t : tcps) t->Stop();
  if (serial) serial->Stop();
  // What the host must have stored: the records the units deleted.
  auto report = [](const std::string& name, UnitBank& bank) {
    int total = 0;
    bank.ForEach([&](SimUnit& u) { total += u.ConfirmedRecords(); });
    Print(name + " handed over " + std::to_string(total) + " records");
  };
  if (serial) report("serial", serial->Bank());
  for (auto& t : tcps) report("tcp " + t->Endpoint(), t->Bank());
  return 0;
}
