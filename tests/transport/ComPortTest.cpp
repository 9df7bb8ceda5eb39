// TComPort against scripted virtual far ends: naming, deferred settings,
// time-outs, line errors, events, reads and writes, and the closed port.
#include "transport/ComPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "platform/Clock.h"
#include "tests/transport/ScriptedDevice.h"

namespace transport {
namespace {

using testing::ScriptedPort;

const char* const kBreakText = "C01-The hardware detected a break condition.";
const char* const kFrameText = "C02-The hardware detected a framing error.";
const char* const kParityText = "C07-The hardware detected a parity error.";

struct NameCase {
  const char* given;
  const char* name;
  const char* settings;
};

TEST(ComPortNaming, SplitsNameAndSettingsText) {
  const NameCase cases[] = {
      {"com3", "com3", ""},
      {"COM3:9600,n,8,1", "COM3:", "9600,n,8,1"},
      {"COM1 baud=9600 parity=N data=8 stop=1", "COM1", "baud=9600 parity=N data=8 stop=1"},
      {"COM12", "COM12", ""},
      {"\\\\.\\COM12 baud=19200", "\\\\.\\COM12", "baud=19200"},
      {"\\\\.\\COM5", "\\\\.\\COM5", ""},
      {"  /dev/ttyUSB0 ", "/dev/ttyUSB0", ""},
      {"SIMULATOR 9600,n,8,1", "SIMULATOR 9600,n,8,1", ""},  // only COM names carry settings
  };
  for (const NameCase& c : cases) {
    TComPort port(c.given, {});
    EXPECT_EQ(port.Name(), c.name) << c.given;
    EXPECT_EQ(port.Settings(), c.settings) << c.given;
    EXPECT_FALSE(port.IsOpen());
  }
}

TEST(ComPortNaming, SettingsTextReplacesTheBuiltInRecord) {
  TComPort plain("COM7", {});
  EXPECT_EQ(plain.BaudRate(), 115200);
  EXPECT_EQ(plain.State().ByteSize, 8);
  EXPECT_EQ(plain.State().Flags & DCB_fBinary, DCB_fBinary);
  EXPECT_TRUE(plain.DCBChanged());

  TComPort withText("COM3:9600,e,7,2", {});
  EXPECT_EQ(withText.BaudRate(), 9600);
  EXPECT_EQ(withText.State().Parity, EVENPARITY);
  EXPECT_EQ(withText.State().ByteSize, 7);
  EXPECT_EQ(withText.State().StopBits, TWOSTOPBITS);
  EXPECT_TRUE(withText.DCBChanged());

  // A text the driver refuses leaves the block as constructed: the device's own settings win at open.
  TComPort refused("COM3:fast please", {});
  EXPECT_EQ(refused.Settings(), "");
  EXPECT_EQ(refused.BaudRate(), 0);
  EXPECT_FALSE(refused.DCBChanged());
}

TEST(ComPortSettings, GivenWhileClosedAreWrittenAtOpen) {
  ScriptedPort far;
  TComPort port(far.Name(), {});
  port.SetBaudRate(9600);
  port.SetParity(EVENPARITY);
  port.SetTimeout(2, 40);
  port.SetTimeout(0, MAXDWORD);
  EXPECT_TRUE(far.Script().Events().empty());

  port.Open({paRead, paWrite});
  ASSERT_TRUE(port.IsOpen());
  ASSERT_EQ(far.Script().settings.size(), 1u);
  EXPECT_EQ(far.Script().settings[0].baudRate, 9600u);
  EXPECT_EQ(far.Script().settings[0].parity, EVENPARITY);
  EXPECT_FALSE(port.DCBChanged());
  EXPECT_FALSE(port.TimeoutsChanged());
  EXPECT_EQ(port.State().Flags & DCB_fParity, DCB_fParity);  // parity implies the parity flag

  COMMTIMEOUTS device{};
  ASSERT_TRUE(GetCommTimeouts(port.Handle(), &device));
  EXPECT_EQ(device.ReadTotalTimeoutConstant, 40u);
  EXPECT_EQ(device.ReadIntervalTimeout, MAXDWORD);

  // A reopened handle gets the time-outs again.
  port.Close();
  port.Open({paRead, paWrite});
  ASSERT_TRUE(GetCommTimeouts(port.Handle(), &device));
  EXPECT_EQ(device.ReadTotalTimeoutConstant, 40u);
  EXPECT_EQ(port.CurrentRxQueue(), 4096u);
}

TEST(ComPortSettings, UnacceptableTextChangesNothing) {
  ScriptedPort far;
  TComPort port(far.Name(), {paRead, paWrite});
  port.SetSettings("baud=9600 parity=N data=8 stop=1");
  EXPECT_EQ(port.Settings(), "baud=9600 parity=N data=8 stop=1");
  EXPECT_EQ(port.BaudRate(), 9600);
  const size_t settingsSeen = far.Script().settings.size();
  const int linesSeen = far.Script().lineChanges;

  EXPECT_NO_THROW(port.SetSettings("baud=quick"));
  EXPECT_NO_THROW(port.SetSettings("9600,q,8,1"));
  EXPECT_EQ(port.Settings(), "baud=9600 parity=N data=8 stop=1");
  EXPECT_EQ(port.BaudRate(), 9600);
  EXPECT_EQ(far.Script().settings.size(), settingsSeen);
  EXPECT_EQ(far.Script().lineChanges, linesSeen);
  EXPECT_EQ(GetLastError(), 0u);

  port.SetSettings("19200,n,8,1");
  EXPECT_EQ(far.Script().settings.back().baudRate, 19200u);
}

TEST(ComPortSettings, UpdatesAreDeferredUntilTheOutermostEnd) {
  ScriptedPort far;
  TComPort port(far.Name(), {paRead, paWrite});
  const size_t before = far.Script().settings.size();
  port.BeginUpdate();
  port.BeginUpdate();
  port.SetBaudRate(19200);
  port.SetByteSize(7);
  port.EndUpdate();
  EXPECT_EQ(far.Script().settings.size(), before);
  EXPECT_TRUE(port.DCBChanged());
  port.EndUpdate();
  ASSERT_EQ(far.Script().settings.size(), before + 1);
  EXPECT_EQ(far.Script().settings.back().baudRate, 19200u);
  EXPECT_EQ(far.Script().settings.back().byteSize, 7);
  port.EndUpdate();  // unbalanced: nothing happens
  port.SetBaudRate(19200);  // same value: no change recorded
  EXPECT_EQ(far.Script().settings.size(), before + 1);
  EXPECT_FALSE(port.DCBChanged());
}

TEST(ComPortSettings, ApplySettingsOrderDecidesOverlappingFields) {
  TComPort port("COM9", {});
  TComSettings s = PortDefaultSettings();
  s.CtsWrite = true;
  s.OutxCtsFlow = false;
  s.RtsToggle = true;
  s.RtsControl = RTS_CONTROL_ENABLE;
  s.Parity = ODDPARITY;
  s.ParityCheck = false;
  s.DtrControl = DTR_CONTROL_HANDSHAKE;
  s.RaiseOnError = true;
  s.BaudRate = 57600;
  port.ApplySettings(s);
  const DWORD flags = port.State().Flags;
  EXPECT_TRUE(port.CtsWrite());
  EXPECT_EQ(flags & DCB_fOutxCtsFlow, 0u);
  EXPECT_TRUE(port.RtsToggle());
  EXPECT_EQ((flags & DCB_fRtsControl) >> 12, RTS_CONTROL_ENABLE);
  EXPECT_EQ(port.State().Parity, ODDPARITY);
  EXPECT_EQ(flags & DCB_fParity, 0u);
  EXPECT_EQ((flags & DCB_fDtrControl) >> 4, DTR_CONTROL_HANDSHAKE);
  EXPECT_TRUE(port.RaiseOnError());
  EXPECT_EQ(port.BaudRate(), 57600);

  s.DtrControl = 4;  // does not fit its two bits
  EXPECT_THROW(port.ApplySettings(s), platform::Exception);
  EXPECT_EQ((port.State().Flags & DCB_fDtrControl) >> 4, DTR_CONTROL_HANDSHAKE);
  port.SetBaudRate(1200);  // the failed call left no update open
  EXPECT_EQ(port.BaudRate(), 1200);
}

TEST(ComPortErrorText, DecodeJoinsTextsInTableOrder) {
  TCommErrors found;
  std::string text;
  DecodeCommErrors(CE_RXPARITY | CE_FRAME, found, text);
  EXPECT_EQ(found, (TCommErrors{ceFrame, ceRxParity}));
  EXPECT_EQ(text, std::string(kFrameText) + "\r\n" + kParityText);

  DecodeCommErrors(0xFFFF, found, text);
  EXPECT_EQ(found.Bits(), 0xFFu);
  EXPECT_EQ(text, std::string(kBreakText) + "\r\n" + kFrameText + "\r\n" +
                      "C03-An I/O error occurred during communications with the device.\r\n"
                      "C04-The requested mode is not supported, or the hFile parameter is invalid. If this "
                      "value is specified, it is the only valid error.\r\n"
                      "C05-A character-buffer overrun has occurred. The next character is lost.\r\n"
                      "C06-An input buffer overflow has occurred. There is either no room in the input "
                      "buffer, or a character was received after the end-of-file (EOF) character.\r\n" +
                      kParityText + "\r\n" +
                      "C08-The application tried to transmit a character, but the output buffer was full.");

  DecodeCommErrors(0x0020, found, text);  // a bit without a row
  EXPECT_TRUE(found.Empty());
  EXPECT_EQ(text, "");
}

class ComPortErrors : public ::testing::Test {
 protected:
  void Inject(DWORD bits) {
    far.Script().WithLine([&](platform::IVirtualLine& l) { l.InjectErrors(bits); });
  }
  ScriptedPort far;
  TComPort port{far.Name(), {paRead, paWrite}};
};

TEST_F(ComPortErrors, BreakWithoutHandlerIsClearedOrRaised) {
  port.SetRaiseOnError(false);
  Inject(CE_BREAK);
  EXPECT_NO_THROW(port.CheckErrors());
  EXPECT_NO_THROW(port.CheckErrors());  // cleared, not pending

  port.SetRaiseOnError(true);
  Inject(CE_BREAK);
  try {
    port.CheckErrors();
    FAIL() << "no ECommAbort";
  } catch (const ECommAbort& e) {
    EXPECT_EQ(e.Message(), kBreakText);
    EXPECT_EQ(e.Errors, TCommErrors{ceBreak});
  }
  EXPECT_NO_THROW(port.CheckErrors());
}

TEST_F(ComPortErrors, HandlerDecidesAndMayRewriteTheText) {
  std::vector<TCommErrors> seen;
  port.SetRaiseOnError(false);
  port.SetOnError([&](TComPort* sender, TCommErrors errors, std::string& text, bool& abort) {
    EXPECT_EQ(sender, &port);
    EXPECT_FALSE(abort);  // starts as the port's default
    seen.push_back(errors);
    text = "line trouble: " + text;
    abort = true;
  });
  Inject(CE_FRAME | CE_RXPARITY);
  try {
    port.CheckErrors();
    FAIL() << "no ECommAbort";
  } catch (const ECommAbort& e) {
    EXPECT_EQ(e.Message(), std::string("line trouble: ") + kFrameText + "\r\n" + kParityText);
    EXPECT_EQ(e.Errors, (TCommErrors{ceFrame, ceRxParity}));
  }
  ASSERT_EQ(seen.size(), 1u);

  // A word of unknown bits still reaches the handler, with an empty set and text.
  port.SetRaiseOnError(true);
  port.SetOnError([&](TComPort*, TCommErrors errors, std::string& text, bool& abort) {
    EXPECT_TRUE(errors.Empty());
    EXPECT_EQ(text, "");
    EXPECT_TRUE(abort);
    abort = false;
  });
  Inject(0x0020);
  EXPECT_NO_THROW(port.CheckErrors());
}

TEST_F(ComPortErrors, ErrorsInsideTheHandlerAreClearedNotReported) {
  int calls = 0;
  port.SetRaiseOnError(true);
  port.SetOnError([&](TComPort* sender, TCommErrors, std::string&, bool& abort) {
    ++calls;
    Inject(CE_OVERRUN);
    EXPECT_NO_THROW(sender->HasInput());  // nested check: cleared, no second call, no raise
    abort = false;
    if (calls >= 2) throw std::runtime_error("handler failed");
  });
  Inject(CE_BREAK);
  port.CheckErrors();
  EXPECT_EQ(calls, 1);
  EXPECT_NO_THROW(port.CheckErrors());  // the nested error was dropped

  // A handler that raises leaves the port able to report the next error.
  Inject(CE_BREAK);
  EXPECT_THROW(port.CheckErrors(), std::runtime_error);
  Inject(CE_BREAK);
  EXPECT_THROW(port.CheckErrors(), std::runtime_error);
  EXPECT_EQ(calls, 3);
}

TEST(ComPortTransfer, ReadTextTakesOnlyWhatIsQueued) {
  ScriptedPort far;
  TComPort port(far.Name(), {paRead, paWrite});
  std::string s = "stale";
  port.ReadText(MAXDWORD, s);
  EXPECT_EQ(s, "");
  EXPECT_FALSE(port.HasInput());

  far.Script().Send("Y1:1234\r\nY3:4000000\r\n");
  EXPECT_TRUE(port.HasInput());
  EXPECT_EQ(port.InQueue(), 21u);
  port.ReadText(3, s);
  EXPECT_EQ(s, "Y1:");
  port.ReadText(MAXDWORD, s);
  EXPECT_EQ(s, "1234\r\nY3:4000000\r\n");  // CR and LF pass unchanged

  EXPECT_EQ(port.WriteText("?\rH\r"), 4u);
  EXPECT_EQ(far.Script().Received(), "?\rH\r");
}

TEST(ComPortTransfer, TransferTimeIsTenBitsPerByte) {
  TComPort port("COM9", {});
  EXPECT_EQ(port.TransferTime(4096), 355u);  // 115200 baud
  port.SetBaudRate(9600);
  EXPECT_EQ(port.TransferTime(96), 100u);
  EXPECT_EQ(port.TransferTime(0xFFFFFFFFu), 0xFFFFFFFFu);  // saturates instead of wrapping
  port.SetBaudRate(0);
  EXPECT_EQ(port.TransferTime(100), 0u);
}

TEST(ComPortTransfer, RtsToggleFramesEveryWrite) {
  ScriptedPort far;
  TComPort port(far.Name(), {paRead, paWrite});
  TComSettings s = PortDefaultSettings();
  s.RtsControl = RTS_CONTROL_ENABLE;
  port.ApplySettings(s);
  port.SetRtsToggle(true);
  EXPECT_EQ(port.State().Flags & DCB_fRtsControl, 0u);
  port.SetRTS(false);
  port.WriteText("ab");
  port.WriteText("c");
  auto& script = far.Script();
  {
    std::lock_guard<std::mutex> lock(script.mutex);
    ASSERT_EQ(script.rtsAtReceive.size(), 2u);
    EXPECT_TRUE(script.rtsAtReceive[0]);
    EXPECT_TRUE(script.rtsAtReceive[1]);
  }
  bool rtsNow = true;
  script.WithLine([&](platform::IVirtualLine& l) { rtsNow = l.HostRts(); });
  EXPECT_FALSE(rtsNow);
}

// Each byte waits for a CTS change: no two bytes may arrive within one CTS pulse.
TEST(ComPortTransfer, CtsWriteSendsOneBytePerCtsChange) {
  ScriptedPort far;
  TComPort port(far.Name(), {paRead, paWrite});
  port.SetCtsWrite(true);
  EXPECT_EQ(port.State().Flags & DCB_fOutxCtsFlow, DCB_fOutxCtsFlow);
  std::atomic<bool> done{false};
  std::atomic<int> pulses{0};
  std::vector<int> pulseAtByte;
  std::thread clock([&] {
    while (!done.load()) {
      far.Script().WithLine([&](platform::IVirtualLine& l) {
        std::lock_guard<std::mutex> lock(far.Script().mutex);
        pulseAtByte.resize(far.Script().received.size(), -1);
        for (int& p : pulseAtByte)
          if (p < 0) p = pulses.load();
        l.SetCts(false);
        l.SetCts(true);
        ++pulses;
      });
      Sleep(3);
    }
  });
  const DWORD written = port.WriteText("12345");
  done = true;
  clock.join();
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(far.Script().Received(), "12345");
  {
    std::lock_guard<std::mutex> lock(far.Script().mutex);
    pulseAtByte.resize(far.Script().received.size(), pulses.load());
  }
  for (size_t i = 1; i < pulseAtByte.size(); ++i) EXPECT_LT(pulseAtByte[i - 1], pulseAtByte[i]) << i;
  EXPECT_EQ(port.Write(nullptr, 0), 0u);
}

TEST(ComPortControl, EventsBreakAndModemLines) {
  ScriptedPort far;
  TComPort port(far.Name(), {paRead, paWrite});
  const DWORD start = GetTickCount();
  EXPECT_FALSE(port.WaitEvent({evRxChar, evBreak}, 0));
  EXPECT_LT(GetTickCount() - start, 1000u);  // returned, did not block for an event

  far.Script().Send("x");
  EXPECT_TRUE(port.WaitEvent({evRxChar}, 5000));

  port.SetDTR(true);
  port.SetRTS(true);
  port.SetDTR(false);
  port.SendBreak(2);
  const auto events = far.Script().Events();
  const std::vector<std::string> tail(events.end() - 5, events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"dtr:1", "rts:1", "dtr:0", "break:on", "break:off"}));
}

TEST(ComPortClosed, CallsThatNeedTheDeviceSayPortIsNotOpen) {
  TComPort port("TXNOWHERE", {});
  auto expectNotOpen = [](auto call) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const ECommAbort&) {
      ADD_FAILURE() << "ECommAbort instead of the base exception";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.Message(), "Port is not open");
    }
  };
  BYTE b = 0;
  std::string s;
  expectNotOpen([&] { port.SetDTR(true); });
  expectNotOpen([&] { port.SetRTS(false); });
  expectNotOpen([&] { port.Read(&b, 1); });
  expectNotOpen([&] { port.Write(&b, 1); });
  expectNotOpen([&] { port.ReadText(10, s); });
  expectNotOpen([&] { port.WriteText("x"); });
  expectNotOpen([&] { port.SendBreak(2); });
  expectNotOpen([&] { port.WaitEvent({evCTS}, 0); });

  EXPECT_NO_THROW(port.Purge({puRxClear}));
  EXPECT_NO_THROW(port.ApplyState());
  EXPECT_NO_THROW(port.ApplyTimeouts());
  EXPECT_NO_THROW(port.SetBaudRate(300));
  EXPECT_NO_THROW(port.ClearErrors());
  EXPECT_FALSE(port.HasInput());
  EXPECT_THROW(port.CheckErrors(), platform::EOSError);
}

TEST(ComPortClosed, FailedOpenLeavesThePortClosed) {
  TComPort port("TXNOWHERE", {});
  try {
    port.Open({paRead, paWrite});
    FAIL() << "opened a port that does not exist";
  } catch (const platform::EOSError& e) {
    EXPECT_EQ(e.Message().rfind("System Error.  Code: ", 0), 0u) << e.Message();
    // ... and then what the name was taken for, so that a typing error shows.
    EXPECT_NE(e.Message().find("\r\n'TXNOWHERE' is neither a virtual sampler"), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(port.IsOpen());

  ScriptedPort far;
  TComPort a(far.Name(), {paRead, paWrite});
  EXPECT_THROW(TComPort(far.Name(), {paRead}), platform::EOSError);  // exclusive
  a.Open({paRead, paWrite});  // reopening an open port closes it first
  EXPECT_TRUE(a.IsOpen());
}

}  // namespace
}  // namespace transport
