// quelm-capture's decoding and file formats without a device: the levels the
// virtual sampler's signal has at each sample must come out of its stream,
// and every format must read back as the run that was written.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "sim/SimSignal.h"
#include "tests/support/TempDir.h"
#include "tools/CaptureDecode.h"
#include "tools/CaptureExport.h"
#include "tools/CaptureOptions.h"

namespace {

using capture::Channel;
using capture::DecodeOptions;
using capture::Trace;

Trace Decoded(const std::vector<std::uint8_t>& raw, const DecodeOptions& options) {
  Trace trace;
  std::string error;
  EXPECT_TRUE(capture::Decode(raw, options, trace, error)) << error;
  return trace;
}

DecodeOptions Packed(int channels, bool msbFirst = true) {
  DecodeOptions o;
  o.channels = channels;
  o.sampleRate = 1000;
  o.earliestInMsb = msbFirst;
  return o;
}

TEST(CaptureDecode, PackedBytesGiveTheirSamplesInBitOrder) {
  // 0x0F: four low then four high samples, earliest in bit 7; 0xF0 read the other way round is the same.
  Trace t = Decoded({0x0F, 0xFF, 0x00}, Packed(1));
  ASSERT_EQ(t.channels.size(), 1u);
  EXPECT_EQ(t.samples, 24u);
  EXPECT_FALSE(t.channels[0].initial);
  EXPECT_EQ(t.channels[0].edges, (std::vector<std::uint64_t>{4, 16}));
  t = Decoded({0xF0, 0xFF, 0x00}, Packed(1, false));
  EXPECT_FALSE(t.channels[0].initial);
  EXPECT_EQ(t.channels[0].edges, (std::vector<std::uint64_t>{4, 16}));
  EXPECT_EQ(t.channels[0].name, "D0");
}

TEST(CaptureDecode, ByteKBelongsToChannelKModN) {
  // Channel 0 gets 0xFF 0x00 0xFF, channel 1 0x00 0x80 (cut one byte short).
  const Trace t = Decoded({0xFF, 0x00, 0x00, 0x80, 0xFF}, Packed(2));
  ASSERT_EQ(t.channels.size(), 2u);
  EXPECT_EQ(t.samples, 24u);
  EXPECT_TRUE(t.channels[0].initial);
  EXPECT_EQ(t.channels[0].edges, (std::vector<std::uint64_t>{8, 16}));
  EXPECT_FALSE(t.channels[1].initial);
  EXPECT_EQ(t.channels[1].edges, (std::vector<std::uint64_t>{8, 9}));
  EXPECT_TRUE(t.channels[1].Level(8));
  EXPECT_FALSE(t.channels[1].Level(23));  // the short channel keeps its last level
  EXPECT_EQ(capture::Interleave({{1, 3, 5}, {2, 4}}), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

TEST(CaptureDecode, TimingCountsAddUpAndZeroIsAFullCounter) {
  DecodeOptions o;
  o.format = capture::kFormatTiming;
  o.sampleRate = 5e6;
  // 0x0100, then 0 (65536 without a change), then 0x0002; low byte first.
  Trace t = Decoded({0x00, 0x01, 0x00, 0x00, 0x02, 0x00}, o);
  EXPECT_EQ(t.channels[0].edges, (std::vector<std::uint64_t>{256, 256 + 65536 + 2}));
  EXPECT_EQ(t.samples, 256u + 65536 + 2 + 1);
  o.lowByteFirst = false;
  o.initialLevel = true;
  t = Decoded({0x00, 0x01, 0x00, 0x00, 0x02, 0x00}, o);
  EXPECT_TRUE(t.channels[0].initial);
  EXPECT_EQ(t.channels[0].edges, (std::vector<std::uint64_t>{1, 1 + 65536 + 512}));
  std::string error, warning;
  o.format = capture::kFormatTiming4;  // mode 4 streams as 5
  ASSERT_TRUE(capture::Decode({0x00, 0x01, 0x07}, o, t, error, &warning));
  EXPECT_EQ(t.channels[0].edges, (std::vector<std::uint64_t>{1}));
  EXPECT_NE(warning.find("inside a count"), std::string::npos);
}

TEST(CaptureDecode, RefusesWhatItCannotDecode) {
  Trace t;
  std::string error;
  DecodeOptions o = Packed(1);
  o.format = 3;
  EXPECT_FALSE(capture::Decode({1, 2}, o, t, error));
  EXPECT_NE(error.find("--format raw"), std::string::npos) << error;
  o = Packed(1);
  o.sampleRate = 0;
  EXPECT_FALSE(capture::Decode({1, 2}, o, t, error));
  EXPECT_FALSE(capture::Decode({1, 2}, Packed(0), t, error));
}

// The decoded levels are the virtual device's input, sampled where it samples.
TEST(CaptureDecode, SampledStreamsGiveTheSignalsLevels) {
  const sim::SignalSource signal = sim::DefaultSignal();
  for (const sim::StreamMode mode : {sim::StreamMode::Sole, sim::StreamMode::Dual}) {
    sim::StreamSpec spec;
    spec.mode = mode;
    spec.divisor = 54;
    const int n = mode == sim::StreamMode::Dual ? 2 : 1;
    const std::vector<BYTE> raw = sim::ExpectedStream(signal, spec, 4000);
    const Trace t = Decoded(raw, Packed(n));
    ASSERT_EQ(t.samples, 4000u / n * 8);
    size_t edges = 0;
    for (int c = 0; c < n; ++c) {
      edges += t.channels[c].edges.size();
      for (std::uint64_t i = 0; i < t.samples; ++i)
        ASSERT_EQ(t.channels[c].Level(i), signal.input[c].Level(i * (spec.divisor + 1))) << "channel " << c << " sample " << i;
    }
    EXPECT_GT(edges, 20u);  // the run saw the pulse train, not a flat line
  }
}

TEST(CaptureDecode, TimingStreamGivesTheSignalsEdges) {
  const sim::SignalSource signal = sim::DefaultSignal();
  sim::StreamSpec spec;
  spec.mode = sim::StreamMode::Timing;
  const std::vector<BYTE> raw = sim::ExpectedStream(signal, spec, 400);
  DecodeOptions o;
  o.format = capture::kFormatTiming;
  o.sampleRate = 5e6;
  o.initialLevel = signal.input[0].Level(0);
  const Trace t = Decoded(raw, o);
  ASSERT_GT(t.channels[0].edges.size(), 50u);
  std::uint64_t at = 0;
  for (const std::uint64_t edge : t.channels[0].edges) {
    const auto next = signal.input[0].EdgeAtOrAfter(at + 1);
    ASSERT_TRUE(next.has_value());
    ASSERT_EQ(edge, *next);
    at = edge;
  }
}

Trace Sample() {
  Trace t;
  t.sampleRate = 90909;
  t.samples = 1000;
  t.channels = {Channel{"D0", false, {1, 2, 500, 999}}, Channel{"D1", true, {2, 700}}, Channel{"D2", true, {}}};
  return t;
}

void ExpectSameRun(const Trace& a, const Trace& b) {
  EXPECT_EQ(a.samples, b.samples);
  EXPECT_NEAR(a.sampleRate, b.sampleRate, a.sampleRate * 1e-4);
  ASSERT_EQ(a.channels.size(), b.channels.size());
  for (size_t c = 0; c < a.channels.size(); ++c) {
    EXPECT_EQ(a.channels[c].name, b.channels[c].name);
    EXPECT_EQ(a.channels[c].initial, b.channels[c].initial) << c;
    EXPECT_EQ(a.channels[c].edges, b.channels[c].edges) << c;
  }
}

TEST(CaptureFormats, EachFormatReadsBackAsTheRunWritten) {
  const Trace written = Sample();
  Trace read;
  std::string error;
  std::stringstream vcd, csv;
  capture::WriteVcd(written, vcd);
  ASSERT_TRUE(capture::ReadVcd(vcd, read, error)) << error;
  ExpectSameRun(written, read);
  capture::WriteCsv(written, csv);
  ASSERT_TRUE(capture::ReadCsv(csv, read, error)) << error;
  ExpectSameRun(written, read);
  if (!capture::SrSupported()) GTEST_SKIP() << "built without libzip: install libzip-dev for the sr format";
  const testsupport::TempDir dir;
  ASSERT_TRUE(capture::WriteSr(written, dir.File("run.sr"), error)) << error;
  ASSERT_TRUE(capture::ReadSr(dir.File("run.sr"), read, error)) << error;
  ExpectSameRun(written, read);
}

TEST(CaptureFormats, CsvHasARowPerChangeAndOneForTheEnd) {
  Trace t;
  t.sampleRate = 1000;
  t.samples = 10;
  t.channels = {Channel{"D0", false, {3}}, Channel{"D1", true, {3, 7}}};
  std::stringstream csv;
  capture::WriteCsv(t, csv);
  EXPECT_EQ(csv.str(),
            "sample,time_s,D0,D1\n"
            "0,0.000000000,0,1\n"
            "3,0.003000000,1,0\n"
            "7,0.007000000,1,1\n"
            "10,0.010000000,1,1\n");
}

TEST(CaptureFormats, VcdUnitIsAWholeFractionOfTheSamplePeriod) {
  const auto check = [](double rate, const std::string& unit, std::uint64_t units) {
    const capture::VcdTimescale ts = capture::ChooseTimescale(rate);
    EXPECT_EQ(ts.unit, unit) << rate;
    EXPECT_EQ(ts.unitsPerSample, units) << rate;
  };
  check(90909, "1 us", 11);        // 11.00001 us
  check(5000000, "100 ns", 2);
  check(1666666, "100 ns", 6);     // 600.0002 ns
  check(1000000, "1 us", 1);
  check(19531, "100 ns", 512);    // 51.2 us; the reported rate lost its quarter
  check(100, "10 ms", 1);
  check(3, "1 fs", 333333333333333);
  // A rate from a damaged file: the count is capped, never an overflowing conversion.
  check(4e-28, "1 fs", 1000000000000000000);
}

TEST(CaptureFormats, ForeignVcdWithVectorsAndUnknownValues) {
  std::stringstream vcd(
      "$date today $end\n$timescale 10ns $end\n$scope module top $end\n"
      "$var wire 1 # clk $end\n$var wire 8 $ bus $end\n$upscope $end\n$enddefinitions $end\n"
      "#0\nx#\nb00001111 $\n#5\n1#\n#9\n0#\n");
  Trace t;
  std::string error;
  ASSERT_TRUE(capture::ReadVcd(vcd, t, error)) << error;
  ASSERT_EQ(t.channels.size(), 1u);
  EXPECT_EQ(t.channels[0].name, "clk");
  EXPECT_NEAR(t.sampleRate, 1e8, 1);
  EXPECT_EQ(t.channels[0].edges, (std::vector<std::uint64_t>{5, 9}));
  std::stringstream broken("$timescale 1 parsec $end\n");
  EXPECT_FALSE(capture::ReadVcd(broken, t, error));
  EXPECT_NE(error.find("timescale"), std::string::npos);
}

TEST(CaptureFormats, MalformedFilesAreRefusedSayingWhere) {
  const std::vector<std::pair<std::string, std::string>> csv = {
      {"sample,time_s,D0\n0,0,0\n5,0.5,1\n3,0.3,0\n", "line 4: the sample numbers go backwards"},
      {"sample,time_s,D0\n0,0,0\n5,0.5,x\n", "line 3: a level is 0 or 1"},
      {"sample,time_s,D0\n0,0,0\n5,0.5\n", "line 3: 2 fields, not 3"},
      {"sample,time_s\n0,0\n", "no channel columns"},
      {"time,D0\n", "sample,time_s"},
  };
  Trace t;
  std::string error;
  for (const auto& [text, why] : csv) {
    std::stringstream in(text);
    EXPECT_FALSE(capture::ReadCsv(in, t, error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << error;
  }
  std::stringstream backwards("$timescale 1 us $end\n$var wire 1 ! D0 $end\n$enddefinitions $end\n#10\n1!\n#5\n0!\n");
  EXPECT_FALSE(capture::ReadVcd(backwards, t, error));
  EXPECT_NE(error.find("backwards at #5"), std::string::npos) << error;
  std::stringstream noNumber("$timescale 1 us $end\n$var wire 1 ! D0 $end\n$enddefinitions $end\n#1x2\n");
  EXPECT_FALSE(capture::ReadVcd(noNumber, t, error));
  // Two values at one sample: the later one stands, and no edge is left behind.
  std::stringstream twice("sample,time_s,D0\n0,0,0\n4,0.4,1\n4,0.4,0\n8,0.8,0\n");
  ASSERT_TRUE(capture::ReadCsv(twice, t, error)) << error;
  EXPECT_TRUE(t.channels[0].edges.empty());
}

TEST(CaptureOptions, ValuesWithUnits) {
  EXPECT_EQ(capture::ParseMilliseconds("500ms"), 500);
  EXPECT_EQ(capture::ParseMilliseconds("2s"), 2000);
  EXPECT_EQ(capture::ParseMilliseconds("1.5s"), 1500);
  EXPECT_EQ(capture::ParseMilliseconds("250"), 250);
  EXPECT_FALSE(capture::ParseMilliseconds("2 hours"));
  EXPECT_FALSE(capture::ParseMilliseconds("-1s"));
  EXPECT_EQ(capture::ParseAmount("80k"), 80000);
  EXPECT_EQ(capture::ParseAmount("2.5M"), 2500000);
  EXPECT_NEAR(*capture::ParseSeconds("1.5ms"), 0.0015, 1e-12);
  EXPECT_EQ(capture::ModeNumber("buffer"), 32769);
  EXPECT_EQ(capture::ModeNumber("4"), 4);
  EXPECT_FALSE(capture::ModeNumber("fast"));
}

bool Parse(std::vector<std::string> args, capture::Options& o, std::string& error) {
  args.insert(args.begin(), "quelm-capture");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return capture::ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
}

TEST(CaptureOptions, CommandLinesRefusedWithWhatToDo) {
  capture::Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--port", "SIM", "-n", "80k", "--output=run.VCD"}, o, error)) << error;
  EXPECT_EQ(*o.format, capture::Format::Vcd);
  EXPECT_EQ(*o.samples, 80000u);
  o = {};
  ASSERT_TRUE(Parse({"-p", "SIM", "-o", "run.dat"}, o, error));
  EXPECT_EQ(*o.format, capture::Format::Raw);
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"-o", "x.vcd"}, "--port"},
      {{"-p", "SIM"}, "--output"},
      {{"-p", "SIM", "-o", "x", "--samples", "10", "--time", "1s"}, "one stop rule"},
      {{"-p", "SIM", "-o", "-", "-f", "sr"}, "standard output"},
      {{"-p", "SIM", "-o", "x", "--mode", "fast"}, "sole, dual"},
      {{"-p", "SIM", "-o", "x", "--pin", "9=on"}, "0 to 7"},
      {{"-p", "SIM", "-o", "x", "--samples", "1.5"}, "whole number"},
      {{"-p", "SIM", "-o", "x", "--rate"}, "needs a value"},
      {{"-p", "SIM", "-o", "x", "--colour"}, "unknown option"},
      {{"plot", "x.vcd"}, "-o FILE.svg"},
      {{"plot", "x.vcd", "-o", "x.svg", "--from", "2ms", "--to", "1ms"}, "later than"},
  };
  for (const auto& [args, why] : refused) {
    o = {};
    error.clear();
    EXPECT_FALSE(Parse(args, o, error)) << args.back();
    EXPECT_NE(error.find(why), std::string::npos) << error;
  }
}

}  // namespace
