// WriteFile, ReadFile and CloseHandle on host file descriptors, written so that
// a reader that has gone away is an error (EPIPE), never a SIGPIPE in the host.
#include "platform/FileHandles.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

// Blocks SIGPIPE for this thread while a write runs; a SIGPIPE the write raised
// is consumed before the old mask returns, unless one was pending already.
class SigpipeGuard {
 public:
  SigpipeGuard() {
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
