// The device model on a hand-driven line: commands and replies, each mode's
// stream, the ends of a data phase, the receiver test and the faults.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "FakeLine.h"
#include "protocol/SAdapters.h"
#include "sim/SimDevice.h"

using namespace simtest;
using sim::SimDevice;
using sim::SimProfile;
using sim::SimState;

namespace {

const char kY4Default[] = "Y4:baud=115200 parity=N data=8 stop=1 dtr=on\r\n";

SimProfile Named(const char* name) {
  const SimProfile* p = sim::FindProfile(name);
  EXPECT_NE(p, nullptr) << name;
  return p ? *p : SimProfile{};
}

struct Rig {
  explicit Rig(SimProfile profile, sim::SimOptions options = sim::FastOptions())
      : device(std::move(profile), options), line(device) {}
  // The host's exchange: write, then what arrived within the reply window.
  std::string Ask(const std::string& command) {
    line.Write(command);
    line.Wait(60000);
    return line.TakeText();
  }
  // A start command answered, DTR raised by the host's reading thread.
  void StartStream(const std::string& command) {
    ASSERT_EQ(Ask(command), kY4Default);
    line.SetDtr(true);
  }
  std::vector<BYTE> Values() {
    std::vector<BYTE> v;
    for (const auto& b : line.TakeBytes()) v.push_back(b.value);
    return v;
  }
  SimDevice device;
  FakeLine line;
};

SimProfile WithSignal(SimProfile p, sim::SignalSource s) {
  p.signal = std::move(s);
  return p;
}

}  // namespace

// --- identification ---------------------------------------------------------

TEST(SimIdentification, EveryProfileIsDetectedByTheHostInEveryByteOrder) {
  for (const auto& named : sim::Profiles()) {
    if (!named.attached || !named.rules.empty()) continue;
    for (WORD order : {1234, 2143, 4321}) {
      SimProfile p = named;
      p.byteOrder = order;
      if (order != 1234) p.reportsByteOrder = true;  // without Y1 the host assumes 1234
      Rig rig(p);
      std::string reply = rig.Ask("?\rH\r");
      SCOPED_TRACE(p.portName + " " + std::to_string(order) + ": " + reply);
      auto adapter = protocol::TSampler::CreateAdapter(reply);
      ASSERT_TRUE(adapter);
      auto* compatible = dynamic_cast<protocol::TCompatibleSampler*>(adapter.get());
      if (p.portName == "SIM-UNKNOWN") {
        EXPECT_EQ(compatible, nullptr);
        EXPECT_EQ(adapter->Identity, p.banner);
        continue;
      }
      ASSERT_NE(compatible, nullptr);
      const uint8_t kinds[] = {protocol::hkQUELM, protocol::hkVOKTAR, protocol::hkDELMORA, protocol::hkMIRSOL};
      const char* names[] = {"QUELM", "VOKTAR", "DELMORA", "MIRSOL"};
      uint8_t expectedKind = protocol::hkUnknown;
      for (int k = 0; k < 4; ++k)
        if (p.banner.rfind(names[k], 0) == 0) expectedKind = kinds[k];
      EXPECT_EQ(adapter->GetHardwareKind(), expectedKind);
      EXPECT_EQ(adapter->ByteOrder, order);
      EXPECT_EQ(adapter->Frequency, p.frequency);
      ASSERT_EQ(compatible->Capabilities.size(), p.capabilities.size());
      for (size_t i = 0; i < p.capabilities.size(); ++i) {
        const auto& want = p.capabilities[i];
        const auto& got = compatible->Capabilities[i];
        EXPECT_EQ(got.Letter, static_cast<uint8_t>(want.letter));
        EXPECT_EQ(got.Param1, want.param1) << want.letter;
        EXPECT_EQ(got.Param2, want.param2.value_or(0)) << want.letter;
      }
    }
  }
}

TEST(SimIdentification, BannersNameTheirKindAndTheCompatibleDeviceSendsOneLine) {
  EXPECT_EQ(Rig(Named("SIM")).Ask("?\rH\r"),
            "QUELM1 pulse sampler v2.1 (virtual)\r\nY1:1234\r\n"
            "Y2:S10 X10 M10 J10(21) r oF0(B0) O30(C0) U(30)\r\nY3:20MHz\r\n");
  EXPECT_EQ(Rig(Named("SIM-COMPAT")).Ask("?\rH\r"), "Y2-C:S10 X r\r\n");
  for (const char* name : {"SIM-QUELM", "SIM-VOKTAR", "SIM-DELMORA", "SIM-MIRSOL"}) {
    std::string banner = Named(name).banner;
    EXPECT_GE(banner.size(), 9u) << name;
    EXPECT_EQ(Rig(Named(name)).Ask("?\rH\r").rfind(banner + "\r\n", 0), 0u) << name;
  }
}

TEST(SimIdentification, BrokenDeviceReportsAnUnrecoverableError) {
  Rig rig(Named("SIM-BROKEN"));
  try {
    protocol::TSampler::CreateAdapter(rig.Ask("?\rH\r"));
    FAIL() << "no error raised";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.Message(), "N1 Oscillator failure");
  }
}

TEST(SimIdentification, NothingAttachedMeansNoCtsAndNoAnswer) {
  Rig rig(Named("SIM-SILENT"));
  EXPECT_FALSE(rig.line.cts);
  EXPECT_EQ(rig.Ask("?\rH\r"), "");
  Rig present(Named("SIM"));
  EXPECT_TRUE(present.line.cts);
  EXPECT_TRUE(present.line.dsr);
}

// --- commands ---------------------------------------------------------------

TEST(SimCommands, AttentionRateAndPinCommandsAreAnsweredWithNothing) {
  Rig rig(Named("SIM"));
  EXPECT_EQ(rig.Ask("?\r"), "");
  EXPECT_EQ(rig.Ask("\r"), "");
  EXPECT_EQ(rig.Ask("r40\r"), "");  // byte order 1234: low nibble first
  EXPECT_EQ(rig.device.Divisor(), 0x04);
  EXPECT_EQ(rig.Ask("rF1\r"), "");
  EXPECT_EQ(rig.device.Divisor(), 0x1F);
  EXPECT_EQ(rig.Ask("oFF\r"), "");
  EXPECT_EQ(rig.device.Pins('o'), 0x0F);  // only the pins that exist
  EXPECT_EQ(rig.Ask("O30\r"), "");
  EXPECT_EQ(rig.device.Pins('O'), 0x03);

  Rig swapped(Named("SIM-QUELM"));  // 4321: high nibble first
  EXPECT_EQ(swapped.Ask("r1F\r"), "");
  EXPECT_EQ(swapped.device.Divisor(), 0x1F);
}

TEST(SimCommands, BadCommandsGetQClassLines) {
  Rig rig(Named("SIM"));
  EXPECT_EQ(rig.Ask("Z\r"), "Q1 Unknown command: Z\r\n");
  EXPECT_EQ(rig.Ask("r4\r"), "Q2 Bad parameter: r4\r\n");
  EXPECT_EQ(rig.Ask("rXY\r"), "Q2 Bad parameter: rXY\r\n");
  EXPECT_EQ(rig.Ask("S2\r"), "Q2 Bad parameter: S2\r\n");
  EXPECT_EQ(rig.Ask("U04\r"), "Q2 Bad parameter: U04\r\n");  // step 4 above the highest, 3
  EXPECT_EQ(rig.Ask(std::string(100, 'r') + "\r").rfind("Q2 Bad parameter: ", 0), 0u);
  EXPECT_EQ(rig.device.State(), SimState::Command);

  Rig voktar(Named("SIM-VOKTAR"));
  EXPECT_EQ(voktar.Ask("X0\r"), "Q3 Not supported: X0\r\n");
  EXPECT_EQ(voktar.Ask("U00\r"), "Q3 Not supported: U00\r\n");
  Rig delmora(Named("SIM-DELMORA"));
  EXPECT_EQ(delmora.Ask("S1\r"), "Q3 Not supported: S1\r\n");  // no start on activity
}

TEST(SimCommands, HostStartCommandInOneWriteIsAnsweredOnceWithY4) {
  Rig rig(Named("SIM"));
  auto adapter = protocol::TSampler::CreateAdapter(rig.Ask("?\rH\r"));
  adapter->SetMode(1);
  adapter->SetRate(1000000);
  adapter->SetCapabilityBool(80, true);
  adapter->SetCapabilityBool(81, true);
  adapter->SetCapabilityBool(101, true);
  std::string command = adapter->BuildStartCommand(protocol::skCarriageReturn);
  ASSERT_EQ(command, "r40\ro30\rS1\r");
  std::string reply = rig.Ask(command);
  EXPECT_EQ(reply, kY4Default);
  EXPECT_EQ(adapter->ParseCommandResponse(reply), "baud=115200 parity=N data=8 stop=1 dtr=on");
  EXPECT_EQ(rig.device.Divisor(), 4);
  EXPECT_EQ(rig.device.Pins('o'), 0x03);
  EXPECT_EQ(rig.device.State(), SimState::Armed);
}

TEST(SimCommands, SemicolonSeparatesCommandsAsTheDefaultCustomCommandShowsThem) {
  Rig rig(Named("SIM"));
  EXPECT_EQ(rig.Ask("r40;S0;"), kY4Default);
  EXPECT_EQ(rig.device.Divisor(), 4);
}

TEST(SimCommands, AnotherDataBaudRateIsAnnouncedAndUsed) {
  Rig rig(Named("SIM-QUELM"));
  EXPECT_EQ(rig.Ask("r04\rS0\r"), "Y4:baud=230400 parity=N data=8 stop=1 dtr=on\r\n");
  rig.line.SetDtr(true);
  rig.line.Wait(5000);
  auto bytes = rig.line.TakeBytes();
  ASSERT_FALSE(bytes.empty());
  for (const auto& b : bytes) EXPECT_EQ(b.framing.baudRate, 230400u);
  rig.line.SetDtr(false);
  EXPECT_EQ(rig.Ask("r04\r"), "");  // back at the command settings
  EXPECT_EQ(rig.device.State(), SimState::Command);
}

TEST(SimCommands, HostAtOtherSettingsIsNotUnderstood) {
  Rig rig(Named("SIM"));
  LineSettings slow;
  slow.baudRate = 9600;
  rig.line.SetHostSettings(slow);
  EXPECT_EQ(rig.Ask("?\rH\r"), "");
  rig.line.SetHostSettings(LineSettings{});
  EXPECT_NE(rig.Ask("?\rH\r"), "");
}

// --- streams ----------------------------------------------------------------

TEST(SimStream, NothingFlowsBeforeDtrNorInsideTheReplyWindow) {
  Rig rig(Named("SIM"));
  EXPECT_EQ(rig.Ask("S0\r"), kY4Default);
  rig.line.Wait(500000);
  EXPECT_EQ(rig.line.TakeText(), "");
  rig.line.SetDtr(true);
  rig.line.Wait(10000);
  EXPECT_FALSE(rig.line.TakeBytes().empty());

  // DTR already high when the command comes: the stream waits past the reply window.
  Rig held(Named("SIM"));
  held.line.SetDtr(true);
  held.line.Write("S0\r");
  held.line.Wait(60000);
  auto reply = held.line.TakeBytes();
  held.line.Wait(100000);
  auto stream = held.line.TakeBytes();
  ASSERT_FALSE(reply.empty());
  ASSERT_FALSE(stream.empty());
  EXPECT_GE(stream.front().notBefore, reply.back().notBefore + 100000);
}

TEST(SimStream, SoleChannelPacksEightSamplesEarliestInBitSeven) {
  sim::SignalSource s;
  s.input[0] = sim::InputPattern{false, 3, {5, 11}, true};  // high at ticks 3-7, 19-23, 35-39 ...
  Rig rig(WithSignal(Named("SIM"), s));
  EXPECT_EQ(rig.Ask("r00\r"), "");
  rig.StartStream("S0\r");
  rig.line.Wait(2000);
  auto v = rig.Values();
  ASSERT_GE(v.size(), 4u);
  EXPECT_EQ(std::vector<BYTE>(v.begin(), v.begin() + 4), (std::vector<BYTE>{0x1F, 0x00, 0x1F, 0x00}));

  Rig slower(WithSignal(Named("SIM"), s));
  EXPECT_EQ(slower.Ask("r10\r"), "");  // divisor 1: a sample every second tick
  slower.StartStream("S0\r");
  slower.line.Wait(2000);
  v = slower.Values();
  ASSERT_GE(v.size(), 2u);
  EXPECT_EQ(v[0], 0x30);  // ticks 0 2 4 6 8 10 12 14: low low high high low ...
  EXPECT_EQ(v[1], 0x30);  // ticks 16 18 20 22 24 ..: low low high high low ...
}

TEST(SimStream, DualChannelDealsBytesAlternatelyToTheInputs) {
  sim::SignalSource s;
  s.input[0] = sim::InputPattern{true, 0, {}, true};
  s.input[1] = sim::InputPattern{false, 12, {}, true};  // high from tick 12 on
  Rig rig(WithSignal(Named("SIM"), s));
  rig.StartStream("X0\r");
  rig.line.Wait(3000);
  auto v = rig.Values();
  ASSERT_GE(v.size(), 6u);
  EXPECT_EQ(std::vector<BYTE>(v.begin(), v.begin() + 6), (std::vector<BYTE>{0xFF, 0x00, 0xFF, 0x0F, 0xFF, 0xFF}));
}

TEST(SimStream, ContentMatchesTheExpectedStreamOfEachMode) {
  struct Case {
    const char* command;
    sim::StreamMode mode;
    bool onActivity;
  };
  for (Case c : {Case{"S0\r", sim::StreamMode::Sole, false}, Case{"S1\r", sim::StreamMode::Sole, true},
                 Case{"X1\r", sim::StreamMode::Dual, true}, Case{"M10\r", sim::StreamMode::Timing, true}}) {
    SCOPED_TRACE(c.command);
    Rig rig(Named("SIM"));
    EXPECT_EQ(rig.Ask("rF0\r"), "");  // divisor 15
    rig.StartStream(c.command);
    rig.line.Wait(200000);
    auto v = rig.Values();
    ASSERT_GT(v.size(), 100u);
    sim::StreamSpec spec;
    spec.mode = c.mode;
    spec.divisor = c.mode == sim::StreamMode::Timing ? 0 : 15;
    spec.onActivity = c.onActivity;
    EXPECT_EQ(v, sim::ExpectedStream(sim::DefaultSignal(), spec, v.size()));
  }
}

TEST(SimStream, TimingModeSendsCountsBetweenLevelChanges) {
  Rig rig(Named("SIM"));  // 1234: low byte first
  rig.StartStream("M10\r");  // on activity: counting starts at the first edge
  rig.line.Wait(20000);
  auto v = rig.Values();
  ASSERT_GE(v.size(), 4u);
  EXPECT_EQ(std::vector<BYTE>(v.begin(), v.begin() + 4), (std::vector<BYTE>{0xC4, 0x09, 0xDC, 0x05}));  // 2500, 1500

  SimProfile big = Named("SIM-QUELM");  // 4321: high byte first, and no M of its own
  big.capabilities.push_back({'M', 0});
  Rig immediate(big);
  EXPECT_EQ(immediate.Ask("M00\r"), "Y4:baud=230400 parity=N data=8 stop=1 dtr=on\r\n");
  immediate.line.SetDtr(true);
  immediate.line.Wait(2000);
  v = immediate.Values();
  ASSERT_GE(v.size(), 2u);
  EXPECT_EQ(v[0], 0x03);  // the lead-in of 1000 ticks
  EXPECT_EQ(v[1], 0xE8);
}

TEST(SimStream, TimingCounterOverflowSendsZeros) {
  Rig rig(WithSignal(Named("SIM"), sim::IdleSignal()));
  rig.StartStream("M00\r");
  rig.line.Wait(40000);  // 65536 ticks at 20 MHz take 13.1 ms
  auto v = rig.Values();
  ASSERT_EQ(v.size(), 6u);
  for (BYTE b : v) EXPECT_EQ(b, 0);
}

TEST(SimStream, TimingModeUsesTheReceiverStepForItsLine) {
  Rig rig(Named("SIM"));
  EXPECT_EQ(rig.Ask("M12\r"), "Y4:baud=460800 parity=N data=8 stop=1 dtr=on\r\n");  // byte 0x21 in 1234
  EXPECT_EQ(rig.Ask("M14\r"), "Q2 Bad parameter: M14\r\n");  // step 4 is beyond the device
}

TEST(SimStream, RateFollowsTheDivisorAndNeverExceedsTheLine) {
  Rig slow(Named("SIM"));
  EXPECT_EQ(slow.Ask("rFF\r"), "");  // divisor 255: a byte every 8 * 256 ticks of 0.2 us
  slow.StartStream("S0\r");
  slow.line.Wait(100000);
  auto bytes = slow.line.TakeBytes();
  ASSERT_GT(bytes.size(), 100u);
  double span = static_cast<double>(bytes.back().notBefore - bytes.front().notBefore) / (bytes.size() - 1);
  EXPECT_NEAR(span, 409.6, 1.0);

  Rig fast(Named("SIM"));
  EXPECT_EQ(fast.Ask("r00\r"), "");  // 5 Msamples/s: more than 115200 baud carries
  fast.StartStream("S0\r");
  fast.line.Wait(100000);
  bytes = fast.line.TakeBytes();
  ASSERT_GT(bytes.size(), 100u);
  span = static_cast<double>(bytes.back().notBefore - bytes.front().notBefore) / (bytes.size() - 1);
  EXPECT_NEAR(span, 1e7 / 115200, 0.5);  // ten bits a byte
}

TEST(SimStream, StartOnActivityWaitsForTheFirstEdge) {
  sim::SignalSource s;
  s.input[0] = sim::InputPattern{false, 50000, {}, true};  // rises after 10 ms
  Rig rig(WithSignal(Named("SIM"), s));
  EXPECT_EQ(rig.Ask("rFF\r"), "");
  rig.StartStream("S1\r");
  rig.line.Wait(9000);
  EXPECT_TRUE(rig.line.TakeBytes().empty());
  rig.line.Wait(10000);
  auto v = rig.Values();
  ASSERT_FALSE(v.empty());
  EXPECT_EQ(v[0], 0xFF);

  Rig idle(WithSignal(Named("SIM"), sim::IdleSignal()));
  idle.StartStream("S1\r");
  idle.line.Wait(300000);
  EXPECT_TRUE(idle.line.TakeBytes().empty());
  EXPECT_EQ(idle.device.State(), SimState::Streaming);
}

// A port sleeps until the device's NextDue when its line is quiet, so the
// device must never act (send, break, change state) before the time it gave.
// Returns how many steps had nothing due within them.
size_t CheckNothingHappensBeforeItIsDue(Rig& rig, Micros span, Micros step = 50) {
  size_t quietSteps = 0;
  for (Micros waited = 0; waited < span; waited += step) {
    const Micros now = rig.line.Now();
    const Micros due = rig.device.NextDue(now);
    const size_t actions = rig.line.actions;
    const SimState state = rig.device.State();
    rig.line.Wait(step);
    if (rig.line.actions != actions || rig.device.State() != state) {
      EXPECT_LE(due, now + step) << "state " << static_cast<int>(state) << " at " << now;
      if (due > now + step) return quietSteps;
    } else if (due > now + step) {
      ++quietSteps;
    }
  }
  return quietSteps;
}

TEST(SimStream, NextDueIsNeverLaterThanWhatTheDeviceDoes) {
  {
    Rig rig(Named("SIM"));  // a buffered run: stream, quiet time, break, handshake given up
    EXPECT_EQ(rig.device.NextDue(rig.line.Now()), platform::kNoTimeDue);  // commands come from the host
    EXPECT_EQ(rig.Ask("J0\r"), kY4Default);
    EXPECT_EQ(rig.device.NextDue(rig.line.Now()), platform::kNoTimeDue);  // waits for DTR
    rig.line.SetDtr(true);
    EXPECT_GT(CheckNothingHappensBeforeItIsDue(rig, 2500000), 1000u);
    EXPECT_EQ(rig.device.State(), SimState::Command);
  }
  {
    Rig rig(Named("SIM-SHORT"));  // DTR held before the command; a run that ends by its length
    rig.line.SetDtr(true);
    rig.line.Write("S0\r");
    CheckNothingHappensBeforeItIsDue(rig, 400000);
    EXPECT_EQ(rig.line.breaks.size(), 2u);
  }
  {
    Rig rig(Named("SIM"), sim::SimOptions{});  // real processing delays, timing mode at a slow rate
    EXPECT_EQ(rig.Ask("rFF\r"), "");
    rig.line.Write("M10\r");
    rig.line.SetDtr(true);
    CheckNothingHappensBeforeItIsDue(rig, 300000, 20);
    EXPECT_EQ(rig.device.State(), SimState::Streaming);
  }
  Rig idle(WithSignal(Named("SIM"), sim::IdleSignal()));
  idle.StartStream("S1\r");
  idle.line.Wait(300000);
  EXPECT_EQ(idle.device.State(), SimState::Streaming);
  EXPECT_EQ(idle.device.NextDue(idle.line.Now()), platform::kNoTimeDue);  // nothing will ever come
}

// --- ends of a data phase ---------------------------------------------------

TEST(SimEnd, DtrDropStopsTheStreamQuietly) {
  Rig rig(Named("SIM"));
  rig.StartStream("S0\r");
  rig.line.Wait(10000);
  EXPECT_FALSE(rig.line.TakeBytes().empty());
  rig.line.SetDtr(false);
  rig.line.Wait(100000);
  EXPECT_TRUE(rig.line.TakeBytes().empty());
  EXPECT_TRUE(rig.line.breaks.empty());
  EXPECT_EQ(rig.device.State(), SimState::Command);
  EXPECT_NE(rig.Ask("?\rH\r"), "");
}

TEST(SimEnd, HostBreakStopsAndTheMessageHandshakeFollows) {
  for (bool streamed : {true, false}) {
    SCOPED_TRACE(streamed);
    Rig rig(Named("SIM"));
    if (streamed) {
      rig.StartStream("S0\r");
      rig.line.Wait(10000);
    } else {
      EXPECT_EQ(rig.Ask("S0\r"), kY4Default);  // nothing arrived: DTR never rose
    }
    rig.line.TakeBytes();
    rig.line.HostBreak(true);
    rig.line.Wait(2000);
    rig.line.HostBreak(false);
    rig.line.SetDtr(false);
    rig.line.Wait(5000);
    EXPECT_EQ(rig.line.TakeText(), "");
    EXPECT_EQ(rig.device.State(), SimState::AwaitRts);
    rig.line.SetRts(true);
    rig.line.Wait(5000);
    EXPECT_EQ(rig.line.TakeText(), "Stopped .\r\n");
    rig.line.Write("\r");
    rig.line.SetRts(false);
    EXPECT_EQ(rig.device.State(), SimState::Command);
    EXPECT_EQ(rig.Ask("?\r"), "");
  }
}

TEST(SimEnd, BufferedRunEndsWithBreakMessageAndAcknowledgement) {
  Rig rig(Named("SIM"));  // J buffer 0x12 * 128 samples
  rig.StartStream("J0\r");
  rig.line.Wait(100000);
  auto data = rig.line.TakeBytes();
  EXPECT_EQ(data.size(), 0x12u * 128 / 8);
  ASSERT_EQ(rig.line.breaks.size(), 2u);
  EXPECT_TRUE(rig.line.breaks[0].on);
  EXPECT_GE(rig.line.breaks[0].at, data.back().notBefore + sim::FastOptions().closingQuiet);
  EXPECT_FALSE(rig.line.breaks[1].on);
  EXPECT_GT(rig.line.breaks[1].at, rig.line.breaks[0].at);
  EXPECT_EQ(rig.device.State(), SimState::AwaitRts);

  rig.line.SetDtr(false);  // the host's handshake: DTR low, then RTS high
  rig.line.Wait(5000);
  EXPECT_EQ(rig.device.State(), SimState::AwaitRts);
  Micros rtsAt = rig.line.Now();
  rig.line.SetRts(true);
  auto message = rig.line.TakeBytes();
  std::string text;
  for (const auto& b : message) text.push_back(static_cast<char>(b.value));
  EXPECT_EQ(text, "Buffer full .\r\n");
  ASSERT_FALSE(message.empty());
  EXPECT_LE(message.front().notBefore, rtsAt + 2000);
  EXPECT_EQ(message.front().framing, LineSettings{});
  EXPECT_EQ(rig.device.State(), SimState::AwaitAck);
  rig.line.Write("\r");
  EXPECT_EQ(rig.device.State(), SimState::Command);
}

TEST(SimEnd, RealTimingRepliesWellInsideTheWindowAndMessagesPromptly) {
  Rig rig(Named("SIM"), sim::SimOptions{});
  Micros sent = rig.line.Now();
  rig.line.Write("?\rH\r");
  rig.line.Wait(60000);
  auto reply = rig.line.TakeBytes();
  ASSERT_FALSE(reply.empty());
  EXPECT_GE(reply.front().notBefore, sent + 1000);   // the firmware takes a moment
  EXPECT_LE(reply.front().notBefore, sent + 10000);  // well inside the host's 60 ms

  rig.StartStream("J0\r");
  rig.line.Wait(700000);  // 25 ms of data, then the quiet time before the break
  rig.line.TakeBytes();
  ASSERT_EQ(rig.device.State(), SimState::AwaitRts);
  Micros rtsAt = rig.line.Now();
  rig.line.SetRts(true);
  rig.line.Wait(5000);  // the host reads 5 ms after raising RTS
  auto message = rig.line.TakeBytes();
  ASSERT_FALSE(message.empty());
  EXPECT_GE(message.front().notBefore, rtsAt + 500);
  EXPECT_LE(message.front().notBefore, rtsAt + 2000);
}

TEST(SimEnd, DtrDropDuringTheClosingQuietTimeEndsWithoutBreak) {
  Rig rig(Named("SIM"));
  rig.StartStream("J0\r");
  rig.line.Wait(30000);  // buffer sent (25 ms), break not yet due
  EXPECT_EQ(rig.device.State(), SimState::Closing);
  rig.line.SetDtr(false);
  rig.line.Wait(100000);
  EXPECT_TRUE(rig.line.breaks.empty());
  EXPECT_EQ(rig.device.State(), SimState::Command);
}

TEST(SimEnd, ProfileRunLengthEndsTheRun) {
  Rig rig(Named("SIM-SHORT"));
  rig.StartStream("S0\r");
  rig.line.Wait(200000);
  EXPECT_EQ(rig.line.TakeBytes().size(), 512u);
  EXPECT_EQ(rig.line.breaks.size(), 2u);
  rig.line.SetRts(true);
  EXPECT_EQ(rig.line.TakeText(), "Run complete .\r\n");
}

TEST(SimEnd, HandshakeGivesUpWhenTheHostNeverAnswers) {
  Rig rig(Named("SIM"));
  rig.StartStream("J0\r");
  rig.line.Wait(100000);
  EXPECT_EQ(rig.device.State(), SimState::AwaitRts);
  rig.line.Wait(sim::FastOptions().handshakeTimeout);
  EXPECT_EQ(rig.device.State(), SimState::Command);
  rig.line.TakeBytes();
  rig.line.SetRts(true);
  EXPECT_EQ(rig.line.TakeText(), "");
}

TEST(SimEnd, AHostByteBeforeTheStreamCancelsTheStart) {
  Rig rig(Named("SIM"));
  EXPECT_EQ(rig.Ask("S0\r"), kY4Default);
  EXPECT_EQ(rig.Ask("r40\r"), "");
  EXPECT_EQ(rig.device.State(), SimState::Command);
  EXPECT_EQ(rig.device.Divisor(), 4);
}

// --- receiver test ----------------------------------------------------------

TEST(SimReceiverTest, StepsAnswerTheirSettingsAndSendTheSequence) {
  Rig rig(Named("SIM"));  // steps 0-3, reliable up to 2
  for (unsigned step = 0; step <= 3; ++step) {
    SCOPED_TRACE(step);
    BYTE b = static_cast<BYTE>(step << 4);
    std::string reply = rig.Ask("U" + sim::ByteToHex(b, 1234) + "\r");
    DWORD baud = sim::ReceiverStepBaud(step);
    EXPECT_EQ(reply, "Y4:baud=" + std::to_string(baud) + " parity=N data=8 stop=1\r\n");
    rig.line.SetDtr(true);
    rig.line.Wait(30000);
    auto bytes = rig.line.TakeBytes();
    std::vector<BYTE> values;
    for (const auto& x : bytes) values.push_back(x.value);
    EXPECT_EQ(values, sim::ReceiverTestSequence());
    ASSERT_FALSE(bytes.empty());
    if (step <= 2)
      EXPECT_EQ(bytes.front().framing.baudRate, baud);
    else
      EXPECT_NE(bytes.front().framing.baudRate, baud);  // misframed: arrives damaged
    rig.line.SetDtr(false);
    EXPECT_EQ(rig.device.State(), SimState::Command);
  }
  EXPECT_GT(sim::ReceiverStepBaud(1), sim::ReceiverStepBaud(0));
  EXPECT_GT(sim::ReceiverStepBaud(7), sim::ReceiverStepBaud(6));
}

// --- faults -----------------------------------------------------------------

TEST(SimFaults, RulesRefuseSilenceDelayAndAddNoise) {
  Rig rig(Named("SIM"));
  rig.device.AddRule({"r*", std::vector<std::string>{"Q5 Rate refused"}, {}, {}, 1});
  EXPECT_EQ(rig.Ask("r40\r"), "Q5 Rate refused\r\n");
  EXPECT_EQ(rig.device.Divisor(), 0);  // a refused command has no effect
  EXPECT_EQ(rig.Ask("r40\r"), "");     // the rule was for one use
  EXPECT_EQ(rig.device.Divisor(), 4);

  rig.device.AddRule({"H", std::vector<std::string>{}, {}, {}, -1});
  EXPECT_EQ(rig.Ask("?\rH\r"), "");
  rig.device.ClearRules();

  rig.device.AddRule({"H", std::nullopt, 80000, "\xFE\x01", -1});
  Micros sent = rig.line.Now();
  rig.line.Write("H\r");
  rig.line.Wait(79000);
  EXPECT_TRUE(rig.line.TakeBytes().empty());
  rig.line.Wait(2000);
  auto bytes = rig.line.TakeBytes();
  ASSERT_GT(bytes.size(), 2u);
  EXPECT_GE(bytes.front().notBefore, sent + 80000);
  EXPECT_EQ(bytes[0].value, 0xFE);
  EXPECT_EQ(bytes[1].value, 0x01);
  EXPECT_EQ(bytes[2].value, 'Q');
}

TEST(SimFaults, SlowProfileAnswersAfterTheReplyWindow) {
  Rig rig(Named("SIM-SLOW"));
  EXPECT_EQ(rig.Ask("?\rH\r"), "");
  rig.line.Wait(30000);
  EXPECT_NE(rig.line.TakeText(), "");
}

TEST(SimFaults, LineErrorsBreakAndDisappearanceInAStream) {
  Rig rig(Named("SIM"));
  rig.device.InjectStreamErrors(10, CE_FRAME | CE_OVERRUN);
  rig.device.InjectStreamBreak(20, 4000);
  rig.device.DisappearAfter(40);
  rig.StartStream("S0\r");
  rig.line.Wait(100000);
  auto bytes = rig.line.TakeBytes();
  EXPECT_EQ(rig.line.injected, CE_FRAME | CE_OVERRUN);
  ASSERT_EQ(rig.line.breaks.size(), 2u);
  ASSERT_EQ(bytes.size(), 40u);
  EXPECT_GE(bytes[20].notBefore, rig.line.breaks[1].at);  // the stream resumes after the glitch
  EXPECT_TRUE(rig.line.disconnected);
  EXPECT_EQ(rig.device.State(), SimState::Gone);
  EXPECT_EQ(rig.Ask("?\rH\r"), "");
}

TEST(SimFaults, NoiseAndDisappearOnDemand) {
  Rig rig(Named("SIM"));
  rig.device.SendNoise(std::string("\x00\x7F", 2));
  EXPECT_EQ(rig.line.TakeText(), std::string("\x00\x7F", 2));
  rig.device.Disappear();
  EXPECT_TRUE(rig.line.disconnected);
  rig.line.Close();
  rig.device.Disappear();  // after the close: nothing to do, and no crash
  EXPECT_EQ(rig.device.State(), SimState::Gone);
}

// --- pseudo-terminal rule ---------------------------------------------------

TEST(SimPtyRule, StreamStartsAfterTheDelayAndStopsOnTheNextByte) {
  sim::SimOptions o = sim::FastOptions();
  o.lineSignals = false;
  Rig rig(Named("SIM"), o);
  EXPECT_EQ(rig.Ask("S0\r"), kY4Default);
  rig.line.Wait(80000);  // 140 ms after the reply: not yet
  EXPECT_TRUE(rig.line.TakeBytes().empty());
  rig.line.Wait(30000);
  EXPECT_FALSE(rig.line.TakeBytes().empty());
  rig.line.Write("?\rH\r");  // the host's next byte stops the stream and is read as a command
  rig.line.Wait(60000);
  std::string reply = rig.line.TakeText();
  EXPECT_EQ(reply.rfind("QUELM1", 0), 0u);
  EXPECT_EQ(rig.device.State(), SimState::Command);
  EXPECT_TRUE(rig.line.breaks.empty());
}

TEST(SimPtyRule, RunLengthEndsQuietly) {
  sim::SimOptions o = sim::FastOptions();
  o.lineSignals = false;
  o.ptyRunLength = 300;
  Rig rig(Named("SIM"), o);
  EXPECT_EQ(rig.Ask("J0\r"), kY4Default);  // the buffer (288 bytes) ends before the run length
  rig.line.Wait(400000);
  EXPECT_EQ(rig.line.TakeBytes().size(), 288u);
  EXPECT_TRUE(rig.line.breaks.empty());
  EXPECT_EQ(rig.device.State(), SimState::Command);
  EXPECT_EQ(rig.Ask("S0\r"), kY4Default);
  rig.line.Wait(400000);
  EXPECT_EQ(rig.line.TakeBytes().size(), 300u);
}

TEST(SimStream, AHostAwayForLongLosesTheExcessToOverrun) {
  Rig rig(Named("SIM"));
  rig.StartStream("S0\r");
  rig.line.Wait(10000000);  // ten seconds unread at 11520 bytes a second
  EXPECT_EQ(rig.line.TakeBytes().size(), 65536u);
  EXPECT_EQ(rig.line.injected, static_cast<DWORD>(CE_RXOVER));
  rig.line.Wait(10000);
  EXPECT_FALSE(rig.line.TakeBytes().empty());  // and the stream goes on
}
