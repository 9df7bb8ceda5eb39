// The thread base the reading threads derive from, with the Win32 thread and
// wait functions and a critical section.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/WinTypes.h"

extern "C" {
// Works on handles from TThread::Handle().
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
}

namespace platform {

// A thread created suspended: configure it, then Resume. Execute runs unless the
// thread was terminated before it started; DoTerminate (and with it OnTerminate)
// runs on the thread itself in either case. An exception escaping Execute is
// kept as the fatal exception for the owner to read.
//
// A derived class must call TerminateAndWait() first thing in its own
// destructor (the base cannot do it safely once the derived part is gone); the
// base destructor does it again for classes that forgot, as a last resort.
class TThread {
 public:
  TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  virtual ~TThread();

  void Resume();
  void Terminate();  // sets the flag Execute polls
  bool Terminated() const;
  DWORD WaitFor();   // blocks until the thread has ended; returns its exit code
  // Ends the thread whatever its state: terminates, resumes a never-started one, waits.
  void TerminateAndWait();
  bool Suspended() const;
  bool Finished() const;

  HANDLE Handle() const;
  DWORD ThreadID() const;
  bool IsCurrentThread() const;

  // The end-of-thread handler; called on the thread itself after DoTerminate's own work.
  std::function<void(TThread* sender)> OnTerminate;

  // Set once the thread has ended with an exception; valid until the object goes.
  bool HasFatalException() const;
  std::string FatalMessage() const;
  std::exception_ptr FatalException() const;

 protected:
  virtual void Execute() = 0;
  virtual void DoTerminate();  // default: call OnTerminate
  // Called by Terminate, on the caller's thread, once the flag is set: a thread
  // blocked in a wait of its own ends that wait here. Must not throw.
  virtual void TerminateRequested() noexcept {}

 private:
  struct State;
  std::shared_ptr<State> state_;
  static void Run(TThread* self);
};

// A Win32-style critical section (recursive, like the original).
class TCriticalSection {
 public:
  TCriticalSection();
  ~TCriticalSection();
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;
  void Enter();
  void Leave();
  bool TryEnter();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class TCriticalSectionLock {
 public:
  explicit TCriticalSectionLock(TCriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~TCriticalSectionLock() { cs_.Leave(); }
  TCriticalSectionLock(const TCriticalSectionLock&) = delete;
  TCriticalSectionLock& operator=(const TCriticalSectionLock&) = delete;

 private:
  TCriticalSection& cs_;
};

}  // namespace platform
