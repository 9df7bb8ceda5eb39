// The baud rate a terminal runs at, read with TCGETS2, and the open/close of
// the extra descriptor through which the test watches the tool's settings.
#include "TerminalBaud.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tooltest {

unsigned TerminalBaud(int fd) {
  termios2 t{};
  if (fd < 0 || ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

const char* TerminalFraming(int fd, char (&text)[4]) {
  termios2 t{};
  text[0] = '\0';
  if (fd < 0 || ioctl(fd, TCGETS2, &t) != 0) return text;
  const tcflag_t size = t.c_cflag & CSIZE;
  text[0] = size == CS5 ? '5' : size == CS6 ? '6' : size == CS7 ? '7' : '8';
  text[1] = (t.c_cflag & PARENB) == 0 ? 'N' : (t.c_cflag & PARODD) != 0 ? 'O' : 'E';
  text[2] = (t.c_cflag & CSTOPB) != 0 ? '2' : '1';
  text[3] = '\0';
  return text;
}

int OpenTerminalForSettings(const char* path) { return open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK); }

void CloseTerminal(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace tooltest
