// Only the kernel's termbits here: <termios.h> and <asm/termbits.h> cannot
// share a translation unit.
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

#include "serial/LineSettings.h"

namespace px {

int SetCustomBaudRate(int fd, int bps) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) < 0) return errno;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = static_cast<speed_t>(bps);
  t.c_ospeed = static_cast<speed_t>(bps);
  if (ioctl(fd, TCSETS2, &t) < 0) return errno;
  return 0;
}

}  // namespace px
