// Ports that belong to somebody else: a held port is refused with EBUSY before
// anything on it changes, and a port we open gets its owner's settings back.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "HeldTerminal.h"
#include "platform/posix/SerialTermiosLock.h"
#include "platform/WinSerial.h"

namespace {

using heldterminal::LockDir;
using heldterminal::OtherProcess;
using heldterminal::Pty;
using heldterminal::TerminalState;

HANDLE Open(const std::string& name) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class HeldPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Ok());
    ASSERT_TRUE(lockDir_.Ok());
    ASSERT_TRUE(pty_.GiveOwnerSettings());
  }
  // The open fails with the busy error and leaves the port as it was.
  void ExpectRefusedUntouched(const char* why) {
    const TerminalState before = pty_.State();
    SetLastError(0);
    HANDLE h = Open(pty_.Slave());
    EXPECT_EQ(h, INVALID_HANDLE_VALUE) << why;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBUSY)) << why;
    EXPECT_EQ(pty_.State(), before) << why;
  }
  // The port opens (so a refusal above was the holder's doing).
  void ExpectOpens(const char* why) {
    HANDLE h = Open(pty_.Slave());
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << why << ": " << GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }

  Pty pty_;
  LockDir lockDir_;
};

// Root passes TIOCEXCL at open(); the flag must be read, not relied on.
TEST_F(HeldPort, AnotherDescriptorsExclusiveFlagRefusesTheOpen) {
  ASSERT_TRUE(pty_.SetExclusive(true));
  ExpectRefusedUntouched("exclusive flag");
  EXPECT_EQ(pty_.State().exclusive, 1) << "the holder's flag stays";
  ASSERT_TRUE(pty_.SetExclusive(false));
  ExpectOpens("flag cleared");
}

TEST_F(HeldPort, AnFlockOfAnotherProcessOrOpenRefusesTheOpen) {
  {
    OtherProcess holder(pty_.Slave());
    ASSERT_TRUE(holder.Holding());
    ExpectRefusedUntouched("flock of another process");
    holder.Release();
    ExpectOpens("the other process ended");
  }
  // flock belongs to an open file description: one of this process counts too.
  int fd = open(pty_.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  ExpectRefusedUntouched("flock of another open");
  close(fd);
  ExpectOpens("the other open closed");
}

TEST_F(HeldPort, ALockFileOfALiveProcessRefusesTheOpenAStaleOneDoesNot) {
  const std::string lock = pty_.LockName();
  OtherProcess other;
  ASSERT_TRUE(other.Holding());
  lockDir_.WriteText(lock, other.Pid());
  ExpectRefusedUntouched("text lock file");
  lockDir_.WriteBinary(lock, other.Pid());
  ExpectRefusedUntouched("binary lock file");

  // A lock file of this very process holds nothing against it.
  lockDir_.WriteText(lock, getpid());
  ExpectOpens("own lock file");

  other.Release();  // its pid now names no process
  lockDir_.WriteText(lock, other.Pid());
  HANDLE h = Open(pty_.Slave());
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << "stale lock file: " << GetLastError();
  // The stale file is replaced by ours while the port is open, and removed at close.
  EXPECT_EQ(platform::LockFilePid(lockDir_.Read(lock).data(), lockDir_.Read(lock).size()), getpid());
  CloseHandle(h);
  EXPECT_FALSE(lockDir_.Exists(lock));
}

TEST_F(HeldPort, CloseGivesBackTheSettingsTheTerminalHad) {
  const TerminalState before = pty_.State();
  ASSERT_EQ(before.exclusive, 0);
  HANDLE h = Open(pty_.Slave());
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  TerminalState opened = before;
  opened.exclusive = 1;
  EXPECT_EQ(pty_.State(), opened) << "an open alone changes nothing but the flag";

  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = 250000;  // not a standard rate: termios2
  dcb.StopBits = ONESTOPBIT;
  dcb.Flags = (dcb.Flags & ~DCB_fRtsControl) | (RTS_CONTROL_HANDSHAKE << 12) | DCB_fInX;
  ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, "?\r", 2, &written, nullptr));
  TerminalState during = pty_.State();
  EXPECT_FALSE(during.t.c_lflag & (ICANON | ECHO)) << "raw while in use";
  EXPECT_EQ(during.exclusive, 1);
  EXPECT_NE(during, before);

  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(pty_.State(), before);
  ExpectOpens("closed and reopened");
  EXPECT_EQ(pty_.State(), before);
}

TEST(LockFilePid, ReadsBothFormatsAndRejectsWhatNamesNoProcess) {
  using platform::LockFilePid;
  EXPECT_EQ(LockFilePid("     12345\n", 11), 12345);
  EXPECT_EQ(LockFilePid("77", 2), 77);
  EXPECT_EQ(LockFilePid("4321", 4), 4321) << "four digits are text, not binary";
  int binary = 0x01020304;
  EXPECT_EQ(LockFilePid(reinterpret_cast<const char*>(&binary), 4), 0x01020304);
  EXPECT_EQ(LockFilePid("", 0), 0);
  EXPECT_EQ(LockFilePid("\n", 1), 0);
  EXPECT_EQ(LockFilePid("locked", 6), 0);
  EXPECT_EQ(LockFilePid("99999999999\n", 12), 0);
  int negative = -5;
  EXPECT_EQ(LockFilePid(reinterpret_cast<const char*>(&negative), 4), 0);
}

}  // namespace
