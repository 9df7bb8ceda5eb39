// Console control handlers: run off the signal handler, the one added last
// first, and a handler that handles the event keeps the process alive.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Console.h"

namespace {

std::atomic<int> gOrder{0};
std::atomic<int> gFirstSeen{0}, gSecondSeen{0};
std::atomic<DWORD> gEvent{0xFFFF};

BOOL Handles(DWORD event) {
  gEvent = event;
  gFirstSeen = ++gOrder;
  return TRUE;
}

BOOL PassesOn(DWORD) {
  gSecondSeen = ++gOrder;
  return FALSE;
}

bool AwaitTrue(const std::atomic<int>& flag) {
  for (int i = 0; i < 2000 && flag.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return flag.load() != 0;
}

TEST(ConsoleControl, LastAddedRunsFirstAndAHandledEventKeepsTheProcess) {
  ASSERT_TRUE(SetConsoleCtrlHandler(Handles, TRUE));
  ASSERT_TRUE(SetConsoleCtrlHandler(PassesOn, TRUE));
  raise(SIGINT);
  ASSERT_TRUE(AwaitTrue(gFirstSeen));
  EXPECT_EQ(gSecondSeen.load(), 1);  // added last, asked first, passed the event on
  EXPECT_EQ(gFirstSeen.load(), 2);
  EXPECT_EQ(gEvent.load(), CTRL_C_EVENT);

  gOrder = 0;
  gFirstSeen = 0;
  gSecondSeen = 0;
  raise(SIGTERM);  // a later event is dispatched again
  ASSERT_TRUE(AwaitTrue(gFirstSeen));
  EXPECT_EQ(gEvent.load(), CTRL_SHUTDOWN_EVENT);

  EXPECT_TRUE(SetConsoleCtrlHandler(PassesOn, FALSE));
  EXPECT_TRUE(SetConsoleCtrlHandler(Handles, FALSE));
  EXPECT_FALSE(SetConsoleCtrlHandler(Handles, FALSE));  // no longer registered
}

TEST(ConsoleControl, StandardHandles) {
  EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), reinterpret_cast<HANDLE>(1));
  EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), reinterpret_cast<HANDLE>(2));
  EXPECT_EQ(GetStdHandle(7), INVALID_HANDLE_VALUE);
}

}  // namespace
