// The baud rate a terminal really runs at, read with TCGETS2.
#include "PtyBaud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

unsigned TerminalOutputBaud(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}
