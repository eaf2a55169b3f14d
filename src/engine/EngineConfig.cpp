#include "engine/EngineConfig.h"

#include <vector>

#include "common/Format.h"
#include "platform/IniFile.h"

namespace px {

std::string DefaultComDevicePath(int com) { return Format("/dev/ttyS%d", com - 1); }

std::function<std::string(int com)> ComDevicePathFromIni(const TIniFile& ini) {
  // Read the section once: the INI object need not outlive the mapping.
  std::vector<std::string> paths(97);
  for (int com = 1; com <= 96; ++com) paths[static_cast<size_t>(com)] = ini.ReadString("Ports", Format("COM%d", com), "");
  return [paths](int com) {
    if (com >= 1 && com <= 96 && !paths[static_cast<size_t>(com)].empty()) return paths[static_cast<size_t>(com)];
    return DefaultComDevicePath(com);
  };
}

}  // namespace px
