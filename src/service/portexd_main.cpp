// portexd: the communication server of an access-control and time-attendance
// installation, run as a systemd service (or in the foreground).
#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "common/StrUtil.h"
#include "platform/Database.h"
#include "platform/EventLoop.h"
#include "platform/IniFile.h"
#include "service/Daemon.h"
#include "service/DefaultModules.h"
#include "service/ServiceModule.h"

namespace {

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: portexd [options]\n"
               "  --appdir DIR     program folder (configuration, databases, log); default: the\n"
               "                   folder of this executable\n"
               "  --foreground     also write every log line to stderr\n"
               "  --install        write the systemd unit %s.service and exit (installs from\n"
               "                   source; refused where the package's unit is installed)\n"
               "  --unit-dir DIR   where --install writes the unit (default /etc/systemd/system)\n"
               "  --init-db        create the schema in both databases and exit\n"
               "  --version        print the version and exit\n"
               "  --help           print this help and exit\n",
               px::TVANTPortexService::kServiceName);
}

int Fail(const std::string& msg) {
  std::fprintf(stderr, "portexd: %s\n", msg.c_str());
  std::fprintf(stderr, "Try 'portexd --help'.\n");
  return 2;
}

std::string Absolute(const std::string& dir) {
  std::error_code ec;
  auto p = std::filesystem::absolute(dir, ec);
  std::string s = ec ? dir : p.lexically_normal().string();
  if (!px::EndsWith(s, "/")) s += "/";
  return s;
}

int InitDb(const std::string& appDir) {
  px::ServiceSettings s;
  s.AppDir = appDir;
  px::NullLog quiet;
  s.Load(px::TIniFile(appDir + "OstrPro.Ini"), quiet);
  int rc = 0;
  for (const char* alias : {"OstrPro", "OstrTimeSQL"}) {
    px::TDatabase db([&s](const std::string& a) { return s.AliasConnection(a); }, appDir);
    db.DatabaseName = alias;
    db.AliasName = alias;
    try {
      db.Open();  // an empty database gets the schema
      std::printf("%s: schema ready (%s)\n", alias, s.AliasConnection(alias).c_str());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "portexd: %s: %s\n", alias, e.what());
      rc = 1;
    }
  }
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  std::string appDir, unitDir = "/etc/systemd/system";
  bool foreground = false, install = false, initDb = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto needArg = [&](std::string& dst) {
      if (i + 1 >= argc) return false;
      dst = argv[++i];
      return true;
    };
    if (a == "--appdir") {
      if (!needArg(appDir)) return Fail("option --appdir needs a folder");
    } else if (a == "--unit-dir") {
      if (!needArg(unitDir)) return Fail("option --unit-dir needs a folder");
    } else if (a == "--foreground") {
      foreground = true;
    } else if (a == "--install") {
      install = true;
    } else if (a == "--init-db") {
      initDb = true;
    } else if (a == "--version") {
      std::printf("portexd %s\n", px::TVANTPortexService::kVersion);
      return 0;
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else {
      return Fail("unknown option '" + a + "'");
    }
  }
  appDir = appDir.empty() ? px::ExecutableDir() : Absolute(appDir);
  if (!std::filesystem::is_directory(appDir)) return Fail("program folder " + appDir + " does not exist");

  if (install) {
    // The package's unit runs the server hardened, as user portex; one
    // written here would take its place and run it as root.
    const std::string packaged = px::PackagedUnit();
    if (!packaged.empty() && px::SystemdLoadsUnitsFrom(unitDir)) {
      std::fprintf(stderr,
                   "portexd: the package's unit %s is installed; --install is for installations from source\n"
                   "and would replace it with an unhardened unit that runs as root. Use the package's service:\n"
                   "  systemctl enable --now %s\n"
                   "and change its settings with a drop-in:  systemctl edit %s\n",
                   packaged.c_str(), px::TVANTPortexService::kServiceName, px::TVANTPortexService::kServiceName);
      return 1;
    }
    try {
      std::string bin = std::filesystem::read_symlink("/proc/self/exe").string();
      std::printf("%s\n", px::WriteSystemdUnit(unitDir, bin, appDir).c_str());
      return 0;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "portexd: %s\n", e.what());
      return 1;
    }
  }
  if (initDb) return InitDb(appDir);

  // A client that goes away while its reply is written must not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  px::EventLoop loop;
  px::TVANTPortexService svc(loop, appDir, px::SystemClock::Instance(), px::DefaultModules());
  svc.SetMirrorLog(foreground);

  asio::signal_set signals(loop.Context(), SIGINT, SIGTERM);
  std::function<void(const std::error_code&, int)> onSignal = [&](const std::error_code& ec, int) {
    if (ec) return;
    svc.ServiceStop();
    signals.async_wait(onSignal);
  };
  signals.async_wait(onSignal);

  std::thread serviceThread([&] {
    svc.ServiceExecute();
    loop.Stop();
  });
  loop.Run();
  serviceThread.join();
  svc.ServiceDestroy();
  return 0;
}
