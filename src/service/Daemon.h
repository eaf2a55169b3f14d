#pragma once
#include <string>
#include <vector>

namespace px {

// Writes the systemd unit of the service into unitDir and returns its path;
// throws std::runtime_error when it cannot be written.
std::string WriteSystemdUnit(const std::string& unitDir, const std::string& binary, const std::string& appDir);
// The unit the Debian package installed, or "" when there is none in `dirs`.
std::string PackagedUnit(const std::vector<std::string>& dirs = {"/lib/systemd/system", "/usr/lib/systemd/system"});
// Whether systemd loads units from this folder; a unit written there with
// the package's name would take the place of the package's hardened one.
bool SystemdLoadsUnitsFrom(const std::string& dir);
// The folder of the running executable, ending with "/".
std::string ExecutableDir();

}  // namespace px
