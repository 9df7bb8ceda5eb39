// The signal patterns and stream generators on their own: levels and edges of
// repeating and one-shot patterns, buffer ends, and the profiles' texts.
#include <gtest/gtest.h>

#include "sim/SimProfiles.h"
#include "sim/SimSignal.h"

using sim::InputPattern;

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
