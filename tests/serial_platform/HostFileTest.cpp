// WriteFile, ReadFile and CloseHandle on host descriptors: whole writes through
// a pipe, a vanished reader as EPIPE without SIGPIPE, and closing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/WinSerial.h"
#include "tests/support/TempDir.h"

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

namespace {

// Fills a pipe through `h` until it takes nothing more; the bytes it took.
size_t FillUntilFull(HANDLE h, BOOL pollFirst) {
  const std::string block(4096, 'x');
  size_t total = 0;
  for (;;) {
    DWORD written = 0;
    if (!platform::WriteFileNoWait(h, block.data(), static_cast<DWORD>(block.size()), &written, pollFirst)) return total;
    if (written == 0) return total;
    total += written;
  }
}

}  // namespace

TEST(HostFiles, ANoWaitOutputOnAPipeNeverBlocksAndLeavesTheHostsFlagsAlone) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const platform::NoWaitHandle out = platform::BeginNoWaitOutput(AsHandle(fds[1]));
  ASSERT_TRUE(out.own);
  EXPECT_FALSE(out.pollFirst);
  EXPECT_NE(out.handle, AsHandle(fds[1]));
  // Without a poll before each write, a full pipe still takes nothing rather than blocking.
  EXPECT_GE(FillUntilFull(out.handle, out.pollFirst), 4096u);
  EXPECT_EQ(fcntl(fds[1], F_GETFL) & O_NONBLOCK, 0) << "the host's description must stay blocking";
  // The reader sees the bytes, and EOF only once both the host's end and ours are closed.
  char buf[65536];
  EXPECT_GT(read(fds[0], buf, sizeof buf), 0);
  close(fds[1]);
  platform::EndNoWaitOutput(out);
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) {
  }
  EXPECT_EQ(n, 0);
  // A reader that has gone away is EPIPE, not a signal.
  ASSERT_EQ(pipe(fds), 0);
  const platform::NoWaitHandle gone = platform::BeginNoWaitOutput(AsHandle(fds[1]));
  close(fds[0]);
  DWORD written = 0;
  EXPECT_FALSE(platform::WriteFileNoWait(gone.handle, "ab", 2, &written, gone.pollFirst));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EPIPE));
  platform::EndNoWaitOutput(gone);
  close(fds[1]);
}

TEST(HostFiles, ANoWaitOutputOnAFileWritesDirectlyAndASocketKeepsThePoll) {
  const std::string path = testsupport::ScratchFile("quelm_nowait_test.bin");
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  const platform::NoWaitHandle f = platform::BeginNoWaitOutput(AsHandle(file));
  EXPECT_FALSE(f.own);
  EXPECT_FALSE(f.pollFirst);
  DWORD written = 0;
  EXPECT_TRUE(platform::WriteFileNoWait(f.handle, "abc", 3, &written, f.pollFirst));
  EXPECT_EQ(written, 3u);
  platform::EndNoWaitOutput(f);
  EXPECT_EQ(lseek(file, 0, SEEK_CUR), 3) << "the host's file position moves with our writes";
  close(file);
  unlink(path.c_str());

  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const platform::NoWaitHandle s = platform::BeginNoWaitOutput(AsHandle(pair[0]));
  EXPECT_TRUE(s.pollFirst);
  EXPECT_FALSE(s.own);
  EXPECT_GT(FillUntilFull(s.handle, s.pollFirst), 0u);  // ends when full instead of blocking
  platform::EndNoWaitOutput(s);
  close(pair[0]);
  close(pair[1]);
}

TEST(HostFiles, AThreadThatKeepsSigpipeBlockedWritesWithoutAGuardAndOthersAreUntouched) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  DWORD error = 0;
  bool blocked = false;
  std::thread writer([&] {
    platform::KeepSigpipeBlocked();
    DWORD written = 0;
    for (int i = 0; i < 3; ++i)  // a pending SIGPIPE stays harmless on later writes
      if (!platform::WriteFileNoWait(AsHandle(fds[1]), "ab", 2, &written, FALSE)) error = GetLastError();
    sigset_t now;
    pthread_sigmask(SIG_BLOCK, nullptr, &now);
    blocked = sigismember(&now, SIGPIPE) == 1;
  });
  writer.join();
  EXPECT_EQ(error, static_cast<DWORD>(EPIPE));
  EXPECT_TRUE(blocked);
  sigset_t mine;
  pthread_sigmask(SIG_BLOCK, nullptr, &mine);
  EXPECT_EQ(sigismember(&mine, SIGPIPE), 0) << "only the library's own thread keeps it blocked";
  close(fds[1]);
}
