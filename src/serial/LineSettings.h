#pragma once
// The line settings of a port as plain values, and how they reach a tty.
#include <cstdint>

namespace px {

struct TLineSettings {
  int baud = 9600;        // bits per second
  int dataBits = 8;       // 5..8
  int stopBits = 0;       // 0 one, 1 one and a half, 2 two
  int parity = 0;         // 0 none, 1 odd, 2 even, 3 mark, 4 space
  bool parityCheck = false;
  bool outCtsFlow = false;
  bool outDsrFlow = false;
  int dtrControl = 0;     // 0 disable, 1 enable, 2 handshake
  int rtsControl = 0;     // 0 disable, 1 enable, 2 handshake, 3 toggle
  bool xonXoffOut = false;
  bool xonXoffIn = false;
};

// Puts the tty into raw mode with these settings. Returns 0 or the errno of
// the step that failed. Modem-line and RS-485 requests that the device does
// not support (a pty has no modem lines) are skipped, not failures.
int ApplyLineSettings(int fd, const TLineSettings& s);

// Rates without a Bnnn constant (14400, 56000) go through termios2. Lives in
// its own source file because the kernel's termios2 header clashes with the
// C library's termios. Returns 0 or errno.
int SetCustomBaudRate(int fd, int bps);

}  // namespace px
