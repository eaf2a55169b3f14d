#pragma once
#include <string>

namespace px {

// Writes the systemd unit of the service into unitDir and returns its path;
// throws std::runtime_error when it cannot be written.
std::string WriteSystemdUnit(const std::string& unitDir, const std::string& binary, const std::string& appDir);
// The folder of the running executable, ending with "/".
std::string ExecutableDir();

}  // namespace px
