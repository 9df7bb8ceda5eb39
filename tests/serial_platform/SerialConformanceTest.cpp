// The Win32 serial rules every backend must keep, run once against a terminal
// (a pseudo-terminal) and once against a virtual port, through the Win32 calls.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/VirtualPort.h"
#include "platform/WinSerial.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The terminal backend on a pseudo-terminal; the test plays the device on the
// master side. COM42 is mapped to it for the name forms.
class PtyPort {
 public:
  static constexpr const char* kName = "Terminal";
  ~PtyPort() {
    unsetenv("QUELM_COM42");
    if (master_ >= 0) close(master_);
  }
  bool Prepare() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    slave_ = ptsname(master_);
    return setenv("QUELM_COM42", slave_.c_str(), 1) == 0;
  }
  std::string Name() const { return slave_; }
  std::vector<std::string> NameForms() const { return {"COM42", "com42:", "\\\\.\\COM42"}; }
  std::string UnknownName() const { return "\\\\.\\COM0"; }
  DWORD InputQueue() const { return 4096; }
  void Send(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // As if the device had sent XOFF: the terminal stops its output.
  void HoldOutput(HANDLE h) { ASSERT_TRUE(EscapeCommFunction(h, SETXOFF)) << GetLastError(); }
  void ReleaseOutput(HANDLE h) { EXPECT_TRUE(EscapeCommFunction(h, SETXON)) << GetLastError(); }
  // A pseudo-terminal has no modem lines to look at.
  std::optional<std::pair<bool, bool>> Lines() const { return std::nullopt; }

 private:
  int master_ = -1;
  std::string slave_;
};

// The far end of the virtual port: it only lends the test its line.
class LineDevice : public platform::IVirtualDevice {
 public:
  explicit LineDevice(std::shared_ptr<platform::IVirtualLine*> line) : line_(std::move(line)) {}
  void Attach(platform::IVirtualLine& line) override { *line_ = &line; }
  void OnReceive(const BYTE*, size_t, platform::Micros) override {}
  void OnHostSettings(const platform::LineSettings&, platform::Micros) override {}
  void OnModemLines(bool, bool, platform::Micros) override {}
  void OnHostBreak(bool, platform::Micros) override {}
  void Advance(platform::Micros) override {}

 private:
  std::shared_ptr<platform::IVirtualLine*> line_;
};

// A virtual port with an input queue of its own size, so that COMMPROP shows
// the backend's value and not a shared default.
class SimPort {
 public:
  static constexpr const char* kName = "Virtual";
  ~SimPort() { platform::UnregisterVirtualPort("CONFSIM"); }
  bool Prepare() {
    auto line = line_;
    return platform::RegisterVirtualPort(
        "ConfSim", [line] { return std::make_unique<LineDevice>(line); }, {1000, false});
  }
  std::string Name() const { return "CONFSIM"; }
  std::vector<std::string> NameForms() const { return {"confsim", "CONFSIM:", "\\\\.\\ConfSim"}; }
  std::string UnknownName() const { return "\\\\.\\NOSUCHSIM"; }
  DWORD InputQueue() const { return 1000; }
  void Send(const std::string& bytes) {
    std::lock_guard<std::recursive_mutex> lock(Line().Mutex());
    Line().Send(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), platform::LineSettings{}, Line().Now());
  }
  // CTS flow control with the device holding CTS low.
  void HoldOutput(HANDLE h) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.Flags |= DCB_fOutxCtsFlow;
    ASSERT_TRUE(SetCommState(h, &dcb));
    SetCts(false);
  }
  void ReleaseOutput(HANDLE) { SetCts(true); }
  std::optional<std::pair<bool, bool>> Lines() {
    std::lock_guard<std::recursive_mutex> lock(Line().Mutex());
    return std::make_pair(Line().HostDtr(), Line().HostRts());
  }

 private:
  platform::IVirtualLine& Line() { return **line_; }
  void SetCts(bool on) {
    std::lock_guard<std::recursive_mutex> lock(Line().Mutex());
    Line().SetCts(on);
  }
  std::shared_ptr<platform::IVirtualLine*> line_ = std::make_shared<platform::IVirtualLine*>(nullptr);
};

template <typename Port>
class SerialConformance : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(port_.Prepare());
    h_ = Open(port_.Name());
    ASSERT_NE(h_, INVALID_HANDLE_VALUE) << GetLastError();
    Configure();
  }
  void TearDown() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  static HANDLE Open(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  // As a host does after the open; a terminal leaves its own (cooked, echoing)
  // mode only now, so the device must not send before.
  void Configure() {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h_, &dcb));
    ASSERT_TRUE(SetCommState(h_, &dcb)) << GetLastError();
  }
  void SetTimeouts(COMMTIMEOUTS t) { ASSERT_TRUE(SetCommTimeouts(h_, &t)) << GetLastError(); }
  std::string Read(DWORD max) {
    std::string buf(max, '\0');
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h_, buf.data(), max, &n, nullptr)) << GetLastError();
    buf.resize(n);
    return buf;
  }
  // A pseudo-terminal hands bytes over asynchronously: wait, generously,
  // until `n` are queued at the port.
  bool WaitQueued(DWORD n) {
    const auto end = SteadyClock::now() + std::chrono::seconds(10);
    for (;;) {
      COMSTAT stat{};
      if (!ClearCommError(h_, nullptr, &stat)) return false;
      if (stat.cbInQue >= n) return true;
      if (SteadyClock::now() > end) return false;
      Sleep(2);
    }
  }

  Port port_;
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

struct BackendNames {
  template <typename T>
  static std::string GetName(int) {
    return T::kName;
  }
};

using Backends = ::testing::Types<PtyPort, SimPort>;
TYPED_TEST_SUITE(SerialConformance, Backends, BackendNames);

// The ports count whole microseconds, so a time-out measured from outside may
// look shorter by less than one; anything more would be an early end.
::testing::AssertionResult NotBefore(SteadyClock::duration elapsed, milliseconds limit) {
  if (elapsed + std::chrono::microseconds(1) >= limit) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "ended after "
                                       << std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()
                                       << " us, before its " << limit.count() << " ms";
}

// Late ends are only bounded loosely: the machine may be busy.
::testing::AssertionResult NotLong(SteadyClock::duration elapsed, milliseconds limit) {
  if (elapsed <= limit + std::chrono::seconds(1)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "took " << std::chrono::duration_cast<milliseconds>(elapsed).count()
                                       << " ms for a " << limit.count() << " ms limit";
}

TYPED_TEST(SerialConformance, AnImmediateReadReturnsWhatIsQueued) {
  this->port_.Send("abc");
  ASSERT_TRUE(this->WaitQueued(3));
  this->SetTimeouts({MAXDWORD, 0, 0, 0, 0});
  EXPECT_EQ(this->Read(10), "abc");
  const auto start = SteadyClock::now();
  EXPECT_EQ(this->Read(10), "");
  EXPECT_TRUE(NotLong(SteadyClock::now() - start, milliseconds(0)));
}

TYPED_TEST(SerialConformance, AnAnyByteReadEndsAtTheFirstByteOrAtTheConstant) {
  this->SetTimeouts({MAXDWORD, MAXDWORD, 300, 0, 0});
  auto start = SteadyClock::now();
  EXPECT_EQ(this->Read(10), "");
  auto elapsed = SteadyClock::now() - start;
  EXPECT_TRUE(NotBefore(elapsed, milliseconds(300)));
  EXPECT_TRUE(NotLong(elapsed, milliseconds(300)));

  this->SetTimeouts({MAXDWORD, MAXDWORD, 20000, 0, 0});
  std::thread device([&] {
    Sleep(100);
    this->port_.Send("z");
  });
  start = SteadyClock::now();
  EXPECT_EQ(this->Read(10), "z");
  elapsed = SteadyClock::now() - start;
  device.join();
  EXPECT_LT(elapsed, std::chrono::seconds(10));  // the byte, not the constant, ended it
}

// Multiplier times the bytes asked for, plus the constant; what came by then is returned.
TYPED_TEST(SerialConformance, AReadEndsAtItsTotalDeadline) {
  this->port_.Send("ab");
  ASSERT_TRUE(this->WaitQueued(2));
  this->SetTimeouts({0, 30, 50, 0, 0});
  const auto start = SteadyClock::now();
  EXPECT_EQ(this->Read(10), "ab");
  const auto elapsed = SteadyClock::now() - start;
  EXPECT_TRUE(NotBefore(elapsed, milliseconds(350)));
  EXPECT_TRUE(NotLong(elapsed, milliseconds(350)));
}

TYPED_TEST(SerialConformance, TheIntervalTimerStartsWithTheFirstByte) {
  this->SetTimeouts({100, 0, 0, 0, 0});
  std::thread device([&] {
    Sleep(500);
    this->port_.Send("x");
  });
  EXPECT_EQ(this->Read(10), "x");  // the silence before it was no gap
  device.join();
}

// Bytes a tenth of the interval apart keep the read going; after the last one
// the read waits one whole interval, not less.
TYPED_TEST(SerialConformance, TheIntervalCountsFromTheLastByte) {
  this->SetTimeouts({1000, 0, 0, 0, 0});
  SteadyClock::time_point lastSent;
  std::thread device([&] {
    Sleep(100);
    this->port_.Send("a");
    Sleep(100);
    this->port_.Send("b");
    Sleep(100);
    lastSent = SteadyClock::now();
    this->port_.Send("c");
  });
  const std::string got = this->Read(10);
  const auto end = SteadyClock::now();
  device.join();
  EXPECT_EQ(got, "abc");
  EXPECT_TRUE(NotBefore(end - lastSent, milliseconds(1000)));
  EXPECT_TRUE(NotLong(end - lastSent, milliseconds(1000)));
}

TYPED_TEST(SerialConformance, AHeldWriteEndsAtItsDeadlineAndWaitsWithoutOne) {
  this->port_.HoldOutput(this->h_);
  this->SetTimeouts({0, 0, 0, 30, 50});  // ten bytes: 350 ms
  DWORD written = 99;
  auto start = SteadyClock::now();
  ASSERT_TRUE(WriteFile(this->h_, "0123456789", 10, &written, nullptr)) << GetLastError();
  const auto elapsed = SteadyClock::now() - start;
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(NotBefore(elapsed, milliseconds(350)));
  EXPECT_TRUE(NotLong(elapsed, milliseconds(350)));

  this->SetTimeouts({0, 0, 0, 0, 0});  // no limit: the write waits for the device
  std::thread device([&] {
    Sleep(300);
    this->port_.ReleaseOutput(this->h_);
  });
  ASSERT_TRUE(WriteFile(this->h_, "0123456789", 10, &written, nullptr)) << GetLastError();
  device.join();
  EXPECT_EQ(written, 10u);
}

TYPED_TEST(SerialConformance, AllReadTimeoutsAtMaxAreRefusedAndTheOldOnesKept) {
  COMMTIMEOUTS before{10, 20, 30, 40, 50};
  ASSERT_TRUE(SetCommTimeouts(this->h_, &before));
  COMMTIMEOUTS refused{MAXDWORD, MAXDWORD, MAXDWORD, 1, 2};
  SetLastError(0);
  EXPECT_FALSE(SetCommTimeouts(this->h_, &refused));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
  COMMTIMEOUTS now{};
  ASSERT_TRUE(GetCommTimeouts(this->h_, &now));
  EXPECT_EQ(std::memcmp(&now, &before, sizeof now), 0);
  // One MAXDWORD fewer is an ordinary setting.
  for (COMMTIMEOUTS t : {COMMTIMEOUTS{MAXDWORD, MAXDWORD, 1000, 0, 0}, COMMTIMEOUTS{MAXDWORD, 0, MAXDWORD, 0, 0},
                         COMMTIMEOUTS{0, MAXDWORD, MAXDWORD, 0, 0}}) {
    EXPECT_TRUE(SetCommTimeouts(this->h_, &t));
    ASSERT_TRUE(GetCommTimeouts(this->h_, &now));
    EXPECT_EQ(std::memcmp(&now, &t, sizeof now), 0);
  }
}

TYPED_TEST(SerialConformance, PropertiesDescribeAnRs232PortWithTheBackendsQueue) {
  COMMPROP prop;
  std::memset(&prop, 0xAB, sizeof prop);  // whatever the caller's memory held
  ASSERT_TRUE(GetCommProperties(this->h_, &prop));
  EXPECT_EQ(prop.wPacketLength, sizeof(COMMPROP));
  EXPECT_EQ(prop.wPacketVersion, 2);
  EXPECT_EQ(prop.dwServiceMask, 1u);   // SP_SERIALCOMM
  EXPECT_EQ(prop.dwProvSubType, 1u);   // PST_RS232
  EXPECT_EQ(prop.dwMaxRxQueue, this->port_.InputQueue());
  EXPECT_EQ(prop.dwCurrentRxQueue, this->port_.InputQueue());
  EXPECT_EQ(prop.dwMaxTxQueue, 0u);  // no fixed transmit queue
  EXPECT_EQ(prop.dwCurrentTxQueue, 0u);
  EXPECT_EQ(prop.dwMaxBaud, 0x10000000u);  // BAUD_USER
  EXPECT_EQ(prop.dwSettableBaud & 0x10000000u, 0x10000000u);
  EXPECT_EQ(prop.dwProvCapabilities & 0xC0u, 0xC0u);  // total and interval time-outs
  EXPECT_EQ(prop.wSettableData, 0x000F);              // 5 to 8 data bits
  EXPECT_EQ(prop.wSettableStopParity, 0x1F07);        // every stop-bit and parity code
  EXPECT_EQ(prop.dwReserved1, 0u);
  EXPECT_EQ(prop.dwProvSpec1, 0u);
  EXPECT_EQ(prop.dwProvSpec2, 0u);
}

// A reader's wait for input ends on a wake-up request from another thread (a
// run being stopped), and a request made while nobody waits ends the next wait
// only; a Close ends a wait as well. Each wait would otherwise last 20 s.
TYPED_TEST(SerialConformance, AWakeUpOrACloseEndsAnInputWait) {
  const auto waitOnce = [&](DWORD ms) {
    return std::async(std::launch::async, [h = this->h_, ms] {
      const auto start = SteadyClock::now();
      const BOOL ok = platform::WaitForInput(h, ms);
      return std::make_pair(ok, SteadyClock::now() - start);
    });
  };
  auto waiter = waitOnce(20000);
  Sleep(50);  // most likely inside the wait by now; a request before it must end it as well
  ASSERT_TRUE(platform::WakeInputWait(this->h_));
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  auto [ok, elapsed] = waiter.get();
  EXPECT_TRUE(ok);
  EXPECT_LT(elapsed, std::chrono::seconds(15));

  ASSERT_TRUE(platform::WakeInputWait(this->h_));
  auto early = waitOnce(20000);
  ASSERT_EQ(early.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  EXPECT_TRUE(early.get().first);
  auto full = waitOnce(300);  // the request was used up: this one waits its time
  std::tie(ok, elapsed) = full.get();
  EXPECT_TRUE(ok);
  EXPECT_TRUE(NotBefore(elapsed, milliseconds(300)));

  auto closed = waitOnce(20000);
  Sleep(50);
  ASSERT_TRUE(CloseHandle(this->h_));
  this->h_ = INVALID_HANDLE_VALUE;
  ASSERT_EQ(closed.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  EXPECT_FALSE(closed.get().first);
}

// Disable lowers a line, enable and handshake raise it, toggle rests RTS low.
// Without modem lines (a pseudo-terminal) every setting is taken, drives
// nothing and CTS reads as asserted.
TYPED_TEST(SerialConformance, DtrAndRtsFollowTheDcb) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(this->h_, &dcb));
  for (BYTE dtr : {DTR_CONTROL_ENABLE, DTR_CONTROL_DISABLE, DTR_CONTROL_HANDSHAKE}) {
    for (BYTE rts : {RTS_CONTROL_ENABLE, RTS_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE}) {
      SCOPED_TRACE(testing::Message() << "dtr control " << int(dtr) << ", rts control " << int(rts));
      dcb.Flags = (dcb.Flags & ~(DCB_fDtrControl | DCB_fRtsControl)) | (DWORD{dtr} << 4) | (DWORD{rts} << 12);
      ASSERT_TRUE(SetCommState(this->h_, &dcb)) << GetLastError();
      if (auto lines = this->port_.Lines()) {
        EXPECT_EQ(lines->first, dtr != DTR_CONTROL_DISABLE);
        EXPECT_EQ(lines->second, rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_HANDSHAKE);
      } else {
        DWORD status = 0;
        ASSERT_TRUE(GetCommModemStatus(this->h_, &status));
        EXPECT_EQ(status, MS_CTS_ON);
      }
    }
  }
}

// "NAME", "name:" and "\\.\NAME" are one port: each is refused while it is
// open under another form, and each opens it (the device's bytes arrive).
TYPED_TEST(SerialConformance, EveryNameFormOpensTheSamePort) {
  for (const std::string& name : this->port_.NameForms()) {
    SetLastError(0);
    EXPECT_EQ(this->Open(name), INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBUSY)) << name;
  }
  ASSERT_TRUE(CloseHandle(this->h_));
  for (const std::string& name : this->port_.NameForms()) {
    this->h_ = this->Open(name);
    ASSERT_NE(this->h_, INVALID_HANDLE_VALUE) << name << " " << GetLastError();
    this->Configure();
    this->port_.Send("n");
    EXPECT_TRUE(this->WaitQueued(1)) << name;
    this->SetTimeouts({MAXDWORD, 0, 0, 0, 0});
    EXPECT_EQ(this->Read(10), "n") << name;
    ASSERT_TRUE(CloseHandle(this->h_));
    this->h_ = INVALID_HANDLE_VALUE;
  }
  SetLastError(0);
  EXPECT_EQ(this->Open(this->port_.UnknownName()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
}

}  // namespace
