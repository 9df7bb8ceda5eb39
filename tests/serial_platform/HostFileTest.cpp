// WriteFile, ReadFile and CloseHandle on host descriptors: whole writes through
// a pipe, a vanished reader as EPIPE without SIGPIPE, and closing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/WinSerial.h"

namespace {

HANDLE AsHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd)); }

TEST(HostFiles, ALargeWriteReachesThePipeWhole) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(AsHandle(fds[0]), buf, sizeof buf, &n, nullptr) && n > 0) got.append(buf, n);
  });
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(AsHandle(fds[1]), data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
  EXPECT_EQ(written, data.size());
  EXPECT_TRUE(CloseHandle(AsHandle(fds[1])));
  reader.join();
  EXPECT_EQ(got, data);
  EXPECT_TRUE(CloseHandle(AsHandle(fds[0])));
  EXPECT_FALSE(CloseHandle(AsHandle(fds[0])));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
}

TEST(HostFiles, AWriteToAPipeWithoutReaderFailsWithEpipeAndNoSignal) {
  // With the default action a SIGPIPE would end this test process.
  struct sigaction old{};
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  DWORD written = 99;
  SetLastError(0);
  EXPECT_FALSE(WriteFile(AsHandle(fds[1]), "data", 4, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EPIPE));
  EXPECT_EQ(written, 0u);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  close(fds[1]);
  sigaction(SIGPIPE, &old, nullptr);
}

TEST(HostFiles, ASocketWithoutPeerFailsWithEpipeAndNoSignal) {
  struct sigaction old{};
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  close(sv[1]);
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(AsHandle(sv[0]), "data", 4, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EPIPE));
  EXPECT_TRUE(CloseHandle(AsHandle(sv[0])));
  sigaction(SIGPIPE, &old, nullptr);
}

TEST(HostFiles, InvalidHandlesAndArgumentsAreRefused) {
  DWORD n = 0;
  EXPECT_FALSE(WriteFile(INVALID_HANDLE_VALUE, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
  EXPECT_FALSE(WriteFile(AsHandle(1), nullptr, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
  EXPECT_FALSE(WriteFile(AsHandle(1), "x", 1, nullptr, nullptr));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

}  // namespace
