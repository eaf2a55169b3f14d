#include "service/Daemon.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "service/ServiceModule.h"

namespace px {

std::string WriteSystemdUnit(const std::string& unitDir, const std::string& binary, const std::string& appDir) {
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
      << "ExecStart=" << binary << " --appdir " << appDir << "\n"
      << "WorkingDirectory=" << appDir << "\n"
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

std::string ExecutableDir() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  std::string d = p.parent_path().string();
  return d.empty() ? "/" : d + "/";
}

}  // namespace px
