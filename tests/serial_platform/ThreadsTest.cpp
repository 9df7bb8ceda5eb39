// The thread base and the Win32 thread handle functions: start, end, the end
// handler, kept failures, destruction in every state, stale handles.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <thread>

#include "platform/SysUtils.h"
#include "platform/Threads.h"

namespace {

using platform::TThread;

// Runs a body until terminated, or once when `loop` is off.
class TestThread : public TThread {
 public:
  explicit TestThread(std::function<void(TestThread&)> body = nullptr, bool loop = false)
      : body_(std::move(body)), loop_(loop) {}
  ~TestThread() override { TerminateAndWait(); }
  std::atomic<int> executed{0};
  std::atomic<int> doTerminates{0};
  std::atomic<bool> terminateOnOwnThread{false};

 protected:
  void Execute() override {
    ++executed;
    do {
      if (body_) body_(*this);
      if (loop_) Sleep(1);
    } while (loop_ && !Terminated());
  }
  void DoTerminate() override {
    ++doTerminates;
    terminateOnOwnThread = IsCurrentThread();
    TThread::DoTerminate();
  }

 private:
  std::function<void(TestThread&)> body_;
  bool loop_;
};

TEST(Threads, StartsSuspendedRunsOnResumeAndReportsItsEnd) {
  TestThread t;
  EXPECT_TRUE(t.Suspended());
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t.Handle(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t.Handle(), 20), WAIT_TIMEOUT);
  EXPECT_EQ(t.executed.load(), 0);

  t.Resume();
  EXPECT_EQ(t.WaitFor(), 0u);
  EXPECT_TRUE(t.Finished());
  EXPECT_FALSE(t.Suspended());
  EXPECT_EQ(t.executed.load(), 1);
  EXPECT_EQ(t.doTerminates.load(), 1);
  EXPECT_TRUE(t.terminateOnOwnThread.load());
  ASSERT_TRUE(GetExitCodeThread(t.Handle(), &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(WaitForSingleObject(t.Handle(), 0), WAIT_OBJECT_0);
  EXPECT_FALSE(t.HasFatalException());
}

TEST(Threads, WaitTimesOutWhileRunningAndTerminateEndsTheLoop) {
  TestThread t(nullptr, true);
  t.Resume();
  EXPECT_EQ(WaitForSingleObject(t.Handle(), 30), WAIT_TIMEOUT);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t.Handle(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  t.Terminate();
  EXPECT_EQ(WaitForSingleObject(t.Handle(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(t.Terminated());
}

TEST(Threads, OnTerminateRunsOnTheThreadItselfAfterExecute) {
  std::atomic<bool> onOwnThread{false};
  std::atomic<int> executedBefore{-1};
  TestThread t;
  t.OnTerminate = [&](TThread* sender) {
    onOwnThread = sender->IsCurrentThread();
    executedBefore = t.executed.load();
  };
  t.Resume();
  t.WaitFor();
  EXPECT_TRUE(onOwnThread.load());
  EXPECT_EQ(executedBefore.load(), 1);
  EXPECT_FALSE(t.IsCurrentThread());
}

TEST(Threads, KeepsTheFatalExceptionOfEveryKind) {
  struct Case {
    std::function<void(TestThread&)> body;
    const char* message;
  };
  Case cases[] = {
      {[](TestThread&) { throw platform::Exception("Line is dead"); }, "Line is dead"},
      {[](TestThread&) { throw std::runtime_error("plain failure"); }, "plain failure"},
      {[](TestThread&) { throw 42; }, "Unknown exception"},
  };
  for (auto& c : cases) {
    std::atomic<bool> handlerSawIt{false};
    TestThread t(c.body);
    t.OnTerminate = [&](TThread* sender) { handlerSawIt = sender->HasFatalException(); };
    t.Resume();
    EXPECT_NE(t.WaitFor(), 0u);
    EXPECT_TRUE(t.HasFatalException());
    EXPECT_EQ(t.FatalMessage(), c.message);
    EXPECT_TRUE(t.FatalException() != nullptr);
    EXPECT_TRUE(handlerSawIt.load()) << c.message;
    EXPECT_EQ(t.doTerminates.load(), 1);
  }
}

TEST(Threads, AnExceptionFromTheEndHandlerIsKeptToo) {
  TestThread t;
  t.OnTerminate = [](TThread*) { throw std::runtime_error("handler failed"); };
  t.Resume();
  t.WaitFor();
  EXPECT_EQ(t.FatalMessage(), "handler failed");
}

TEST(Threads, TerminatedBeforeStartSkipsExecuteButRunsDoTerminate) {
  {
    TestThread t;
    t.Terminate();
    t.Resume();
    t.WaitFor();
    EXPECT_EQ(t.executed.load(), 0);
    EXPECT_EQ(t.doTerminates.load(), 1);
  }
  std::atomic<int> handlerRuns{0};
  {
    TestThread never;
    never.OnTerminate = [&](TThread*) { ++handlerRuns; };
    // Destroyed without ever being resumed.
  }
  EXPECT_EQ(handlerRuns.load(), 1);
}

TEST(Threads, DestroyingARunningThreadTerminatesAndWaitsForIt) {
  std::atomic<bool> ended{false};
  {
    TestThread t(nullptr, true);
    t.OnTerminate = [&](TThread*) { ended = true; };
    t.Resume();
    Sleep(5);
  }
  EXPECT_TRUE(ended.load());
}

TEST(Threads, AStaleHandleFailsCleanly) {
  HANDLE h;
  {
    TestThread t;
    t.Resume();
    t.WaitFor();
    h = t.Handle();
  }
  DWORD code = 12345;
  SetLastError(0);
  EXPECT_FALSE(GetExitCodeThread(h, &code));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
  EXPECT_EQ(code, 12345u);
  EXPECT_EQ(WaitForSingleObject(h, 10), WAIT_FAILED);
  EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
}

TEST(Threads, HandlesAndIdsAreDistinct) {
  TestThread a, b;
  EXPECT_NE(a.Handle(), b.Handle());
  EXPECT_NE(a.ThreadID(), b.ThreadID());
  EXPECT_NE(a.Handle(), INVALID_HANDLE_VALUE);
}

TEST(Threads, AThreadMayFreeItselfFromItsEndHandler) {
  std::atomic<bool> freed{false};
  auto* t = new TestThread;
  t->OnTerminate = [&](TThread* sender) {
    delete static_cast<TestThread*>(sender);
    freed = true;
  };
  t->Resume();
  for (int i = 0; i < 2000 && !freed.load(); ++i) Sleep(1);
  EXPECT_TRUE(freed.load());
}

TEST(Threads, WaitingForItselfDoesNotHang) {
  std::atomic<DWORD> waited{0};
  std::atomic<DWORD> single{0};
  TestThread t([&](TestThread& self) {
    waited = self.WaitFor();
    single = WaitForSingleObject(self.Handle(), INFINITE);
  });
  t.Resume();
  t.WaitFor();
  EXPECT_EQ(waited.load(), STILL_ACTIVE);
  EXPECT_EQ(single.load(), WAIT_TIMEOUT);
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
  platform::TCriticalSection cs;
  cs.Enter();
  cs.Enter();
  bool otherGot = true;
  std::thread([&] { otherGot = cs.TryEnter(); }).join();
  EXPECT_FALSE(otherGot);
  cs.Leave();
  cs.Leave();
  std::thread([&] {
    otherGot = cs.TryEnter();
    if (otherGot) cs.Leave();
  }).join();
  EXPECT_TRUE(otherGot);
}

TEST(Clock, TickCountAdvancesWithSleep) {
  DWORD start = GetTickCount();
  Sleep(20);
  EXPECT_GE(GetTickCount() - start, 20u);
}

}  // namespace
