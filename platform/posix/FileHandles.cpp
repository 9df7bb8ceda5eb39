// WriteFile, ReadFile and CloseHandle on host file descriptors, written so that
// a reader that has gone away is an error (EPIPE), never a SIGPIPE in the host.
#include "platform/FileHandles.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace platform {

namespace {

// Set on threads that keep SIGPIPE blocked: a SIGPIPE their writes raise stays
// pending on the thread, harmless, and goes with it.
thread_local bool tSigpipeBlocked = false;

// Blocks SIGPIPE for this thread while a write runs; a SIGPIPE the write raised
// is consumed before the old mask returns, unless one was pending already.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    if (tSigpipeBlocked) return;
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    blocked_ = pthread_sigmask(SIG_BLOCK, &block, &old_) == 0;
  }
  ~SigpipeGuard() {
    if (!blocked_) return;
    if (raised_ && !wasPending_) Consume();
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  void NoteEpipe() { raised_ = true; }

 private:
  static void Consume() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    timespec zero{0, 0};
    int saved = errno;
    while (sigtimedwait(&set, nullptr, &zero) == -1 && errno == EINTR) {
    }
    errno = saved;
  }
  sigset_t old_;
  bool blocked_ = false;
  bool wasPending_ = false;
  bool raised_ = false;
};

}  // namespace

void KeepSigpipeBlockedOnThisThread() {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGPIPE);
  tSigpipeBlocked = pthread_sigmask(SIG_BLOCK, &block, nullptr) == 0;
}

BOOL WriteHostFile(int fd, const void* buffer, DWORD toWrite, DWORD* written) {
  SigpipeGuard guard;
  const char* p = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < toWrite) {
    ssize_t n = ::write(fd, p + done, toWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EPIPE) guard.NoteEpipe();
      *written = done;
      SetLastError(static_cast<DWORD>(errno));
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  *written = done;
  return TRUE;
}


// A pipe that polls writable has a free page, so a write of at most this much
// cannot block even on a blocking descriptor.
constexpr DWORD kNoWaitWriteLimit = 4096;

// One write of at most a page: on a descriptor that polled writable or cannot
// block it never waits; EAGAIN is "takes nothing now".
static BOOL WriteOnce(int fd, const void* buffer, DWORD toWrite, DWORD* written) {
  SigpipeGuard guard;
  for (;;) {
    const ssize_t n = ::write(fd, buffer, std::min(toWrite, kNoWaitWriteLimit));
    if (n >= 0) {
      *written = static_cast<DWORD>(n);
      return TRUE;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return TRUE;
    if (errno == EPIPE) guard.NoteEpipe();
    SetLastError(static_cast<DWORD>(errno));
    return FALSE;
  }
}

NoWaitOutput BeginNoWaitOutput(int fd) {
  NoWaitOutput out;
  out.fd = fd;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return out;  // the first write reports what is wrong
  if (S_ISREG(info.st_mode)) {
    out.pollFirst = false;
  } else if (S_ISFIFO(info.st_mode)) {
    // Opening the pipe again through /proc gives a description of our own whose
    // O_NONBLOCK changes nothing for the host. Without /proc, poll stays.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (own >= 0) {
      out.fd = own;
      out.pollFirst = false;
      out.ownFd = true;
    }
  }
  return out;
}

void EndNoWaitOutput(const NoWaitOutput& output) {
  if (output.ownFd) ::close(output.fd);
}

BOOL WriteHostFileNoWait(int fd, const void* buffer, DWORD toWrite, DWORD* written, bool pollFirst) {
  *written = 0;
  if (toWrite == 0) return TRUE;
  if (!pollFirst) return WriteOnce(fd, buffer, toWrite, written);
  pollfd p{fd, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    SetLastError(static_cast<DWORD>(errno));
    return FALSE;
  }
  if (ready == 0) return TRUE;
  if ((p.revents & POLLNVAL) != 0) {
    SetLastError(EBADF);
    return FALSE;
  }
  // POLLERR/POLLHUP fall through to the write, which then says what is wrong.
  return WriteOnce(fd, buffer, toWrite, written);
}


BOOL WaitHostFilesWritable(const int* fds, DWORD count, DWORD milliseconds) {
  std::vector<pollfd> polls;
  polls.reserve(count);
  for (DWORD i = 0; i < count; ++i)
    if (fds[i] >= 0) polls.push_back(pollfd{fds[i], POLLOUT, 0});
  const int timeout = static_cast<int>(std::min<DWORD>(milliseconds, 0x7FFFFFFF));
  const int ready = ::poll(polls.data(), polls.size(), timeout);
  if (ready > 0) return TRUE;
  if (ready < 0 && errno != EINTR) SetLastError(static_cast<DWORD>(errno));
  return FALSE;  // timed out, or a signal cut the wait short: the caller loops anyway
}

BOOL CreateHostPipe(int& readFd, int& writeFd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    SetLastError(static_cast<DWORD>(errno));
    return FALSE;
  }
  readFd = fds[0];
  writeFd = fds[1];
  return TRUE;
}

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

BOOL ReadHostFile(int fd, void* buffer, DWORD toRead, DWORD* read) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, toRead);
    if (n >= 0) {
      *read = static_cast<DWORD>(n);
      return TRUE;
    }
    if (errno == EINTR) continue;
    *read = 0;
    SetLastError(static_cast<DWORD>(errno));
    return FALSE;
  }
}

BOOL CloseHostFile(int fd) {
  // After EINTR the descriptor is gone on Linux; retrying could close another one.
  if (::close(fd) == 0 || errno == EINTR) return TRUE;
  SetLastError(static_cast<DWORD>(errno));
  return FALSE;
}

}  // namespace platform
