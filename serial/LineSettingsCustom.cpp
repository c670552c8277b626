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

bool LineSpeedIs(int fd, uint32_t baudRate) {
  if (baudRate == 0) return false;  // speed 0 means: hang up the line
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  // A driver may round a rate to what its clock divides to; a UART still
  // understands a peer that is a few percent off.
  const uint64_t want = baudRate;
  const uint64_t got = t.c_ospeed;
  const uint64_t diff = got > want ? got - want : want - got;
  return diff * 100 <= want * 3;
}

}  // namespace tessaro
