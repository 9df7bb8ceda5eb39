// Line attributes of a terminal device through termios2 (TCGETS2/TCSETS2), so
// that any baud rate the driver supports can be set with BOTHER.
#include "platform/posix/SerialTermiosAttr.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace platform {

namespace {

int Get(int fd, termios2& t) { return ioctl(fd, TCGETS2, &t) == 0 ? 0 : errno; }
int Set(int fd, const termios2& t) { return ioctl(fd, TCSETS2, &t) == 0 ? 0 : errno; }

tcflag_t SizeFlag(BYTE byteSize) {
  switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

BYTE ByteSizeOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
  }
}

tcflag_t ParityFlags(BYTE parity) {
  switch (parity) {
    case 1: return PARENB | PARODD;           // odd
    case 2: return PARENB;                    // even
    case 3: return PARENB | PARODD | CMSPAR;  // mark
    case 4: return PARENB | CMSPAR;           // space
    default: return 0;
  }
}

BYTE ParityOf(tcflag_t cflag) {
  if (!(cflag & PARENB)) return 0;
  if (cflag & CMSPAR) return (cflag & PARODD) ? 3 : 4;
  return (cflag & PARODD) ? 1 : 2;
}

static_assert(sizeof(termios2) <= sizeof(TerminalSnapshot::bytes), "a snapshot holds a whole termios2");

}  // namespace

int SaveTerminal(int fd, TerminalSnapshot& saved) {
  termios2 t{};
  if (int e = Get(fd, t)) return e;
  std::memset(saved.bytes, 0, sizeof saved.bytes);
  std::memcpy(saved.bytes, &t, sizeof t);
  return 0;
}

int RestoreTerminal(int fd, const TerminalSnapshot& saved) {
  termios2 want{}, now{};
  std::memcpy(&want, saved.bytes, sizeof want);
  if (int e = Get(fd, now)) return e;
  if (std::memcmp(&want, &now, sizeof want) == 0) return 0;
  return Set(fd, want);
}

int MakeTerminalRaw(int fd) {
  termios2 t{};
  if (int e = Get(fd, t)) return e;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                      IXANY | INPCK | IUCLC | IMAXBEL);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  return Set(fd, t);
}

int ApplyTerminalLine(int fd, const TerminalLine& line) {
  termios2 t{};
  if (int e = Get(fd, t)) return e;
  const termios2 before = t;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
  t.c_cflag |= SizeFlag(line.byteSize) | ParityFlags(line.parity) | CLOCAL | CREAD | BOTHER;
  if (line.stopBits != 0) t.c_cflag |= CSTOPB;  // the driver has no 1.5: two
  if (line.rtsCtsHandshake) t.c_cflag |= CRTSCTS;
  t.c_ispeed = t.c_ospeed = line.baudRate;  // CIBAUD clear: input follows output
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  if (line.xonOutput) t.c_iflag |= IXON;
  if (line.xonInput) t.c_iflag |= IXOFF;
  if (line.xonChar) t.c_cc[VSTART] = static_cast<cc_t>(line.xonChar);
  if (line.xoffChar) t.c_cc[VSTOP] = static_cast<cc_t>(line.xoffChar);
  if (int e = Set(fd, t)) return e;
  // A driver that cannot run at the rate picks another; Win32 refuses instead.
  termios2 back{};
  if (int e = Get(fd, back)) return e;
  DWORD got = back.c_ospeed;
  DWORD diff = got > line.baudRate ? got - line.baudRate : line.baudRate - got;
  if (static_cast<std::uint64_t>(diff) * 50 <= line.baudRate) return 0;
  Set(fd, before);  // more than 2 % off: keep the line as it was
  return EINVAL;
}

int ReadTerminalLine(int fd, TerminalLine& line) {
  termios2 t{};
  if (int e = Get(fd, t)) return e;
  line.baudRate = t.c_ospeed;
  line.byteSize = ByteSizeOf(t.c_cflag);
  line.parity = ParityOf(t.c_cflag);
  line.stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
  line.rtsCtsHandshake = (t.c_cflag & CRTSCTS) != 0;
  line.xonOutput = (t.c_iflag & IXON) != 0;
  line.xonInput = (t.c_iflag & IXOFF) != 0;
  line.xonChar = static_cast<char>(t.c_cc[VSTART]);
  line.xoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return 0;
}

}  // namespace platform
