// Virtual ports through the Win32 serial functions, against small scripted far
// ends: naming and exclusivity, the UART model, time-outs, events, teardown.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/VirtualPort.h"
#include "platform/WinSerial.h"

namespace {

using platform::IVirtualDevice;
using platform::IVirtualLine;
using platform::LineSettings;
using platform::Micros;

// What the far end saw; shared with the test because the port owns the device.
struct Seen {
  std::vector<BYTE> received;
  std::vector<LineSettings> settings;
  std::vector<std::pair<bool, bool>> lines;  // dtr, rts
  std::vector<bool> breaks;
  int advances = 0;
  bool quiet = false;      // the device has nothing due until the host acts
  bool answerDtr = false;  // ... and then sends "D" when DTR rises
  bool closed = false;
  bool destroyed = false;
  IVirtualLine* line = nullptr;
};

// Echoes every byte it receives, framed at `framing`.
class EchoDevice : public IVirtualDevice {
 public:
  EchoDevice(std::shared_ptr<Seen> seen, LineSettings framing) : seen_(std::move(seen)), framing_(framing) {}
  ~EchoDevice() override { seen_->destroyed = true; }
  void Attach(IVirtualLine& line) override { seen_->line = &line; }
  void OnReceive(const BYTE* data, size_t count, Micros at) override {
    seen_->received.insert(seen_->received.end(), data, data + count);
    if (echo) seen_->line->Send(data, count, framing_, at);
  }
  void OnHostSettings(const LineSettings& s, Micros) override { seen_->settings.push_back(s); }
  void OnHostBreak(bool on, Micros) override { seen_->breaks.push_back(on); }
  void Advance(Micros at) override {
    ++seen_->advances;
    if (!dtrReply_) return;
    dtrReply_ = false;
    const BYTE d = 'D';
    seen_->line->Send(&d, 1, framing_, at);
  }
  // Quiet devices say nothing is due until the host acts; raising DTR makes one answer.
  Micros NextDue(Micros now) const override { return seen_->quiet && !dtrReply_ ? platform::kNoTimeDue : now; }
  void OnModemLines(bool dtr, bool rts, Micros) override {
    seen_->lines.emplace_back(dtr, rts);
    if (dtr && seen_->answerDtr) dtrReply_ = true;
  }
  void OnClose() override { seen_->closed = true; }
  bool echo = true;

 private:
  std::shared_ptr<Seen> seen_;
  LineSettings framing_;
  bool dtrReply_ = false;
};

class VirtualPortTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    platform::UnregisterVirtualPort("TESTSIM");
  }
  // Registers TESTSIM with an echo device framed at `framing` and opens it.
  void Open(platform::VirtualPortOptions options = {4096, false},
            LineSettings framing = LineSettings{}) {
    seen_ = std::make_shared<Seen>();
    auto seen = seen_;
    ASSERT_TRUE(platform::RegisterVirtualPort(
        "TestSim", [seen, framing] { return std::make_unique<EchoDevice>(seen, framing); }, options));
    h_ = CreateFileA("testsim", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    ASSERT_NE(seen_->line, nullptr);
  }
  void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h_, &t));
  }
  void DeviceSends(const std::string& text, LineSettings framing = LineSettings{}) {
    std::lock_guard<std::recursive_mutex> lock(seen_->line->Mutex());
    seen_->line->Send(reinterpret_cast<const BYTE*>(text.data()), text.size(), framing, seen_->line->Now());
  }
  std::string ReadAll(DWORD max = 256) {
    std::string buf(max, '\0');
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h_, buf.data(), max, &n, nullptr));
    buf.resize(n);
    return buf;
  }
  DWORD Errors(COMSTAT* stat = nullptr) {
    DWORD e = 0;
    COMSTAT s{};
    EXPECT_TRUE(ClearCommError(h_, &e, &s));
    if (stat) *stat = s;
    return e;
  }

  HANDLE h_ = INVALID_HANDLE_VALUE;
  std::shared_ptr<Seen> seen_;
};

TEST_F(VirtualPortTest, NamesAreCaseInsensitiveExclusiveAndNeverComNames) {
  EXPECT_FALSE(platform::RegisterVirtualPort("COM7", [] { return std::unique_ptr<IVirtualDevice>(); }));
  EXPECT_FALSE(platform::RegisterVirtualPort("com3x", [] { return std::unique_ptr<IVirtualDevice>(); }));
  Open();
  EXPECT_TRUE(platform::IsVirtualPortName("TESTSIM"));
  EXPECT_GE(reinterpret_cast<std::uintptr_t>(h_), 0x40000000u);

  SetLastError(0);
  HANDLE second = CreateFileA("TESTSIM", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBUSY));

  ASSERT_TRUE(CloseHandle(h_));
  EXPECT_TRUE(seen_->closed);
  EXPECT_TRUE(seen_->destroyed);
  DCB dcb{};
  EXPECT_FALSE(GetCommState(h_, &dcb));  // stale handle
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
  h_ = CreateFileA("TESTSIM", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h_, INVALID_HANDLE_VALUE);
}

TEST_F(VirtualPortTest, UnknownNameAndBadArgumentsFail) {
  SetLastError(0);
  EXPECT_EQ(CreateFileA("NOSUCHSIM", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_NE(GetLastError(), 0u);
  Open();
  EXPECT_FALSE(GetCommState(h_, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h_, &dcb));
  dcb.ByteSize = 9;
  EXPECT_FALSE(SetCommState(h_, &dcb));
  dcb.ByteSize = 8;
  dcb.BaudRate = 0;
  EXPECT_FALSE(SetCommState(h_, &dcb));
  EXPECT_FALSE(GetCommState(reinterpret_cast<HANDLE>(0x40FFFFFF), &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
}

TEST_F(VirtualPortTest, BytesCrossBothWaysUnchanged) {
  Open();
  SetTimeouts(MAXDWORD, 0, 0);
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h_, all.data(), static_cast<DWORD>(all.size()), &written, nullptr));
  EXPECT_EQ(written, all.size());
  EXPECT_EQ(std::string(seen_->received.begin(), seen_->received.end()), all);
  EXPECT_EQ(ReadAll(), all);
  EXPECT_EQ(Errors(), 0u);
}

TEST_F(VirtualPortTest, BytesTakeTheirLineTimeWhenTimingIsReal) {
  LineSettings slow{50, 8, NOPARITY, ONESTOPBIT};  // 200 ms per character
  Open({4096, true}, slow);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h_, &dcb));
  dcb.BaudRate = 50;
  ASSERT_TRUE(SetCommState(h_, &dcb));
  SetTimeouts(MAXDWORD, 0, 0);
  DeviceSends("ab", slow);
  EXPECT_EQ(ReadAll(), "");  // still on the wire
  SetTimeouts(0, 0, 5000);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadAll(2), "ab");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(350));
}

// The line knows when each byte arrived, also before the read began: bytes
// older than the interval end an interval-only read at once, where counting
// from the read's start would hold them a whole interval.
TEST_F(VirtualPortTest, BytesOlderThanTheIntervalEndAnIntervalReadAtOnce) {
  Open();
  DeviceSends("old");
  Sleep(1100);
  SetTimeouts(1000, 0, 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadAll(10), "old");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST_F(VirtualPortTest, AFullInputQueueLosesBytesAndReportsOverrun) {
  Open({16, false});
  DeviceSends("0123456789abcdefGHIJ");
  COMSTAT stat{};
  EXPECT_EQ(Errors(&stat), CE_RXOVER);
  EXPECT_EQ(stat.cbInQue, 16u);
  SetTimeouts(MAXDWORD, 0, 0);
  EXPECT_EQ(ReadAll(), "0123456789abcdef");
  EXPECT_EQ(Errors(), 0u);  // reported once
}

TEST_F(VirtualPortTest, MismatchedFramingArrivesGarbledWithFramingErrors) {
  Open();
  SetTimeouts(MAXDWORD, 0, 0);
  DeviceSends("A", LineSettings{9600, 8, NOPARITY, ONESTOPBIT});
  std::string got = ReadAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0], 'A');
  EXPECT_EQ(Errors(), CE_FRAME);
  DeviceSends("A", LineSettings{115200, 8, EVENPARITY, ONESTOPBIT});
  ReadAll();
  EXPECT_EQ(Errors(), CE_FRAME);
  DeviceSends("A");
  EXPECT_EQ(ReadAll(), "A");
  EXPECT_EQ(Errors(), 0u);
}

TEST_F(VirtualPortTest, DeviceBreakShowsOncePerBreakAsErrorAndEvent) {
  Open();
  ASSERT_TRUE(SetCommMask(h_, EV_BREAK | EV_RXCHAR));
  {
    std::lock_guard<std::recursive_mutex> lock(seen_->line->Mutex());
    seen_->line->SetBreak(true, seen_->line->Now());
  }
  DWORD ev = 0;
  ASSERT_TRUE(WaitCommEvent(h_, &ev, nullptr));
  EXPECT_EQ(ev, EV_BREAK);
  EXPECT_EQ(Errors(), CE_BREAK);
  EXPECT_EQ(Errors(), 0u);
  {
    std::lock_guard<std::recursive_mutex> lock(seen_->line->Mutex());
    seen_->line->SetBreak(true, seen_->line->Now());  // still the same break
    seen_->line->SetBreak(false, seen_->line->Now());
    seen_->line->SetBreak(true, seen_->line->Now());  // a new one
  }
  EXPECT_EQ(Errors(), CE_BREAK);
}

TEST_F(VirtualPortTest, InjectedErrorsAreReportedByTheNextQuery) {
  Open();
  {
    std::lock_guard<std::recursive_mutex> lock(seen_->line->Mutex());
    seen_->line->InjectErrors(CE_OVERRUN | CE_RXPARITY);
  }
  EXPECT_EQ(Errors(), CE_OVERRUN | CE_RXPARITY);
  EXPECT_EQ(Errors(), 0u);
}

TEST_F(VirtualPortTest, TheDeviceSeesSettingsModemLinesAndBreaks) {
  Open();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h_, &dcb));
  dcb.BaudRate = 9600;
  dcb.Parity = ODDPARITY;
  dcb.ByteSize = 7;
  dcb.Flags = (dcb.Flags & ~DCB_fDtrControl) | (DTR_CONTROL_ENABLE << 4);
  ASSERT_TRUE(SetCommState(h_, &dcb));
  ASSERT_EQ(seen_->settings.size(), 1u);
  EXPECT_EQ(seen_->settings[0], (LineSettings{9600, 7, ODDPARITY, ONESTOPBIT}));
  EXPECT_EQ(seen_->line->HostSettings(), seen_->settings[0]);
  ASSERT_EQ(seen_->lines.size(), 1u);  // the device hears of a change once
  ASSERT_TRUE(SetCommState(h_, &dcb));
  EXPECT_EQ(seen_->lines.size(), 1u);
  EXPECT_EQ(seen_->settings.size(), 1u);  // unchanged settings are not announced

  ASSERT_TRUE(EscapeCommFunction(h_, SETRTS));
  ASSERT_TRUE(EscapeCommFunction(h_, CLRDTR));
  EXPECT_EQ(seen_->lines.back(), std::make_pair(false, true));
  EXPECT_TRUE(seen_->line->HostRts());
  EXPECT_FALSE(seen_->line->HostDtr());

  ASSERT_TRUE(SetCommBreak(h_));
  ASSERT_TRUE(ClearCommBreak(h_));
  EXPECT_EQ(seen_->breaks, (std::vector<bool>{true, false}));
  EXPECT_FALSE(EscapeCommFunction(h_, 77));
}

TEST_F(VirtualPortTest, CtsAndDsrComeFromTheDevice) {
  Open();
  DWORD status = 0;
  ASSERT_TRUE(GetCommModemStatus(h_, &status));
  EXPECT_EQ(status, MS_CTS_ON);
  ASSERT_TRUE(SetCommMask(h_, EV_CTS | EV_DSR));
  std::thread device([&] {
    Sleep(20);
    std::lock_guard<std::recursive_mutex> lock(seen_->line->Mutex());
    seen_->line->SetDsr(true);
  });
  DWORD ev = 0;
  ASSERT_TRUE(WaitCommEvent(h_, &ev, nullptr));
  device.join();
  EXPECT_EQ(ev, EV_DSR);
  ASSERT_TRUE(GetCommModemStatus(h_, &status));
  EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON);
}

TEST_F(VirtualPortTest, PurgeDropsQueuedInput) {
  Open();
  DeviceSends("stale");
  ASSERT_TRUE(PurgeComm(h_, PURGE_RXCLEAR | PURGE_RXABORT));
  COMSTAT stat{};
  Errors(&stat);
  EXPECT_EQ(stat.cbInQue, 0u);
  EXPECT_FALSE(PurgeComm(h_, 0x100));
}

TEST_F(VirtualPortTest, WaitCommEventNeedsAMaskAndEndsWhenTheMaskChanges) {
  Open();
  DWORD ev = 1;
  EXPECT_FALSE(WaitCommEvent(h_, &ev, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
  ASSERT_TRUE(SetCommMask(h_, EV_RING));
  std::thread other([&] {
    Sleep(20);
    SetCommMask(h_, EV_RING | EV_CTS);
  });
  ev = 1;
  EXPECT_TRUE(WaitCommEvent(h_, &ev, nullptr));
  other.join();
  EXPECT_EQ(ev, 0u);
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(h_, &mask));
  EXPECT_EQ(mask, EV_RING | EV_CTS);
}

TEST_F(VirtualPortTest, EventsBetweenWaitsAreKeptWhenTheMaskOnlyGrows) {
  Open();
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
  DeviceSends("x");
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR | EV_BREAK));
  DWORD ev = 0;
  ASSERT_TRUE(WaitCommEvent(h_, &ev, nullptr));
  EXPECT_EQ(ev, EV_RXCHAR);
}

TEST_F(VirtualPortTest, AnUnpluggedPortFailsEveryCallWithIo) {
  Open();
  {
    std::lock_guard<std::recursive_mutex> lock(seen_->line->Mutex());
    seen_->line->Disconnect();
  }
  DWORD n = 0;
  char c;
  EXPECT_FALSE(ReadFile(h_, &c, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
  EXPECT_FALSE(WriteFile(h_, "x", 1, &n, nullptr));
  DWORD e = 0;
  EXPECT_FALSE(ClearCommError(h_, &e, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
  EXPECT_TRUE(CloseHandle(h_));
  EXPECT_TRUE(seen_->closed);
  h_ = INVALID_HANDLE_VALUE;
}

TEST_F(VirtualPortTest, ClosingFromAnotherThreadEndsABlockedRead) {
  Open();
  SetTimeouts(0, 0, 0);  // no time-outs: blocks until the buffer is full
  std::atomic<BOOL> result{TRUE};
  std::atomic<DWORD> error{0};
  std::thread reader([&] {
    char buf[4];
    DWORD n = 0;
    result = ReadFile(h_, buf, sizeof buf, &n, nullptr);
    error = GetLastError();
  });
  Sleep(30);
  ASSERT_TRUE(CloseHandle(h_));
  reader.join();
  h_ = INVALID_HANDLE_VALUE;
  EXPECT_FALSE(result.load());
  EXPECT_EQ(error.load(), static_cast<DWORD>(EBADF));
}

// A waiter on a line where nothing is due sleeps until the host acts, and
// wakes for what that makes the device send, however long it offered to wait.
TEST_F(VirtualPortTest, AWaiterSleepsThroughAQuietLineAndWakesWhenTheHostActs) {
  Open();
  SetTimeouts(MAXDWORD, 0, 0);
  {
    std::lock_guard<std::recursive_mutex> lock(seen_->line->Mutex());
    seen_->quiet = true;
    seen_->answerDtr = true;
    seen_->advances = 0;
  }
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(platform::WaitForInput(h_, 300));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  {
    std::lock_guard<std::recursive_mutex> lock(seen_->line->Mutex());
    EXPECT_LT(seen_->advances, 10);  // looking every few milliseconds would be 40 or more
  }

  // Each kind of host action wakes a waiter that offered to wait a minute.
  const auto wakesFor = [this](const std::function<void()>& act, const std::string& expected) {
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
      platform::WaitForInput(h_, 60000);
      woke = true;
    });
    Sleep(50);  // the waiter is asleep by now, or wakes at once: either way it must wake
    act();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!woke && std::chrono::steady_clock::now() < deadline) Sleep(5);
    const bool done = woke;
    if (!done) {
      CloseHandle(h_);  // ends the wait
      h_ = INVALID_HANDLE_VALUE;
    }
    waiter.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(ReadAll(), expected);
  };
  wakesFor([this] {
    DWORD written = 0;
    WriteFile(h_, "e", 1, &written, nullptr);
  }, "e");
  wakesFor([this] { EscapeCommFunction(h_, SETDTR); }, "D");
}

TEST_F(VirtualPortTest, AFactoryWithoutADeviceFailsTheOpenAndFreesTheName) {
  ASSERT_TRUE(platform::RegisterVirtualPort("TESTSIM", [] { return std::unique_ptr<IVirtualDevice>(); }));
  EXPECT_EQ(CreateFileA("TESTSIM", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileA("TESTSIM", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(EBUSY));
}

}  // namespace
