// The thread base over std::thread, the Win32 thread handle functions over a
// handle table, and the recursive critical section.
#include "platform/Threads.h"

#include <cassert>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/SysUtils.h"

namespace platform {

namespace {

// Thread handles carry a tag of their own so they never look like a host file
// descriptor or a serial port handle.
constexpr std::uintptr_t kThreadHandleTag = 0x50000000u;

std::atomic<DWORD> gNextThreadId{1};

}  // namespace

namespace {

// What the handle functions see of a thread; TThread::State is this record.
struct ThreadRecord {
  std::mutex mutex;
  std::condition_variable ended;
  std::thread thread;
  bool started = false;   // Resume was called (guarded by mutex)
  bool finished = false;  // Run has returned (guarded by mutex)
  DWORD exitCode = STILL_ACTIVE;
  std::exception_ptr fatal;
  std::string fatalMessage;
  std::atomic<bool> terminated{false};
  std::atomic<bool> startedFlag{false};
  std::atomic<bool> finishedFlag{false};
  DWORD id = 0;
  std::uintptr_t handle = 0;
};

}  // namespace

struct TThread::State : ThreadRecord {};

namespace {

// The live thread objects by handle. A handle whose object is gone is simply
// not found, so a stale handle fails cleanly instead of touching freed memory.
class ThreadTable {
 public:
  static ThreadTable& Instance() {
    static ThreadTable* table = new ThreadTable;  // never destroyed: threads may outlive static teardown
    return *table;
  }
  std::uintptr_t Add(const std::shared_ptr<ThreadRecord>& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uintptr_t h = kThreadHandleTag + (next_++);
    states_[h] = state;
    return h;
  }
  void Remove(std::uintptr_t h) {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.erase(h);
  }
  std::shared_ptr<ThreadRecord> Find(HANDLE h) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = states_.find(reinterpret_cast<std::uintptr_t>(h));
    return it == states_.end() ? nullptr : it->second;
  }

 private:
  std::mutex mutex_;
  std::uintptr_t next_ = 1;
  std::map<std::uintptr_t, std::shared_ptr<ThreadRecord>> states_;
};

thread_local const ThreadRecord* tCurrentState = nullptr;

}  // namespace

TThread::TThread() : state_(std::make_shared<State>()) {
  state_->id = gNextThreadId.fetch_add(1);
  state_->handle = ThreadTable::Instance().Add(state_);
}

TThread::~TThread() {
  // Derived classes should have done this already; see the header.
  TerminateAndWait();
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->thread.joinable()) {
      if (state_->thread.get_id() == std::this_thread::get_id())
        state_->thread.detach();  // freed from its own OnTerminate: Run holds the state alive
      else
        state_->thread.join();
    }
  }
  ThreadTable::Instance().Remove(state_->handle);
}

void TThread::Resume() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->started) return;
  state_->started = true;
  state_->startedFlag.store(true);
  std::shared_ptr<State> keep = state_;
  try {
    state_->thread = std::thread([this, keep] { Run(this); });
  } catch (...) {
    // The system refused a thread: record it as the thread's failure and end it.
    state_->fatal = std::current_exception();
    state_->fatalMessage = "Thread creation failed";
    state_->exitCode = 1;
    state_->finished = true;
    state_->finishedFlag.store(true);
    state_->ended.notify_all();
  }
}

void TThread::Terminate() {
  state_->terminated.store(true);
  TerminateRequested();
}

bool TThread::Terminated() const { return state_->terminated.load(); }

DWORD TThread::WaitFor() {
  if (IsCurrentThread()) return STILL_ACTIVE;  // waiting for oneself would never end
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->ended.wait(lock, [this] { return state_->finished; });
  return state_->exitCode;
}

void TThread::TerminateAndWait() {
  Terminate();
  if (IsCurrentThread()) return;
  Resume();
  WaitFor();
}

bool TThread::Suspended() const { return !state_->startedFlag.load(); }

bool TThread::Finished() const { return state_->finishedFlag.load(); }

HANDLE TThread::Handle() const { return reinterpret_cast<HANDLE>(state_->handle); }

DWORD TThread::ThreadID() const { return state_->id; }

bool TThread::IsCurrentThread() const { return tCurrentState == state_.get(); }

bool TThread::HasFatalException() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->fatal != nullptr;
}

std::string TThread::FatalMessage() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->fatalMessage;
}

std::exception_ptr TThread::FatalException() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->fatal;
}

void TThread::DoTerminate() {
  // A copy: the handler may free this object, and with it OnTerminate.
  auto handler = OnTerminate;
  if (handler) handler(this);
}

// The thread function. Nothing escapes it: an exception from Execute is kept as
// the fatal exception, one from DoTerminate too unless Execute already failed.
void TThread::Run(TThread* self) {
  std::shared_ptr<State> state = self->state_;
  tCurrentState = state.get();
  DWORD exitCode = 0;
  std::exception_ptr fatal;
  if (!state->terminated.load()) {
    try {
      self->Execute();
    } catch (...) {
      fatal = std::current_exception();
    }
  }
  if (fatal) {
    std::string message = ExceptionMessage(fatal);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->fatal = fatal;
    state->fatalMessage = message;
  }
  try {
    self->DoTerminate();
  } catch (...) {
    std::exception_ptr e = std::current_exception();
    std::string message = ExceptionMessage(e);
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->fatal) {
      state->fatal = e;
      state->fatalMessage = message;
    }
  }
  // From here on `self` may be gone (OnTerminate may free the object); only the state is used.
  if (fatal) exitCode = 1;
  std::lock_guard<std::mutex> lock(state->mutex);
  state->exitCode = exitCode;
  state->finished = true;
  state->finishedFlag.store(true);
  tCurrentState = nullptr;
  state->ended.notify_all();
}

struct TCriticalSection::Impl {
  std::recursive_mutex mutex;
};

TCriticalSection::TCriticalSection() : impl_(std::make_unique<Impl>()) {}
TCriticalSection::~TCriticalSection() = default;
void TCriticalSection::Enter() { impl_->mutex.lock(); }
void TCriticalSection::Leave() { impl_->mutex.unlock(); }
bool TCriticalSection::TryEnter() { return impl_->mutex.try_lock(); }

}  // namespace platform

using platform::TThread;

extern "C" __attribute__((visibility("default"))) BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  if (exitCode == nullptr) {
    SetLastError(EINVAL);
    return FALSE;
  }
  auto state = platform::ThreadTable::Instance().Find(thread);
  if (!state) {
    SetLastError(EBADF);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(state->mutex);
  *exitCode = state->exitCode;
  return TRUE;
}

extern "C" __attribute__((visibility("default"))) DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto state = platform::ThreadTable::Instance().Find(handle);
  if (!state) {
    SetLastError(EBADF);
    return WAIT_FAILED;
  }
  if (platform::tCurrentState == state.get()) return WAIT_TIMEOUT;  // a thread never ends while waiting for itself
  std::unique_lock<std::mutex> lock(state->mutex);
  auto done = [&] { return state->finished; };
  if (milliseconds == INFINITE) {
    state->ended.wait(lock, done);
    return WAIT_OBJECT_0;
  }
  return state->ended.wait_for(lock, std::chrono::milliseconds(milliseconds), done) ? WAIT_OBJECT_0
                                                                                     : WAIT_TIMEOUT;
}
