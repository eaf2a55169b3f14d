#include "service/Daemon.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "service/ServiceModule.h"

namespace px {

namespace {

// A path as systemd reads it back: "%" starts a specifier everywhere, so
// it is doubled. A line break cannot be carried in a unit file at all.
std::string UnitPath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '\n' || c == '\r') throw std::runtime_error("a unit file cannot hold the path " + path);
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

// One word of a command line: quoted, so blanks do not split it, with
// backslash and quote escaped, "$" doubled (no variable expansion) and "%"
// doubled (no specifier).
std::string UnitWord(const std::string& word) {
  std::string out = "\"";
  for (char c : UnitPath(word)) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '$') out += '$';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string WriteSystemdUnit(const std::string& unitDir, const std::string& binary, const std::string& appDir) {
  std::string exec = UnitWord(binary) + " --appdir " + UnitWord(appDir);
  std::string workDir = UnitPath(appDir);
  std::string path = unitDir + (unitDir.empty() || unitDir.back() == '/' ? "" : "/") +
                     TVANTPortexService::kServiceName + ".service";
  std::ofstream out(path, std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << "[Unit]\n"
      << "Description=" << TVANTPortexService::kDescription << "\n"
      << "After=network-online.target postgresql.service\n"
      << "Wants=network-online.target\n\n"
      << "[Service]\n"
      << "Type=simple\n"
      << "ExecStart=" << exec << "\n"
      << "WorkingDirectory=" << workDir << "\n"
      << "KillSignal=SIGTERM\n"
      << "TimeoutStopSec=30\n"
      << "Restart=on-failure\n"
      << "RestartSec=5\n\n"
      << "[Install]\n"
      << "WantedBy=multi-user.target\n";
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

std::string PackagedUnit(const std::vector<std::string>& dirs) {
  for (const auto& d : dirs) {
    std::string path = d + "/" + TVANTPortexService::kServiceName + ".service";
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) return path;
  }
  return "";
}

bool SystemdLoadsUnitsFrom(const std::string& dir) {
  std::error_code ec;
  std::string d = std::filesystem::weakly_canonical(dir, ec).lexically_normal().string();
  if (ec) d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  for (const char* u : {"/etc/systemd/system", "/etc/systemd/system.control", "/run/systemd/system",
                        "/run/systemd/system.control", "/run/systemd/transient", "/usr/local/lib/systemd/system",
                        "/lib/systemd/system", "/usr/lib/systemd/system"})
    if (d == u) return true;
  return false;
}

std::string ExecutableDir() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  std::string d = p.parent_path().string();
  return d.empty() ? "/" : d + "/";
}

}  // namespace px
