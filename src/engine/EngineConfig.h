#pragma once
#include <functional>
#include <string>

namespace px {

class TIniFile;

// What the service tells the engine when it creates it.
struct EngineConfig {
  std::string appDir;   // program folder, ends with '/'
  std::string iniPath;  // the "OstrPro.Ini" holding the engine's own keys
  bool singleSocket = false;
  bool kx6ksEnable = false;
  int singleSocketPort = 4001;
  // COMn -> device path of the serial port; empty means DefaultComDevicePath.
  std::function<std::string(int com)> comDevicePath;
  // Period of the bus reply time-out tick. The controllers expect 20 ms
  // (45 ticks = 0.9 s); tests shorten it so a silent unit fails quickly.
  int busTickMs = 20;
  // Period of the IP channel timers and of the single-socket timer (10 ms),
  // and of the IP wait-counter tick (20 ms: 100 ticks = 2 s for a poll).
  // Tests shorten them so silent controllers time out quickly.
  int ipTimerMs = 10;
  int ipTickMs = 20;
};

// COM1 -> "/dev/ttyS0", COM2 -> "/dev/ttyS1" ...
std::string DefaultComDevicePath(int com);

// The mapping of the "Ports" section ("COM1=/dev/ttyUSB0" ...); COM numbers
// without a key fall back to DefaultComDevicePath.
std::function<std::string(int com)> ComDevicePathFromIni(const TIniFile& ini);

}  // namespace px
