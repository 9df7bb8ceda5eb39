// The terminal backend through a real pseudo-terminal pair; the test plays the
// device on the master side.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "PtyBaud.h"
#include "platform/Clock.h"
#include "platform/WinSerial.h"

namespace {

class TerminalPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    path_ = ptsname(master_);
    h_ = Open(path_.c_str());
    ASSERT_NE(h_, INVALID_HANDLE_VALUE) << GetLastError();
  }
  void TearDown() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    if (master_ >= 0) close(master_);
  }
  static HANDLE Open(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  void SetTimeouts(COMMTIMEOUTS t) { ASSERT_TRUE(SetCommTimeouts(h_, &t)); }
  // Reads from the master until `count` bytes came or a second passed.
  std::string MasterReads(size_t count) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  void MasterWrites(const std::string& s) {
    ASSERT_EQ(write(master_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  std::string HostReads(DWORD max) {
    std::string buf(max, '\0');
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h_, buf.data(), max, &n, nullptr)) << GetLastError();
    buf.resize(n);
    return buf;
  }
  DWORD InQueue() {
    DWORD e = 0;
    COMSTAT s{};
    EXPECT_TRUE(ClearCommError(h_, &e, &s));
    return s.cbInQue;
  }
  // The pty moves bytes to the slave asynchronously: wait until `n` are queued.
  bool WaitInQueue(DWORD n) {
    for (int i = 0; i < 1000; ++i) {
      if (InQueue() >= n) return true;
      Sleep(2);
    }
    return false;
  }

  int master_ = -1;
  std::string path_;
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

TEST_F(TerminalPortTest, LineSettingsReachTheDeviceInRawMode) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h_, &dcb));
  dcb.BaudRate = 115200;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.Flags |= DCB_fOutxCtsFlow;  // alone it must not switch on CRTSCTS
  ASSERT_TRUE(SetCommState(h_, &dcb)) << GetLastError();
  termios t{};
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  // A pseudo-terminal forces 8 data bits without parity; the rest shows.
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(TerminalOutputBaud(master_), 115200u);

  dcb.Parity = MARKPARITY;
  dcb.Flags = (dcb.Flags & ~DCB_fRtsControl) | (RTS_CONTROL_HANDSHAKE << 12);
  dcb.Flags |= DCB_fOutX;
  ASSERT_TRUE(SetCommState(h_, &dcb));
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_TRUE(t.c_cflag & CMSPAR);
  EXPECT_TRUE(t.c_cflag & PARODD);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_iflag & IXON);
  // GetCommState tells what the driver really runs, not what was asked for.
  DCB back{};
  ASSERT_TRUE(GetCommState(h_, &back));
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.Parity, NOPARITY);
  EXPECT_EQ(back.StopBits, TWOSTOPBITS);
  EXPECT_EQ(back.BaudRate, 115200u);
  EXPECT_EQ((back.Flags & DCB_fRtsControl) >> 12, RTS_CONTROL_HANDSHAKE);
}

TEST_F(TerminalPortTest, ANonStandardBaudRateIsSetExactly) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h_, &dcb));
  dcb.BaudRate = 250000;
  ASSERT_TRUE(SetCommState(h_, &dcb)) << GetLastError();
  EXPECT_EQ(TerminalOutputBaud(master_), 250000u);
  DCB back{};
  ASSERT_TRUE(GetCommState(h_, &back));
  EXPECT_EQ(back.BaudRate, 250000u);
}

TEST_F(TerminalPortTest, BytesCrossBothWaysUnchanged) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  all += "\r\n\r";
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h_, all.data(), static_cast<DWORD>(all.size()), &written, nullptr));
  EXPECT_EQ(written, all.size());
  EXPECT_EQ(MasterReads(all.size()), all);

  MasterWrites(all);
  ASSERT_TRUE(WaitInQueue(static_cast<DWORD>(all.size())));
  SetTimeouts({MAXDWORD, 0, 0, 0, 0});
  EXPECT_EQ(HostReads(1000), all);
}

TEST_F(TerminalPortTest, ModemLinesAndBreaksAreNoOpsWithoutModemLines) {
  for (DWORD f : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK})
    EXPECT_TRUE(EscapeCommFunction(h_, f)) << f << " " << GetLastError();
  EXPECT_TRUE(SetCommBreak(h_));
  EXPECT_TRUE(ClearCommBreak(h_));
  DWORD status = 0;
  ASSERT_TRUE(GetCommModemStatus(h_, &status));
  EXPECT_EQ(status, MS_CTS_ON);
  DWORD errors = 1;
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(h_, &errors, &stat));
  EXPECT_EQ(errors, 0u);  // no counters, no line errors
}

TEST_F(TerminalPortTest, CtsFlowWritesGoThroughBecauseCtsReadsAsserted) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h_, &dcb));
  dcb.Flags |= DCB_fOutxCtsFlow;
  ASSERT_TRUE(SetCommState(h_, &dcb));
  SetTimeouts({0, 0, 0, 0, 500});
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h_, "?\rH\r", 4, &written, nullptr));
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(MasterReads(4), "?\rH\r");
}

// The driver takes part of the buffer before it stalls: that part is reported.
TEST_F(TerminalPortTest, AWriteTimeOutReturnsWhatWasWritten) {
  SetTimeouts({0, 0, 0, 0, 100});
  std::string big(1 << 20, 'x');  // far more than the pty buffers while nobody reads
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h_, big.data(), static_cast<DWORD>(big.size()), &written, nullptr));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
}

TEST_F(TerminalPortTest, TheOpenIsExclusive) {
  SetLastError(0);
  EXPECT_EQ(Open(path_.c_str()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBUSY));
  ASSERT_TRUE(CloseHandle(h_));
  h_ = Open(path_.c_str());
  EXPECT_NE(h_, INVALID_HANDLE_VALUE) << GetLastError();
}

TEST_F(TerminalPortTest, APathThatIsNoTerminalIsRefused) {
  SetLastError(0);
  EXPECT_EQ(Open("/dev/no-such-serial-device"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
  EXPECT_EQ(Open("/dev/null"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOTTY));
}

TEST_F(TerminalPortTest, QueueCountsPurgeAndTheInputEvent) {
  MasterWrites("12345");
  ASSERT_TRUE(WaitInQueue(5));
  EXPECT_EQ(InQueue(), 5u);
  ASSERT_TRUE(PurgeComm(h_, PURGE_RXCLEAR | PURGE_TXCLEAR));
  EXPECT_EQ(InQueue(), 0u);

  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
  std::thread device([&] {
    Sleep(20);
    MasterWrites("!");
  });
  DWORD ev = 0;
  ASSERT_TRUE(WaitCommEvent(h_, &ev, nullptr));
  device.join();
  EXPECT_EQ(ev, EV_RXCHAR);
}

TEST_F(TerminalPortTest, ClosingFromAnotherThreadEndsBlockedCalls) {
  SetTimeouts({0, 0, 0, 0, 0});
  ASSERT_TRUE(SetCommMask(h_, EV_CTS));
  std::atomic<BOOL> readOk{TRUE}, waitOk{TRUE};
  std::atomic<DWORD> readError{0};
  std::thread reader([&] {
    char buf[8];
    DWORD n = 0;
    readOk = ReadFile(h_, buf, sizeof buf, &n, nullptr);
    readError = GetLastError();
  });
  std::thread waiter([&] {
    DWORD ev = 0;
    waitOk = WaitCommEvent(h_, &ev, nullptr);
  });
  Sleep(40);
  ASSERT_TRUE(CloseHandle(h_));
  reader.join();
  waiter.join();
  h_ = INVALID_HANDLE_VALUE;
  EXPECT_FALSE(readOk.load());
  EXPECT_EQ(readError.load(), static_cast<DWORD>(EBADF));
  EXPECT_FALSE(waitOk.load());
}

TEST_F(TerminalPortTest, AGoneDeviceIsARealError) {
  close(master_);
  master_ = -1;
  SetTimeouts({0, 0, 200, 0, 0});
  char c;
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h_, &c, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
}

}  // namespace
