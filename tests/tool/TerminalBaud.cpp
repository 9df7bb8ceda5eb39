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

int OpenTerminalForSettings(const char* path) { return open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK); }

void CloseTerminal(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace tooltest
