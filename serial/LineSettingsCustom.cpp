// Kept apart: <asm/termbits.h> clashes with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace tessaro {

bool SetCustomBaudRate(int fd, uint32_t baudRate) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = baudRate;
  t.c_ospeed = baudRate;
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace tessaro
