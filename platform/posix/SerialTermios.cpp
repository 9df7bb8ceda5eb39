// Terminal devices (termios) as Win32 serial ports: COM names, exclusive open
// that leaves a port another program holds alone, Win32 time-outs over poll,
// modem lines, breaks, error counters and events, and the terminal's own
// settings given back on close.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/SerialBackend.h"
#include "platform/VirtualPort.h"
#include "platform/WinSerial.h"
#include "platform/SerialRules.h"
#include "platform/posix/SerialTermiosAttr.h"
#include "platform/posix/SerialTermiosLock.h"

namespace platform {

namespace {

// The longest a blocked call sleeps before it looks again whether the port was
// closed under it (by another thread) or the event mask changed.
constexpr int kPollStepMs = 10;
// The longest single wait for input where no wake-up descriptor could be made,
// so that a Close is still noticed soon.
constexpr DWORD kLongestUnwakeableWaitMs = 100;

// What the driver's read queue holds: the terminal line discipline buffers
// 4096 bytes before it throttles.
constexpr DWORD kTerminalInputQueue = 4096;

using Clock = std::uint64_t;  // monotonic microseconds, so a time-out never ends early by rounding

Clock Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<Clock>(ts.tv_sec) * 1000000u + static_cast<Clock>(ts.tv_nsec) / 1000u;
}

Clock Ms(std::uint64_t ms) { return ms * 1000u; }

BOOL Fail(int error) {
  SetLastError(static_cast<DWORD>(error));
  return FALSE;
}

// "COM3", "COM3:" and "\\.\COM3" are /dev/ttyS2, unless QUELM_COM3 names
// another device. Any other name is a path. Empty result: no such COM port.
std::string DevicePath(const std::string& name) {
  const int n = ParsePortName(name).com;
  if (n < 0) return name;
  if (n == 0) return std::string();
  std::string var = "QUELM_COM" + std::to_string(n);
  if (const char* mapped = std::getenv(var.c_str()); mapped && *mapped) return mapped;
  return "/dev/ttyS" + std::to_string(n - 1);
}

// Modem-line requests on a device that has no modem lines.
//
// A pseudo-terminal (and some USB gadgets) answers the modem ioctls with
// ENOTTY, or EINVAL for the error counters. Such a device has nothing to
// drive: DTR, RTS and break requests succeed without effect, CTS reads as
// asserted and no line errors are counted. This is the one place that decides
// it; every other failure of these ioctls is a real error.
bool LacksModemLines(int error) { return error == ENOTTY || error == EINVAL; }

// 0, or the errno of a real failure.
int ModemIoctl(int fd, unsigned long request, int* arg) {
  if (ioctl(fd, request, arg) == 0) return 0;
  int e = errno;
  return LacksModemLines(e) ? 0 : e;
}

// The modem status bits, CTS asserted on a device without modem lines.
int ModemBits(int fd, int& bits) {
  if (ioctl(fd, TIOCMGET, &bits) == 0) return 0;
  int e = errno;
  if (!LacksModemLines(e)) return e;
  bits = TIOCM_CTS;
  return 0;
}

int BreakIoctl(int fd, bool on) {
  if (ioctl(fd, on ? TIOCSBRK : TIOCCBRK) == 0) return 0;
  int e = errno;
  return LacksModemLines(e) ? 0 : e;
}

// The driver's line-error counters; false when it keeps none.
bool ReadCounters(int fd, serial_icounter_struct& c) {
  std::memset(&c, 0, sizeof c);
  return ioctl(fd, TIOCGICOUNT, &c) == 0;
}

DWORD ErrorsBetween(const serial_icounter_struct& a, const serial_icounter_struct& b) {
  DWORD e = 0;
  if (b.brk != a.brk) e |= CE_BREAK;
  if (b.frame != a.frame) e |= CE_FRAME;
  if (b.parity != a.parity) e |= CE_RXPARITY;
  if (b.overrun != a.overrun) e |= CE_OVERRUN;
  if (b.buf_overrun != a.buf_overrun) e |= CE_RXOVER;
  return e;
}

// Waits for `events` on fd up to `ms` (<= the poll step); false on a poll error.
bool PollFor(int fd, short events, int ms, short* revents) {
  pollfd p{fd, events, 0};
  int r = poll(&p, 1, std::max(0, std::min(ms, kPollStepMs)));
  if (r < 0 && errno != EINTR) return false;
  *revents = r > 0 ? p.revents : 0;
  return true;
}

// Milliseconds to poll for, rounded up, at most one step.
int MsUntil(Clock deadline) {
  if (deadline == 0) return kPollStepMs;
  Clock now = Now();
  if (deadline <= now) return 0;
  return static_cast<int>(std::min<Clock>((deadline - now + 999) / 1000, kPollStepMs));
}

// Waits, bounded, until the driver has sent what was written, so that the
// settings put back on close do not apply to the last bytes of the session.
void DrainOutput(int fd) {
  int queued = 0;
  if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
  TerminalLine line;
  DWORD baud = ReadTerminalLine(fd, line) == 0 && line.baudRate > 0 ? line.baudRate : 9600;
  const Clock end = Now() + Ms(std::min<std::uint64_t>(static_cast<std::uint64_t>(queued) * 10000u / baud + 50, 2000));
  while (Now() < end && ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
    timespec step{0, 5000000};
    nanosleep(&step, nullptr);
  }
}

class TerminalPort final : public ISerialBackend {
 public:
  // Without the wake-up descriptor (out of descriptors) a wait still ends at its time-out.
  TerminalPort(int fd, std::unique_ptr<DeviceLockFiles> lockFiles)
      : fd_(fd), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), lockFiles_(std::move(lockFiles)) {}
  // The last reference goes after Close, when no call uses the descriptor any more.
  ~TerminalPort() override {
    if (saved_) {
      DrainOutput(fd_);
      RestoreTerminal(fd_, *saved_);
    }
    // The flag was clear when the port was opened (else the open failed); on a
    // pseudo-terminal it would outlive this descriptor.
    ioctl(fd_, TIOCNXCL);
    if (wake_ >= 0) ::close(wake_);
    lockFiles_.reset();
    ::close(fd_);  // releases the flock last
  }
  int Init();

  BOOL Read(void* buffer, DWORD toRead, DWORD* read) override;
  BOOL Write(const void* buffer, DWORD toWrite, DWORD* written) override;
  BOOL GetState(DCB* dcb) override;
  BOOL SetState(const DCB& dcb) override;
  BOOL GetProperties(COMMPROP* prop) override;
  BOOL GetTimeouts(COMMTIMEOUTS* timeouts) override;
  BOOL SetTimeouts(const COMMTIMEOUTS& timeouts) override;
  BOOL ClearError(DWORD* errors, COMSTAT* stat) override;
  BOOL InputStatus(DWORD* errors, DWORD* inQueue) override;
  BOOL Purge(DWORD flags) override;
  BOOL Escape(DWORD func) override;
  BOOL GetMask(DWORD* mask) override;
  BOOL SetMask(DWORD mask) override;
  BOOL WaitEvent(DWORD* mask) override;
  BOOL GetModemStatus(DWORD* status) override;
  BOOL WaitInput(DWORD milliseconds) override;
  void WakeInputWait() override;
  void Close() override {
    closed_.store(true);
    WakeInputWait();
  }

 private:
  bool Usable() const {
    if (!closed_.load()) return true;
    SetLastError(EBADF);
    return false;
  }
  // Usable, and in raw mode. The terminal keeps its settings until the port is
  // first used for I/O or configured, so that an open that only looks whether
  // the port is free (the connection list) changes nothing on it.
  bool Ready() {
    if (!Usable()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (raw_) return true;
    if (int e = MakeTerminalRaw(fd_)) {
      SetLastError(static_cast<DWORD>(e));
      return false;
    }
    raw_ = true;
    return true;
  }
  COMMTIMEOUTS Timeouts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeouts_;
  }
  bool CtsFlow() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return (dcb_.Flags & DCB_fOutxCtsFlow) != 0;
  }
  int SetModemLine(int line, bool on) {
    return ModemIoctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line);
  }
  int ApplyModemControl(const DCB& dcb);
  // Waits until CTS is up or the deadline (0: none) passes; -1 time-out, else 0/errno.
  int AwaitCts(Clock deadline);
  DWORD PendingEvents(DWORD mask, int& lastModem, serial_icounter_struct& lastCounts, bool haveCounts);
  DWORD TakeErrors();

  const int fd_;
  const int wake_;  // eventfd that ends a WaitInput early; -1 when there is none
  std::unique_ptr<DeviceLockFiles> lockFiles_;
  std::unique_ptr<TerminalSnapshot> saved_;  // the settings the terminal had at open
  std::atomic<bool> closed_{false};
  mutable std::mutex mutex_;  // guards the members below
  bool raw_ = false;
  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
  DWORD mask_ = 0;
  unsigned maskChanges_ = 0;
  serial_icounter_struct errorBase_{};  // counters at the previous ClearCommError
  bool haveCounters_ = false;
};

int TerminalPort::Init() {
  auto saved = std::make_unique<TerminalSnapshot>();
  if (int e = SaveTerminal(fd_, *saved)) return e;
  saved_ = std::move(saved);
  TerminalLine line;
  if (int e = ReadTerminalLine(fd_, line)) return e;
  line.xonOutput = line.xonInput = false;  // as raw mode will leave them
  dcb_.DCBlength = sizeof(DCB);
  dcb_.BaudRate = line.baudRate;
  dcb_.ByteSize = line.byteSize;
  dcb_.Parity = line.parity;
  dcb_.StopBits = line.stopBits;
  dcb_.XonChar = line.xonChar;
  dcb_.XoffChar = line.xoffChar;
  dcb_.Flags = DCB_fBinary | (line.rtsCtsHandshake ? (DCB_fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << 12)) : 0) |
               (line.xonOutput ? DCB_fOutX : 0) | (line.xonInput ? DCB_fInX : 0);
  haveCounters_ = ReadCounters(fd_, errorBase_);
  return 0;
}

BOOL TerminalPort::Read(void* buffer, DWORD toRead, DWORD* read) {
  const ReadPlan plan = PlanRead(Timeouts(), toRead, Now());
  BYTE* out = static_cast<BYTE*>(buffer);
  DWORD got = 0;
  Clock lastByte = 0;  // when this backend took it: the driver keeps no arrival times
  bool hangup = false;  // poll saw the device go away
  if (!Ready()) return FALSE;
  for (;;) {
    if (!Usable()) return FALSE;
    // In raw mode without VMIN/VTIME an empty queue reads as 0 bytes, so only
    // the poll result tells a hung-up device from a quiet one.
    ssize_t n = ::read(fd_, out + got, toRead - got);
    if (n > 0) {
      got += static_cast<DWORD>(n);
      lastByte = Now();
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      *read = got;
      return Fail(errno);
    } else if (hangup) {
      *read = got;
      return Fail(EIO);
    }
    *read = got;
    const ReadStep step = plan.Next(got, lastByte, Now());
    if (step.done) return TRUE;
    short revents = 0;
    if (!PollFor(fd_, POLLIN, MsUntil(step.wakeBy), &revents)) return Fail(errno);
    hangup = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
}

int TerminalPort::AwaitCts(Clock deadline) {
  for (;;) {
    if (closed_.load()) return EBADF;
    int bits = 0;
    if (int e = ModemBits(fd_, bits)) return e;
    if (bits & TIOCM_CTS) return 0;
    if (deadline != 0 && Now() >= deadline) return -1;
    timespec step{0, 1000000};  // CTS has no descriptor to poll; look every millisecond
    nanosleep(&step, nullptr);
  }
}

BOOL TerminalPort::Write(const void* buffer, DWORD toWrite, DWORD* written) {
  if (!Ready()) return FALSE;
  const Clock deadline = WriteDeadline(Timeouts(), toWrite, Now());
  const bool ctsFlow = CtsFlow();
  const BYTE* p = static_cast<const BYTE*>(buffer);
  DWORD done = 0;
  while (done < toWrite) {
    // Output flow by CTS is done here, not by CRTSCTS, which would also drive RTS.
    if (ctsFlow) {
      int e = AwaitCts(deadline);
      if (e == -1) break;
      if (e != 0) return Fail(e);
    }
    ssize_t n = ::write(fd_, p + done, toWrite - done);
    if (n > 0) {
      done += static_cast<DWORD>(n);
      *written = done;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return Fail(errno);
    if (deadline != 0 && Now() >= deadline) break;
    short revents = 0;
    if (!PollFor(fd_, POLLOUT, MsUntil(deadline), &revents)) return Fail(errno);
    if (!Usable()) return FALSE;
  }
  *written = done;
  return TRUE;  // a write time-out returns what was written so far, as on Win32
}

BOOL TerminalPort::GetState(DCB* dcb) {
  if (!Usable()) return FALSE;
  TerminalLine line;
  if (int e = ReadTerminalLine(fd_, line)) return Fail(e);
  std::lock_guard<std::mutex> lock(mutex_);
  *dcb = dcb_;
  dcb->BaudRate = line.baudRate;  // what the driver really runs at
  dcb->ByteSize = line.byteSize;
  dcb->Parity = line.parity;
  if ((line.stopBits == 0) != (dcb_.StopBits == ONESTOPBIT)) dcb->StopBits = line.stopBits;
  return TRUE;
}

// RTS handshake is the driver's (CRTSCTS), so RTS is left to it then.
int TerminalPort::ApplyModemControl(const DCB& dcb) {
  const LineLevels levels = LineLevelsOf(dcb);
  if (int e = SetModemLine(TIOCM_DTR, levels.dtr)) return e;
  if (levels.rtsByHandshake) return 0;
  return SetModemLine(TIOCM_RTS, levels.rts);
}

BOOL TerminalPort::SetState(const DCB& dcb) {
  if (!Ready()) return FALSE;
  TerminalLine line;
  line.baudRate = dcb.BaudRate;
  line.byteSize = dcb.ByteSize;
  line.parity = dcb.Parity;
  line.stopBits = dcb.StopBits;
  line.rtsCtsHandshake = LineLevelsOf(dcb).rtsByHandshake;
  line.xonOutput = (dcb.Flags & DCB_fOutX) != 0;
  line.xonInput = (dcb.Flags & DCB_fInX) != 0;
  line.xonChar = dcb.XonChar;
  line.xoffChar = dcb.XoffChar;
  if (int e = ApplyTerminalLine(fd_, line)) return Fail(e);
  if (int e = ApplyModemControl(dcb)) return Fail(e);
  std::lock_guard<std::mutex> lock(mutex_);
  dcb_ = dcb;
  dcb_.DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL TerminalPort::GetProperties(COMMPROP* prop) {
  if (!Usable()) return FALSE;
  *prop = SerialProperties(kTerminalInputQueue, 0);
  return TRUE;
}

BOOL TerminalPort::GetTimeouts(COMMTIMEOUTS* timeouts) {
  if (!Usable()) return FALSE;
  *timeouts = Timeouts();
  return TRUE;
}

BOOL TerminalPort::SetTimeouts(const COMMTIMEOUTS& timeouts) {
  if (!Usable()) return FALSE;
  if (int e = CheckTimeouts(timeouts)) return Fail(e);
  std::lock_guard<std::mutex> lock(mutex_);
  timeouts_ = timeouts;
  return TRUE;
}

// The line errors counted since the last look. Linux announces none (no
// event for a framing error or an overrun), so the driver's counters are read:
// one ioctl on a real UART, none on a device that keeps no counters.
DWORD TerminalPort::TakeErrors() {
  serial_icounter_struct now{};
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD e = 0;
  if (haveCounters_ && ReadCounters(fd_, now)) {
    e = ErrorsBetween(errorBase_, now);
    errorBase_ = now;
  }
  return e;
}

BOOL TerminalPort::InputStatus(DWORD* errors, DWORD* inQueue) {
  if (!Ready()) return FALSE;
  int in = 0;
  if (ioctl(fd_, FIONREAD, &in) != 0) return Fail(errno);
  *errors = TakeErrors();
  *inQueue = static_cast<DWORD>(std::max(in, 0));
  return TRUE;
}

BOOL TerminalPort::ClearError(DWORD* errors, COMSTAT* stat) {
  if (!Ready()) return FALSE;
  int in = 0, out = 0;
  if (ioctl(fd_, FIONREAD, &in) != 0) return Fail(errno);
  if (ioctl(fd_, TIOCOUTQ, &out) != 0) return Fail(errno);
  *errors = TakeErrors();
  stat->Flags = 0;
  if (dcb_.Flags & DCB_fOutxCtsFlow) {
    int bits = 0;
    if (ModemBits(fd_, bits) == 0 && !(bits & TIOCM_CTS)) stat->Flags |= 1;  // fCtsHold
  }
  stat->cbInQue = static_cast<DWORD>(std::max(in, 0));
  stat->cbOutQue = static_cast<DWORD>(std::max(out, 0));
  return TRUE;
}

BOOL TerminalPort::Purge(DWORD flags) {
  if (!Usable()) return FALSE;
  bool rx = flags & (PURGE_RXCLEAR | PURGE_RXABORT);
  bool tx = flags & (PURGE_TXCLEAR | PURGE_TXABORT);
  int which = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
  if ((rx || tx) && tcflush(fd_, which) != 0) return Fail(errno);
  return TRUE;
}

BOOL TerminalPort::Escape(DWORD func) {
  if (!Usable()) return FALSE;
  int e = 0;
  switch (func) {
    case SETDTR: e = SetModemLine(TIOCM_DTR, true); break;
    case CLRDTR: e = SetModemLine(TIOCM_DTR, false); break;
    case SETRTS: e = SetModemLine(TIOCM_RTS, true); break;
    case CLRRTS: e = SetModemLine(TIOCM_RTS, false); break;
    case SETBREAK: e = BreakIoctl(fd_, true); break;
    case CLRBREAK: e = BreakIoctl(fd_, false); break;
    case SETXOFF: e = tcflow(fd_, TCOOFF) == 0 ? 0 : errno; break;
    case SETXON: e = tcflow(fd_, TCOON) == 0 ? 0 : errno; break;
    default: e = EINVAL;
  }
  return e == 0 ? TRUE : Fail(e);
}

BOOL TerminalPort::GetMask(DWORD* mask) {
  if (!Usable()) return FALSE;
  std::lock_guard<std::mutex> lock(mutex_);
  *mask = mask_;
  return TRUE;
}

BOOL TerminalPort::SetMask(DWORD mask) {
  if (!Usable()) return FALSE;
  std::lock_guard<std::mutex> lock(mutex_);
  mask_ = mask;
  ++maskChanges_;
  return TRUE;
}

// The events of `mask` that hold now: input queued, output drained, a modem
// line changed since `lastModem`, a break or line error counted since `lastCounts`.
DWORD TerminalPort::PendingEvents(DWORD mask, int& lastModem, serial_icounter_struct& lastCounts, bool haveCounts) {
  DWORD ev = 0;
  if (mask & EV_RXCHAR) {
    int in = 0;
    if (ioctl(fd_, FIONREAD, &in) == 0 && in > 0) ev |= EV_RXCHAR;
  }
  if (mask & EV_TXEMPTY) {
    int out = 0;
    if (ioctl(fd_, TIOCOUTQ, &out) == 0 && out == 0) ev |= EV_TXEMPTY;
  }
  if (haveCounts) {
    // The driver counts every transition, so a short pulse between two looks
    // (a device clocking bytes with CTS) is not missed.
    serial_icounter_struct now{};
    if (ReadCounters(fd_, now)) {
      DWORD e = ErrorsBetween(lastCounts, now);
      if (e & CE_BREAK) ev |= EV_BREAK;
      if (e & (CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER)) ev |= EV_ERR;
      if (now.cts != lastCounts.cts) ev |= EV_CTS;
      if (now.dsr != lastCounts.dsr) ev |= EV_DSR;
      if (now.dcd != lastCounts.dcd) ev |= EV_RLSD;
      if (now.rng != lastCounts.rng) ev |= EV_RING;
      lastCounts = now;
    }
  } else if (mask & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) {
    int bits = lastModem;
    ModemBits(fd_, bits);
    int changed = bits ^ lastModem;
    if (changed & TIOCM_CTS) ev |= EV_CTS;
    if (changed & TIOCM_DSR) ev |= EV_DSR;
    if (changed & TIOCM_CD) ev |= EV_RLSD;
    if (changed & TIOCM_RNG) ev |= EV_RING;
    lastModem = bits;
  }
  return ev & mask;
}

// Blocks until an event of the mask holds, the mask changes (result 0, as on
// Win32) or the port is closed; it looks in steps so that neither can be missed.
BOOL TerminalPort::WaitEvent(DWORD* result) {
  if (!Ready()) return FALSE;
  DWORD mask;
  unsigned changes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mask = mask_;
    changes = maskChanges_;
  }
  if (mask == 0) return Fail(EINVAL);
  int modem = 0;
  ModemBits(fd_, modem);
  serial_icounter_struct counts{};
  bool haveCounts = ReadCounters(fd_, counts);
  for (;;) {
    if (!Usable()) return FALSE;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (maskChanges_ != changes) {
        *result = 0;
        return TRUE;
      }
    }
    if (DWORD ev = PendingEvents(mask, modem, counts, haveCounts)) {
      *result = ev;
      return TRUE;
    }
    short revents = 0;
    if (!PollFor(fd_, (mask & EV_RXCHAR) ? POLLIN : 0, kPollStepMs, &revents)) return Fail(errno);
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) return Fail(EIO);  // nothing pending and the device is gone
  }
}

BOOL TerminalPort::GetModemStatus(DWORD* status) {
  if (!Usable()) return FALSE;
  int bits = 0;
  if (int e = ModemBits(fd_, bits)) return Fail(e);
  *status = ((bits & TIOCM_CTS) ? MS_CTS_ON : 0u) | ((bits & TIOCM_DSR) ? MS_DSR_ON : 0u) |
            ((bits & TIOCM_RNG) ? MS_RING_ON : 0u) | ((bits & TIOCM_CD) ? MS_RLSD_ON : 0u);
  return TRUE;
}

// One poll for the whole wait, so that an idle run wakes only as often as its
// caller asks; a wake-up request or a Close ends it at once.
BOOL TerminalPort::WaitInput(DWORD milliseconds) {
  if (!Ready()) return FALSE;
  pollfd p[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
  const DWORD ms = std::min<DWORD>(milliseconds, wake_ >= 0 ? INT32_MAX : kLongestUnwakeableWaitMs);
  const int r = ::poll(p, wake_ >= 0 ? 2 : 1, static_cast<int>(ms));
  if (r < 0 && errno != EINTR) return Fail(errno);
  if (r > 0 && (p[1].revents & POLLIN) != 0) {
    eventfd_t taken = 0;
    eventfd_read(wake_, &taken);  // the request is used up; a racing one only ends the next wait early
  }
  return Usable() ? TRUE : FALSE;  // input, a hang-up the next read reports, or the time is up
}

void TerminalPort::WakeInputWait() {
  if (wake_ >= 0) eventfd_write(wake_, 1);  // only fails when the counter is full, which still wakes
}

int OpenFlags(DWORD access) {
  bool r = access & GENERIC_READ, w = access & GENERIC_WRITE;
  int mode = r && w ? O_RDWR : w ? O_WRONLY : O_RDONLY;
  return mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
}

// Takes the port unless somebody holds it, before anything on it changes.
// TIOCEXCL keeps other users out, but not root: its flag is read, not trusted
// to have failed the open. The flock is what other serial programs take, and
// it also keeps out this process's other opens; it is held while the port is
// open. EBUSY when the port is held.
int LockExclusive(int fd) {
#ifdef TIOCGEXCL
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) return EBUSY;
#endif
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
  if (ioctl(fd, TIOCEXCL) != 0) return errno;
  return 0;
}

}  // namespace

std::shared_ptr<ISerialBackend> OpenTerminalPort(const std::string& name, DWORD access) {
  std::string path = DevicePath(name);
  if (path.empty()) {
    SetLastError(ENOENT);
    return nullptr;
  }
  // A lock file of a live process: the device is not even opened, since the
  // open alone can change its modem lines.
  auto lockFiles = std::make_unique<DeviceLockFiles>(path);
  if (int e = lockFiles->CheckFree()) {
    SetLastError(static_cast<DWORD>(e));
    return nullptr;
  }
  // Non-blocking: the open does not wait for carrier, and a port another
  // process has open keeps its modem lines.
  int fd = ::open(path.c_str(), OpenFlags(access));
  if (fd < 0) {
    SetLastError(static_cast<DWORD>(errno));
    return nullptr;
  }
  if (!isatty(fd)) {
    ::close(fd);
    SetLastError(ENOTTY);
    return nullptr;
  }
  if (int e = LockExclusive(fd)) {
    ::close(fd);
    SetLastError(static_cast<DWORD>(e));
    return nullptr;
  }
  if (int e = lockFiles->Take()) {
    ioctl(fd, TIOCNXCL);
    ::close(fd);
    SetLastError(static_cast<DWORD>(e));
    return nullptr;
  }
  auto port = std::make_shared<TerminalPort>(fd, std::move(lockFiles));  // owns fd from here
  if (int e = port->Init()) {
    SetLastError(static_cast<DWORD>(e));
    return nullptr;
  }
  return port;
}

__attribute__((visibility("default"))) std::string PortOpenAdvice(const std::string& name, DWORD error) {
  if (IsVirtualPortName(name)) return std::string();
  const int com = ParsePortName(name).com;
  const std::string path = DevicePath(name);
  std::string advice;
  if (com > 0) {
    const std::string var = "QUELM_COM" + std::to_string(com);
    const char* set = std::getenv(var.c_str());
    advice = name + " is " + path +
             (set && *set ? " (" + var + ")." : "; " + var + "=/dev/ttyUSB0 (for example) puts another device under this name.");
  }
  const auto add = [&advice](const std::string& text) { advice += (advice.empty() ? "" : "\r\n") + text; };
  if (error == EACCES || error == EPERM) {
    add("This user may not open " + path +
        ": serial devices usually belong to the dialout group (sudo usermod -aG dialout $USER, then log in again).");
  } else if (error == ENOENT && com < 0) {
    if (path.find('/') == std::string::npos)
      add("'" + name + "' is neither a virtual sampler (SIM, SIM-...) nor a COM name nor a device path.");
    else
      add("No device " + path + ": is it plugged in? quelm-ports lists the serial devices.");
  } else if (error == EBUSY) {
    add("Another program holds " + path + "; close it (fuser " + path + " names it) and try again.");
  }
  return advice;
}

}  // namespace platform
