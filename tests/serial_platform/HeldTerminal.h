// Pseudo-terminals that stand in for ports another program uses: their whole
// termios state and exclusive flag, and the three ways of holding them (the
// exclusive flag, an flock in another process, a UUCP lock file).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

namespace heldterminal {

// What a port's owner would notice if somebody changed it.
struct TerminalState {
  termios t{};
  int exclusive = -1;

  bool operator==(const TerminalState& o) const {
    return t.c_iflag == o.t.c_iflag && t.c_oflag == o.t.c_oflag && t.c_cflag == o.t.c_cflag &&
           t.c_lflag == o.t.c_lflag && std::memcmp(t.c_cc, o.t.c_cc, sizeof t.c_cc) == 0 &&
           cfgetospeed(&t) == cfgetospeed(&o.t) && cfgetispeed(&t) == cfgetispeed(&o.t) && exclusive == o.exclusive;
  }
};

inline void PrintTo(const TerminalState& s, std::ostream* os) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "iflag=%#o oflag=%#o cflag=%#o lflag=%#o speed=%u VINTR=%d VSTART=%d excl=%d",
                s.t.c_iflag, s.t.c_oflag, s.t.c_cflag, s.t.c_lflag, static_cast<unsigned>(cfgetospeed(&s.t)),
                s.t.c_cc[VINTR], s.t.c_cc[VSTART], s.exclusive);
  *os << buf;
}

// A pseudo-terminal whose slave is the port. The test keeps a plain slave
// descriptor of its own (no flag, no lock), as a program watching the line
// would, to read the exclusive flag.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    slave_ = ptsname(master_);
    observer_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  }
  ~Pty() {
    if (observer_ >= 0) ::close(observer_);
    if (master_ >= 0) ::close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool Ok() const { return observer_ >= 0; }
  const std::string& Slave() const { return slave_; }
  int Master() const { return master_; }
  // The name a UUCP lock file for this port carries.
  std::string LockName() const { return "LCK.." + std::filesystem::path(slave_).filename().string(); }

  // Settings an interactive program might leave: canonical, echoing, 2400
  // baud, two stop bits, software flow control, its own control characters.
  bool GiveOwnerSettings() const {
    termios t{};
    if (tcgetattr(observer_, &t) != 0) return false;
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_cflag |= CSTOPB | HUPCL;
    t.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
    t.c_cc[VINTR] = 0x07;
    t.c_cc[VSTART] = 0x01;
    cfsetspeed(&t, B2400);
    return tcsetattr(observer_, TCSANOW, &t) == 0;
  }
  TerminalState State() const {
    TerminalState s;
    tcgetattr(observer_, &s.t);
    if (ioctl(observer_, TIOCGEXCL, &s.exclusive) != 0) s.exclusive = -1;
    return s;
  }
  // Another program's exclusive flag (set through the test's own descriptor).
  bool SetExclusive(bool on) const { return ioctl(observer_, on ? TIOCEXCL : TIOCNXCL) == 0; }

 private:
  int master_ = -1;
  int observer_ = -1;
  std::string slave_;
};

// Another process: it opens `path` and takes an flock on it (when given one),
// then stays until Release. Its pid also serves as a live lock-file owner.
class OtherProcess {
 public:
  explicit OtherProcess(const std::string& path = std::string()) {
    int ready[2], hold[2];
    if (pipe(ready) != 0) return;
    if (pipe(hold) != 0) {
      ::close(ready[0]);
      ::close(ready[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {  // only async-signal-safe calls from here
      ::close(ready[0]);
      ::close(hold[1]);
      char ok = 'n';
      if (path.empty()) {
        ok = 'y';
      } else {
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ok = 'y';
      }
      if (::write(ready[1], &ok, 1) != 1) _exit(1);
      char c;
      while (::read(hold[0], &c, 1) < 0 && errno == EINTR) {
      }
      _exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    release_ = hold[1];
    pollfd p{ready[0], POLLIN, 0};
    char ok = 0;
    if (pid_ > 0 && poll(&p, 1, 20000) == 1 && ::read(ready[0], &ok, 1) == 1) holding_ = ok == 'y';
    ::close(ready[0]);
  }
  ~OtherProcess() { Release(); }
  OtherProcess(const OtherProcess&) = delete;
  OtherProcess& operator=(const OtherProcess&) = delete;

  bool Holding() const { return holding_; }
  pid_t Pid() const { return pid_; }
  // Ends the process and waits for it: its pid names nobody any more.
  void Release() {
    if (release_ >= 0) ::close(release_);
    release_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    holding_ = false;
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool holding_ = false;
};

// A lock directory of the test's own, in QUELM_LOCKDIR while it lives.
class LockDir {
 public:
  LockDir() {
    char tmpl[] = "/tmp/quelm-lock-XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
    if (!dir_.empty()) setenv("QUELM_LOCKDIR", dir_.c_str(), 1);
  }
  ~LockDir() {
    unsetenv("QUELM_LOCKDIR");
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  LockDir(const LockDir&) = delete;
  LockDir& operator=(const LockDir&) = delete;

  bool Ok() const { return !dir_.empty(); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // A lock file as UUCP programs write it: ten digits and a newline.
  void WriteText(const std::string& name, long pid) const {
    char text[16];
    std::snprintf(text, sizeof text, "%10ld\n", pid);
    std::ofstream(Path(name)) << text;
  }
  // The oldest format: the pid as 4 binary bytes.
  void WriteBinary(const std::string& name, int pid) const {
    std::ofstream(Path(name), std::ios::binary).write(reinterpret_cast<const char*>(&pid), sizeof pid);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }

 private:
  std::string dir_;
};

}  // namespace heldterminal
