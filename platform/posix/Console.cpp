// Console control handlers over SIGINT, SIGTERM and SIGHUP, and the standard
// handles. The signal handler only writes the signal number to a pipe; a
// watcher thread runs the handlers and then, unless one handled the event,
// lets the signal's default action end the process.
#include "platform/Console.h"
#include "platform/Trace.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);
constexpr unsigned char kStopWatcher = 0;

// Read by the signal handler: only lock-free atomics.
std::atomic<int> gSignalPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

DWORD ControlEventOf(int sig) {
  switch (sig) {
    case SIGINT:
      return CTRL_C_EVENT;
    case SIGHUP:
      return CTRL_CLOSE_EVENT;
    default:
      return CTRL_SHUTDOWN_EVENT;
  }
}

// Ends the process the way the signal would have without our handler.
[[noreturn]] void DefaultAction(int sig) {
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);  // only if the default action did not end us
}

// Async-signal-safe; never blocks (the pipe's write end is non-blocking). An
// event the watcher cannot be told of goes straight to the default action.
void OnSignal(int sig) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(sig);
  const int fd = gSignalPipe.load();
  if (fd < 0 || write(fd, &byte, 1) != 1) {
    signal(sig, SIG_DFL);
    raise(sig);  // delivered once this handler returns
  }
  errno = saved;
}

class Dispatcher {
 public:
  static Dispatcher& Instance() {
    static Dispatcher* d = new Dispatcher;  // never destroyed: a signal may come during exit
    return *d;
  }

  BOOL Add(PHANDLER_ROUTINE handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handler == nullptr) {
      ignoreCtrlC_ = true;
      return TRUE;
    }
    if (!StartLocked()) return FALSE;
    handlers_.push_back(handler);
    return TRUE;
  }

  BOOL Remove(PHANDLER_ROUTINE handler) {
    std::thread finished;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (handler == nullptr) {
        ignoreCtrlC_ = false;
        return TRUE;
      }
      auto it = std::find(handlers_.rbegin(), handlers_.rend(), handler);
      if (it == handlers_.rend()) {
        SetLastError(EINVAL);
        return FALSE;
      }
      handlers_.erase(std::next(it).base());
      if (handlers_.empty()) finished = StopLocked();
    }
    if (finished.joinable()) {
      if (finished.get_id() == std::this_thread::get_id())
        finished.detach();  // a handler removed itself; the watcher ends after it returns
      else
        finished.join();
    }
    return TRUE;
  }

 private:
  bool StartLocked() {
    if (watcher_.joinable()) return true;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      SetLastError(static_cast<DWORD>(errno));
      return false;
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
    fcntl(writeFd_, F_SETFL, fcntl(writeFd_, F_GETFL) | O_NONBLOCK);
    try {
      watcher_ = std::thread([this, fd = readFd_] { Watch(fd); });
    } catch (...) {
      close(readFd_);
      close(writeFd_);
      SetLastError(EAGAIN);
      return false;
    }
    gSignalPipe.store(writeFd_);
    InstallSignals();
    return true;
  }

  // Hands the watcher back to the caller to join outside the lock.
  std::thread StopLocked() {
    RestoreSignals();
    gSignalPipe.store(-1);
    const unsigned char stop = kStopWatcher;
    while (write(writeFd_, &stop, 1) < 0 && errno == EINTR) {
    }
    close(writeFd_);  // the watcher also ends at end of file, should the byte not fit
    writeFd_ = -1;
    return std::move(watcher_);
  }

  void InstallSignals() {
    for (size_t i = 0; i < kSignalCount; ++i) {
      installed_[i] = false;
      struct sigaction now {};
      if (sigaction(kSignals[i], nullptr, &now) != 0) continue;
      if (now.sa_handler == SIG_IGN) continue;  // started with the signal ignored: keep it so
      struct sigaction act {};
      act.sa_handler = OnSignal;
      sigemptyset(&act.sa_mask);
      act.sa_flags = SA_RESTART;
      installed_[i] = sigaction(kSignals[i], &act, &previous_[i]) == 0;
    }
  }

  void RestoreSignals() {
    for (size_t i = 0; i < kSignalCount; ++i)
      if (installed_[i]) sigaction(kSignals[i], &previous_[i], nullptr);
  }

  void Watch(int fd) {
    for (;;) {
      unsigned char byte = 0;
      const ssize_t n = read(fd, &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || byte == kStopWatcher) break;
      if (!Dispatch(ControlEventOf(byte))) DefaultAction(byte);
    }
    close(fd);
  }

  // The handlers, the one added last first; true when one handled the event.
  bool Dispatch(DWORD event) {
    std::vector<PHANDLER_ROUTINE> handlers;
    bool ignore = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handlers = handlers_;
      ignore = ignoreCtrlC_ && event == CTRL_C_EVENT;
    }
    if (ignore) return true;
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
      try {
        if ((*it)(event)) return true;
      } catch (...) {
        // A failing handler counts as not handling the event.
        TraceDropped("a console control handler");
      }
    }
    return false;
  }

  std::mutex mutex_;
  std::vector<PHANDLER_ROUTINE> handlers_;
  bool ignoreCtrlC_ = false;
  std::thread watcher_;
  int readFd_ = -1;
  int writeFd_ = -1;
  struct sigaction previous_[kSignalCount] {};
  bool installed_[kSignalCount] = {};
};

}  // namespace

void ReserveStandardHandles() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int filler = open("/dev/null", O_RDONLY);
    if (filler >= 0 && filler != fd) {
      dup2(filler, fd);
      close(filler);
    }
  }
}

}  // namespace platform

extern "C" __attribute__((visibility("default"))) BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  try {
    auto& d = platform::Dispatcher::Instance();
    return add ? d.Add(handler) : d.Remove(handler);
  } catch (...) {
    SetLastError(ENOMEM);
    return FALSE;
  }
}

extern "C" __attribute__((visibility("default"))) HANDLE GetStdHandle(DWORD stdHandle) {
  int fd = -1;
  if (stdHandle == STD_INPUT_HANDLE) fd = 0;
  if (stdHandle == STD_OUTPUT_HANDLE) fd = 1;
  if (stdHandle == STD_ERROR_HANDLE) fd = 2;
  if (fd < 0) {
    SetLastError(EINVAL);
    return INVALID_HANDLE_VALUE;
  }
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}
