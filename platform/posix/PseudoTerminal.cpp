// Pseudo-terminal pairs over posix_openpt, for device programs on the master side.
// The slave stays open here as well, raw, so the host may come and go.
#include "platform/PseudoTerminal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

namespace platform {

namespace {

struct SpeedEntry {
  speed_t code;
  DWORD baud;
};

const SpeedEntry kSpeeds[] = {
    {B1200, 1200},       {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},
    {B38400, 38400},     {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
    {B500000, 500000},   {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000},
    {B4000000, 4000000},
};

DWORD BaudOf(speed_t code) {
  for (const auto& s : kSpeeds)
    if (s.code == code) return s.baud;
  return 0;
}

bool Fail() {
  SetLastError(static_cast<DWORD>(errno));
  return false;
}

}  // namespace

PseudoTerminal::~PseudoTerminal() { Close(); }

bool PseudoTerminal::Open() {
  Close();
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master_ < 0) return Fail();
  const char* name = nullptr;
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || (name = ::ptsname(master_)) == nullptr) {
    bool ok = Fail();
    Close();
    return ok;
  }
  int packet = 1;
  if (::ioctl(master_, TIOCPKT, &packet) != 0) {
    bool ok = Fail();
    Close();
    return ok;
  }
  slavePath_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  if (slave_ < 0 || ::tcgetattr(slave_, &t) != 0) {
    bool ok = Fail();
    Close();
    return ok;
  }
  ::cfmakeraw(&t);
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  if (::tcsetattr(slave_, TCSANOW, &t) != 0) {
    bool ok = Fail();
    Close();
    return ok;
  }
  return true;
}

void PseudoTerminal::Close() {
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
  slave_ = master_ = -1;
  slavePath_.clear();
}

unsigned PseudoTerminal::Wait(int timeoutMs, bool watchStdin) {
  if (master_ < 0) return kFailed;
  pollfd fds[2] = {{master_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  int n = ::poll(fds, watchStdin ? 2 : 1, timeoutMs < 0 ? 0 : timeoutMs);
  if (n < 0) {
    if (errno == EINTR) return kTimeout;
    Fail();
    return kFailed;
  }
  unsigned result = kTimeout;
  if (fds[0].revents & POLLIN) result |= kMasterInput;
  if (watchStdin && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
    char scratch[256];
    ssize_t got = ::read(STDIN_FILENO, scratch, sizeof scratch);
    if (got <= 0) result |= kStdinClosed;
  }
  return result;
}

// In packet mode every read starts with a status byte: 0 before data, else
// control bits alone (TIOCPKT_FLUSHREAD: the slave's input was flushed).
long PseudoTerminal::Read(BYTE* buffer, size_t size, bool& inputPurged) {
  if (master_ < 0 || buffer == nullptr || size == 0) return -1;
  BYTE packet[513];
  ssize_t n = ::read(master_, packet, std::min(size + 1, sizeof packet));
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return 0;
    Fail();
    return -1;
  }
  if (n == 0) return 0;
  if (packet[0] != TIOCPKT_DATA) {
    if (packet[0] & TIOCPKT_FLUSHREAD) inputPurged = true;
    return 0;
  }
  std::copy(packet + 1, packet + n, buffer);
  return static_cast<long>(n - 1);
}

long PseudoTerminal::Write(const BYTE* data, size_t size) {
  if (master_ < 0 || data == nullptr) return -1;
  if (size == 0) return 0;
  ssize_t n = ::write(master_, data, size);
  if (n >= 0) return static_cast<long>(n);
  if (errno == EAGAIN || errno == EINTR) return 0;
  Fail();
  return -1;
}

bool PseudoTerminal::SlaveSettings(LineSettings& settings) const {
  termios t{};
  if (slave_ < 0 || ::tcgetattr(slave_, &t) != 0) return Fail();
  settings.baudRate = BaudOf(::cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: settings.byteSize = 5; break;
    case CS6: settings.byteSize = 6; break;
    case CS7: settings.byteSize = 7; break;
    default: settings.byteSize = 8; break;
  }
  settings.parity = !(t.c_cflag & PARENB) ? NOPARITY : (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  settings.stopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  return true;
}

}  // namespace platform
