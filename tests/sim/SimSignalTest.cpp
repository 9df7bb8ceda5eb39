// The signal patterns and stream generators on their own: levels and edges of
// repeating and one-shot patterns, the serial and infrared signals as other
// decoders read them, buffer ends, and the profiles' texts.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "sim/SimProfiles.h"
#include "sim/SimSignal.h"

using sim::InputPattern;
using sim::Ticks;

namespace {

struct UartFrame {
  std::uint64_t start;  // first low unit of the start bit
  BYTE value;
  bool stopHigh;
};

// A minimal 8N1 receiver that knows nothing of how the patterns are built: it
// hunts for a falling edge (the line idles high before unit 0) and reads each
// bit at the middle of its nominal time.
std::vector<UartFrame> ReceiveUart(const std::function<bool(std::uint64_t)>& level, std::uint64_t end,
                                   double unitsPerBit) {
  std::vector<UartFrame> frames;
  for (std::uint64_t t = 0; t < end; ++t) {
    if ((t != 0 && !level(t - 1)) || level(t)) continue;
    const auto middle = [&](int bit) { return t + static_cast<std::uint64_t>((bit + 0.5) * unitsPerBit); };
    if (middle(9) >= end) break;
    if (level(middle(0))) continue;  // too short for a start bit
    unsigned value = 0;
    for (int k = 0; k < 8; ++k)
      if (level(middle(1 + k))) value |= 1u << k;
    frames.push_back({t, static_cast<BYTE>(value), level(middle(9))});
    t = middle(9);
  }
  return frames;
}

// `text` decoded `times` over from p, every edge on a bit boundary of its frame
// (to within a tick: no drift across the frame) and bursts `gap` apart.
void ExpectUartText(const InputPattern& p, const std::string& text, unsigned baud, DWORD tickRate, Ticks gap,
                    int times) {
  const double bit = double(tickRate) / baud;
  const Ticks period = static_cast<Ticks>(std::llround(10 * bit * text.size())) + gap;
  const auto frames = ReceiveUart([&](std::uint64_t t) { return p.Level(t); }, p.lead + times * period, bit);
  ASSERT_EQ(frames.size(), text.size() * times);
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    EXPECT_EQ(frames[i].value, static_cast<BYTE>(text[i % text.size()]));
    EXPECT_TRUE(frames[i].stopHigh);
    const Ticks start = frames[i].start;
    if (i > 0) {
      const double spacing = 10 * bit + (i % text.size() == 0 ? gap : 0);
      EXPECT_NEAR(double(start - frames[i - 1].start), spacing, 1.0);
    }
    for (auto e = p.EdgeAtOrAfter(start + 1); e && *e < start + 9.5 * bit; e = p.EdgeAtOrAfter(*e + 1)) {
      const double bits = (*e - start) / bit;
      EXPECT_NEAR(*e - start, std::round(bits) * bit, 1.0) << "edge at " << *e;
    }
  }
}

}  // namespace

TEST(SimSignal, RepeatingPatternLevelsAndEdges) {
  InputPattern p{false, 10, {3, 5}, true};  // low until 10, high 10-12, low 13-17, high 18-20 ...
  EXPECT_FALSE(p.Level(0));
  EXPECT_FALSE(p.Level(9));
  EXPECT_TRUE(p.Level(10));
  EXPECT_TRUE(p.Level(12));
  EXPECT_FALSE(p.Level(13));
  EXPECT_FALSE(p.Level(17));
  EXPECT_TRUE(p.Level(18));
  EXPECT_TRUE(p.Level(10 + 8 * 1000 + 2));
  EXPECT_FALSE(p.Level(10 + 8 * 1000 + 3));
  EXPECT_EQ(p.EdgeAtOrAfter(0), 10u);
  EXPECT_EQ(p.EdgeAtOrAfter(11), 13u);
  EXPECT_EQ(p.EdgeAtOrAfter(13), 13u);
  EXPECT_EQ(p.EdgeAtOrAfter(14), 18u);
  EXPECT_EQ(p.EdgeAtOrAfter(18 + 8 * 50 + 1), 18u + 8 * 50 + 3);
}

TEST(SimSignal, OneShotAndIdlePatterns) {
  InputPattern once{true, 4, {6}, false};  // high, low at 4, high at 10 for ever
  EXPECT_TRUE(once.Level(3));
  EXPECT_FALSE(once.Level(4));
  EXPECT_TRUE(once.Level(10));
  EXPECT_TRUE(once.Level(1000000));
  EXPECT_EQ(once.EdgeAtOrAfter(5), 10u);
  EXPECT_FALSE(once.EdgeAtOrAfter(11).has_value());
  InputPattern idle;
  EXPECT_FALSE(idle.Level(123456));
  EXPECT_FALSE(idle.EdgeAtOrAfter(0).has_value());
}

TEST(SimSignal, UartSignalCarriesItsTextAtNinetySixHundredBaud) {
  const InputPattern& line = sim::UartSignal().input[0];
  EXPECT_TRUE(line.Level(0));
  EXPECT_EQ(line.EdgeAtOrAfter(0), 15000u);  // the first start bit 3 ms in
  ExpectUartText(line, "QUELM 9600 8N1\r\n", 9600, 5000000, 10000, 3);
}

TEST(SimSignal, UartPatternKeepsEveryByteAndItsPolarityAtAnyRate) {
  // Runs of equal bits at both ends of a frame, and an odd number of bytes.
  const std::string bytes("\x00\xFF\x55\x80\x01", 5);
  ExpectUartText(sim::UartPattern(bytes, 115200, 5000000, 77), bytes, 115200, 5000000, 77, 3);
  ExpectUartText(sim::UartPattern(bytes, 9600, 1000000, 3000), bytes, 9600, 1000000, 3000, 3);
  ExpectUartText(sim::UartPattern("\xFE", 31250, 5000000, 1), "\xFE", 31250, 5000000, 1, 4);
  EXPECT_FALSE(sim::UartPattern("", 9600, 5000000, 100).EdgeAtOrAfter(0).has_value());
}

TEST(SimSignal, NecFramesHaveNominalTimingsAndDecode) {
  struct Case {
    InputPattern p;
    DWORD tickRate;
    BYTE address, command;
    double periodMicros;
  };
  const Case cases[] = {{sim::FindProfile("SIM-NEC")->signal.input[0], 5000000, 0x59, 0x16, 110062.5},
                        {sim::NecPattern(0x00, 0xFF, 1000000, 45000), 1000000, 0x00, 0xFF, 113062.5}};
  for (const auto& c : cases) {
    const double perMicro = c.tickRate / 1e6;
    EXPECT_TRUE(c.p.Level(0));  // idle high
    Ticks t = *c.p.EdgeAtOrAfter(0), leader = t;  // the falling edge of the first leader
    // The next level change, which must come `micros` after the last within a tick.
    const auto expectSpan = [&](double micros, bool low) {
      const Ticks next = *c.p.EdgeAtOrAfter(t + 1);
      EXPECT_EQ(c.p.Level(t), !low);
      EXPECT_NEAR(double(next - t), micros * perMicro, 1.0) << "at " << t;
      t = next;
    };
    for (int frame = 0; frame < 2; ++frame) {
      SCOPED_TRACE(frame);
      expectSpan(9000, true);
      expectSpan(4500, false);
      std::uint32_t bits = 0;
      for (int k = 0; k < 32; ++k) {
        expectSpan(562.5, true);
        const bool one = *c.p.EdgeAtOrAfter(t + 1) - t > 1125 * perMicro;
        expectSpan(one ? 1687.5 : 562.5, false);
        bits |= std::uint32_t{one} << k;
      }
      expectSpan(562.5, true);
      EXPECT_EQ(bits & 0xFF, c.address);
      EXPECT_EQ(bits >> 8 & 0xFF, c.address ^ 0xFFu);
      EXPECT_EQ(bits >> 16 & 0xFF, c.command);
      EXPECT_EQ(bits >> 24, c.command ^ 0xFFu);
      const Ticks next = *c.p.EdgeAtOrAfter(t + 1);
      EXPECT_GE(next - t, 40000 * perMicro);  // receivers need the idle to tell frames apart
      if (frame == 1) {
        EXPECT_NEAR(double(next - leader), 2 * c.periodMicros * perMicro, 1.0);
      }
      t = next;
    }
  }
}

TEST(SimSignal, SoleRunOfTheUartProfileRecoversTheText) {
  const sim::SignalSource& signal = sim::FindProfile("SIM-UART")->signal;
  const std::string text = "QUELM 9600 8N1\r\n";
  for (bool onActivity : {false, true}) {
    SCOPED_TRACE(onActivity);
    sim::StreamSpec spec;
    spec.divisor = 63;  // 64 ticks a sample: 8.1 samples a bit
    spec.onActivity = onActivity;
    const auto bytes = sim::ExpectedStream(signal, spec, 420);  // past two texts and their gaps
    const auto sample = [&](std::uint64_t n) { return (bytes[n / 8] >> (7 - n % 8)) & 1; };
    const auto frames = ReceiveUart(sample, 8 * bytes.size(), 5000000.0 / 9600 / 64);
    ASSERT_GE(frames.size(), 2 * text.size());
    for (size_t i = 0; i < 2 * text.size(); ++i) EXPECT_EQ(frames[i].value, BYTE(text[i % text.size()])) << i;
    EXPECT_EQ(frames[0].start, onActivity ? 0u : (15000u + 63) / 64);  // the first sample at or after the fall
  }
}

TEST(SimSignal, BufferedStreamEndsAfterTheBufferAndTimingPutsBytesInOrder) {
  sim::SignalSource s;
  s.input[0] = InputPattern{true, 0, {}, true};
  sim::StreamSpec spec;
  spec.mode = sim::StreamMode::Buffered;
  spec.bufferSamples = 128;
  sim::StreamGenerator gen(s, spec);
  size_t n = 0;
  while (auto b = gen.Next()) {
    EXPECT_EQ(b->value, 0xFF);
    EXPECT_EQ(b->ready, 127u);  // all ready when the last sample is in
    ++n;
  }
  EXPECT_EQ(n, 16u);
  EXPECT_TRUE(gen.Exhausted());

  s.input[0] = InputPattern{false, 0x1234, {}, false};
  spec = sim::StreamSpec{};
  spec.mode = sim::StreamMode::Timing;
  spec.byteOrder = 4321;
  EXPECT_EQ(sim::ExpectedStream(s, spec, 4), (std::vector<BYTE>{0x12, 0x34, 0x00, 0x00}));
  spec.byteOrder = 1234;
  EXPECT_EQ(sim::ExpectedStream(s, spec, 2), (std::vector<BYTE>{0x34, 0x12}));
}

TEST(SimProfiles, HexDigitsFollowTheByteOrder) {
  EXPECT_EQ(sim::ByteToHex(0x1F, 1234), "F1");
  EXPECT_EQ(sim::ByteToHex(0x1F, 4321), "1F");
  EXPECT_EQ(sim::ByteToHex(0x1F, 2143), "1F");
  BYTE v = 0;
  ASSERT_TRUE(sim::HexToByte("F1", 1234, v));
  EXPECT_EQ(v, 0x1F);
  ASSERT_TRUE(sim::HexToByte("1f", 4321, v));
  EXPECT_EQ(v, 0x1F);
  EXPECT_FALSE(sim::HexToByte("1", 4321, v));
  EXPECT_FALSE(sim::HexToByte("G1", 4321, v));
}

TEST(SimProfiles, NamesAreUniqueAndFoundIgnoringCase) {
  const auto& all = sim::Profiles();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front().portName, "SIM");
  for (size_t i = 0; i < all.size(); ++i)
    for (size_t j = i + 1; j < all.size(); ++j) EXPECT_NE(all[i].portName, all[j].portName);
  ASSERT_NE(sim::FindProfile("sim-voktar"), nullptr);
  EXPECT_EQ(sim::FindProfile("sim-voktar")->portName, "SIM-VOKTAR");
  EXPECT_EQ(sim::FindProfile("COM1"), nullptr);
  EXPECT_EQ(sim::SettingsText(platform::LineSettings{230400, 7, EVENPARITY, TWOSTOPBITS}),
            "baud=230400 parity=E data=7 stop=2");
}
