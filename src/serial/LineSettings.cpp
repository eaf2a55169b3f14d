#include "serial/LineSettings.h"

#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace px {

namespace {

bool StandardSpeed(int bps, speed_t& out) {
  switch (bps) {
    case 110: out = B110; return true;
    case 300: out = B300; return true;
    case 600: out = B600; return true;
    case 1200: out = B1200; return true;
    case 2400: out = B2400; return true;
    case 4800: out = B4800; return true;
    case 9600: out = B9600; return true;
    case 19200: out = B19200; return true;
    case 38400: out = B38400; return true;
    case 57600: out = B57600; return true;
    case 115200: out = B115200; return true;
    default: return false;
  }
}

tcflag_t CharSize(int bits) {
  switch (bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

// DTR and RTS levels. Devices without modem lines refuse these; that is
// not a reason to fail the settings.
void SetModemLine(int fd, int line, bool on) {
  int bits = line;
  (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

// RTS toggle means RTS raised only while sending: the kernel's RS-485 mode
// where the driver has it. Only ever switched on: boards whose transceivers
// the system set up for RS-485 must keep that mode.
void EnableRtsToggle(int fd) {
  struct serial_rs485 rs {};
  if (ioctl(fd, TIOCGRS485, &rs) < 0) return;
  rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  rs.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
  (void)ioctl(fd, TIOCSRS485, &rs);
}

}  // namespace

int ApplyLineSettings(int fd, const TLineSettings& s) {
  struct termios t {};
  if (tcgetattr(fd, &t) < 0) return errno;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  t.c_cflag |= CharSize(s.dataBits);
  // Linux has no 1.5 stop bits; UARTs send 1.5 for 5-bit characters when two
  // are asked for, which is what "one and a half" is used with.
  if (s.stopBits != 0) t.c_cflag |= CSTOPB;
  switch (s.parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (s.outCtsFlow || s.rtsControl == 2) t.c_cflag |= CRTSCTS;
  // Line conditions are marked in the input stream (FF FF, FF 00 00,
  // FF 00 c) and decoded by the reader; breaks never raise signals.
  t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | INPCK | ISTRIP | IXON | IXOFF | IXANY);
  t.c_iflag |= PARMRK;
  if (s.parityCheck) t.c_iflag |= INPCK;
  if (s.xonXoffOut) t.c_iflag |= IXON;
  if (s.xonXoffIn) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = 17;
  t.c_cc[VSTOP] = 19;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  speed_t sp = B38400;
  const bool standard = StandardSpeed(s.baud, sp);
  if (cfsetispeed(&t, sp) < 0 || cfsetospeed(&t, sp) < 0) return errno;
  if (tcsetattr(fd, TCSANOW, &t) < 0) return errno;
  if (!standard) {
    if (int e = SetCustomBaudRate(fd, s.baud)) return e;
  }

  if (s.dtrControl != 2) SetModemLine(fd, TIOCM_DTR, s.dtrControl == 1);
  if (s.rtsControl == 0 || s.rtsControl == 1) SetModemLine(fd, TIOCM_RTS, s.rtsControl == 1);
  if (s.rtsControl == 3) EnableRtsToggle(fd);
  return 0;
}

}  // namespace px
