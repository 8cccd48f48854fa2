// termios2 lives in the kernel headers, which clash with <termios.h>: it gets a unit of its own.
#include "serial/PosixBaudRate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

int SetCustomBaudRate(int aFd, uint32_t aRate) {
  termios2 t{};
  if (ioctl(aFd, TCGETS2, &t) != 0) return errno;
  // A zero input-speed field makes the input speed follow the output speed.
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER;
  t.c_ispeed = aRate;
  t.c_ospeed = aRate;
  if (ioctl(aFd, TCSETS2, &t) != 0) return errno;
  return 0;
}

int GetCustomBaudRate(int aFd, uint32_t& aRate) {
  termios2 t{};
  if (ioctl(aFd, TCGETS2, &t) != 0) return errno;
  aRate = t.c_ospeed;
  return 0;
}
