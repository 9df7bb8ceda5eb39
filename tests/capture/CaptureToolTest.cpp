// quelm-capture as a user runs it against the virtual samplers: every mode in
// every format must hold exactly the device's predictable stream; refusals
// say what to do; Ctrl-C keeps what arrived.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "sim/SimSignal.h"
#include "tests/support/TempDir.h"
#include "tests/tool/ChildProcess.h"
#include "tools/CaptureDecode.h"
#include "tools/CaptureExport.h"

namespace {

using capture::Trace;
using tooltest::BinDir;
using tooltest::ChildOptions;
using tooltest::ChildResult;
using tooltest::RunChild;

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

ChildResult Capture(const std::vector<std::string>& args, ChildOptions options = {}) {
  options.limitMs = 90000;  // a whole run on a loaded machine
  return RunChild(BinDir() + "/quelm-capture", args, options);
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool ReadBack(const std::string& path, capture::Format format, Trace& trace, std::string& error) {
  if (format == capture::Format::Sr) return capture::ReadSr(path, trace, error);
  std::ifstream in(path);
  return format == capture::Format::Vcd ? capture::ReadVcd(in, trace, error) : capture::ReadCsv(in, trace, error);
}

struct ModeCase {
  const char* name;
  std::vector<std::string> args;
  sim::StreamSpec spec;
  int channels;
  double rate;
  std::uint64_t samples;  // per channel; 0: as long as the run lasted (timing)
};

// What SIM does in each mode with these arguments: it starts on activity
// (its modes have the trigger), at the rate the tool picks.
std::vector<ModeCase> Modes() {
  sim::StreamSpec sole{sim::StreamMode::Sole, 54, true, 0, 1234};          // 90909/s, the fastest
  sim::StreamSpec dual{sim::StreamMode::Dual, 108, true, 0, 1234};         // 45871/s
  sim::StreamSpec timing{sim::StreamMode::Timing, 0, true, 0, 1234};       // 5000000/s
  sim::StreamSpec buffer{sim::StreamMode::Buffered, 49, true, 2304, 1234};  // 100000/s, 2304 samples
  return {{"sole", {"--mode", "sole", "--samples", "6000"}, sole, 1, 5e6 / 55, 6000},
          {"dual", {"--mode", "dual", "--samples", "3000"}, dual, 2, 5e6 / 109, 3000},
          {"timing", {"--mode", "timing", "--time", "150ms"}, timing, 1, 5e6, 0},
          {"buffer", {"--mode", "buffer", "--rate", "100k"}, buffer, 1, 1e5, 2304}};
}

// The run the device's stream makes, cut as the tool cuts it.
Trace Predicted(const ModeCase& m, size_t bytes) {
  capture::DecodeOptions d;
  d.format = m.spec.mode == sim::StreamMode::Timing ? capture::kFormatTiming : capture::kFormatPacked;
  d.channels = m.channels;
  d.sampleRate = m.rate;
  Trace t;
  std::string error;
  EXPECT_TRUE(capture::Decode(sim::ExpectedStream(sim::DefaultSignal(), m.spec, bytes), d, t, error)) << error;
  if (m.samples) capture::Truncate(t, m.samples);
  return t;
}

class CaptureEveryModeAndFormat : public ::testing::TestWithParam<std::tuple<int, capture::Format>> {};

TEST_P(CaptureEveryModeAndFormat, HoldsTheDevicesStream) {
  const ModeCase m = Modes()[std::get<0>(GetParam())];
  const capture::Format format = std::get<1>(GetParam());
  if (format == capture::Format::Sr && !capture::SrSupported()) GTEST_SKIP() << "built without libzip (libzip-dev)";
  const testsupport::TempDir dir;
  const std::string file = dir.File(std::string("run.") + capture::FormatName(format));
  std::vector<std::string> args = {"--port", "SIM", "--output", file};
  args.insert(args.end(), m.args.begin(), m.args.end());
  const ChildResult r = Capture(args);
  ASSERT_TRUE(r.exited) << r.err;
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "-> " + file)) << r.err;

  if (format == capture::Format::Raw) {
    const std::vector<std::uint8_t> raw = ReadBytes(file);
    ASSERT_FALSE(raw.empty());
    if (m.samples) {
      // Whole bytes per channel; a dual run may end a few bytes past its count.
      EXPECT_GE(raw.size(), m.samples / 8 * m.channels);
      EXPECT_LE(raw.size(), m.samples / 8 * m.channels + 64);
    }
    EXPECT_EQ(raw, sim::ExpectedStream(sim::DefaultSignal(), m.spec, raw.size()));
    return;
  }
  Trace got;
  std::string error;
  ASSERT_TRUE(ReadBack(file, format, got, error)) << error;
  // A timing run's length is its time: predict more than it can hold and compare what it has.
  const Trace want = Predicted(m, m.samples ? m.samples / 8 * m.channels + 64 : 200000);
  ASSERT_EQ(got.channels.size(), static_cast<size_t>(m.channels));
  EXPECT_NEAR(got.sampleRate, m.rate, m.rate * 1e-4);
  if (m.samples) EXPECT_EQ(got.samples, m.samples);
  else EXPECT_GT(got.samples, 5e6 * 0.1);  // at least 100 of its 150 ms
  for (int c = 0; c < m.channels; ++c) {
    const auto& edges = got.channels[c].edges;
    EXPECT_EQ(got.channels[c].initial, want.channels[c].initial);
    ASSERT_GT(edges.size(), 3u) << "channel " << c;
    ASSERT_LE(edges.size(), want.channels[c].edges.size());
    EXPECT_TRUE(std::equal(edges.begin(), edges.end(), want.channels[c].edges.begin())) << "channel " << c;
    if (m.samples) {  // every change the device made within the run is there
      EXPECT_EQ(edges.size(), want.channels[c].edges.size());
    }
  }
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<int, capture::Format>>& info) {
  return std::string(Modes()[std::get<0>(info.param)].name) + "_" + capture::FormatName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Sim, CaptureEveryModeAndFormat,
                         ::testing::Combine(::testing::Range(0, 4),
                                            ::testing::Values(capture::Format::Raw, capture::Format::Csv,
                                                              capture::Format::Vcd, capture::Format::Sr)),
                         CaseName);

TEST(CaptureTool, RatesAreTheNearestTheDeviceHasOrRefusedWithTheFastest) {
  const testsupport::TempDir dir;
  ChildResult r = Capture({"--port", "SIM", "--rate", "60k", "--samples", "800", "-o", dir.File("a.raw")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // 5 MHz / 83 = 60240.9 is the nearest to 60000 that a divisor gives.
  EXPECT_TRUE(Contains(r.err, "rate 60240/s, the nearest to 60000/s")) << r.err;
  EXPECT_EQ(ReadBytes(dir.File("a.raw")),
            sim::ExpectedStream(sim::DefaultSignal(), {sim::StreamMode::Sole, 82, true, 0, 1234}, 100));

  r = Capture({"--port", "SIM", "--rate", "1M", "--samples", "800", "-o", dir.File("b.raw")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "the fastest is 90909/s (--rate 90909)")) << r.err;
  EXPECT_FALSE(std::ifstream(dir.File("b.raw")).good()) << "nothing is written for a run never made";
}

TEST(CaptureTool, RefusalsNameWhatToDo) {
  const testsupport::TempDir dir;
  const std::string out = dir.File("x.raw");
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"--port", "SIM", "-o", out}, 1, "give --samples N, --time T or --idle T"},
      {{"--port", "SIM", "--mode", "buffer", "--samples", "100", "-o", out}, 1, "not available in mode buffer"},
      {{"--port", "SIM", "--mode", "timing", "--rate", "1000", "--time", "1s", "-o", out}, 1, "below the slowest"},
      {{"--port", "NO-SUCH-PORT", "--samples", "8", "-o", out}, 1, "opening NO-SUCH-PORT failed"},
      {{"--port", "SIM", "--pin", "5=on", "--samples", "8", "-o", out}, 1, "output pin 5 is not available"},
      {{"--samples", "8", "-o", out}, 2, "give --port NAME"},
      {{"--port", "SIM", "--frobnicate"}, 2, "unknown option --frobnicate"},
  };
  for (const Case& c : cases) {
    const ChildResult r = Capture(c.args);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, c.code) << r.err;
    EXPECT_TRUE(Contains(r.err, c.says)) << r.err;
  }
}

TEST(CaptureTool, CustomCommandAndPinsReachTheDevice) {
  const testsupport::TempDir dir;
  // The device's own command would start on activity; this one (divisor 0x36, low nibble first) at once.
  const ChildResult r = Capture({"--port", "SIM", "--pin", "0=on", "--pin", "3=on", "--command", "r63;S0;",
                                 "--samples", "800", "-o", dir.File("run.raw")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadBytes(dir.File("run.raw")),
            sim::ExpectedStream(sim::DefaultSignal(), {sim::StreamMode::Sole, 54, false, 0, 1234}, 100));
}

TEST(CaptureTool, InfoListsTheDeviceWithoutMenuMarkers) {
  const ChildResult r = Capture({"--port", "SIM", "--info"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const char* part : {"Hardware: QUELM1 pulse sampler v2.1 (virtual)", "Sampling sole channel",
                           "90909/s down to", "Timing sole channel (16-bit)", "Buffering 2304 samples",
                           "Sampling timer (ms):", "\"r00;S1;\"", "Test RS232 reciever"})
    EXPECT_TRUE(Contains(r.out, part)) << part << "\n" << r.out;
  EXPECT_FALSE(Contains(r.out, "&")) << r.out;
}

TEST(CaptureTool, CtrlCStopsTheRunAndKeepsWhatArrived) {
  const testsupport::TempDir dir;
  ChildOptions options;
  options.signal = SIGINT;
  options.signalWhenErrHas = "run started";
  const ChildResult r = Capture({"--port", "SIM", "--time", "60s", "-o", dir.File("run.raw")}, options);
  ASSERT_TRUE(r.exited) << "ended by signal " << r.termSignal << "\n" << r.err;
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_LT(r.msAfterSignal, 20000) << "a 60 s run must end soon after Ctrl-C";
  EXPECT_TRUE(Contains(r.err, "stopping the run")) << r.err;
  const std::vector<std::uint8_t> raw = ReadBytes(dir.File("run.raw"));
  EXPECT_EQ(raw, sim::ExpectedStream(sim::DefaultSignal(), {sim::StreamMode::Sole, 54, true, 0, 1234}, raw.size()));
}

TEST(CaptureTool, ProgressOnlyOnATerminal) {
  const testsupport::TempDir dir;
  const std::vector<std::string> run = {"--port", "SIM", "--samples", "40k", "-o", dir.File("run.raw")};
  ChildResult r = Capture(run);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_FALSE(Contains(r.err, "\r")) << "no progress line into a pipe or a log";
  if (std::system("test -x /usr/bin/script 2>&1") != 0) GTEST_SKIP() << "no script(1) to give it a terminal";
  std::string command = BinDir() + "/quelm-capture";
  for (const std::string& a : run) command += " '" + a + "'";
  ChildOptions options;
  options.limitMs = 90000;
  r = RunChild("/usr/bin/script", {"-qec", command, "/dev/null"}, options);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  // A line rewritten in place: samples, time, a bar and what is left, ending at the whole count.
  EXPECT_TRUE(Contains(r.out, "\r")) << r.out;
  EXPECT_TRUE(Contains(r.out, "40000 samples")) << r.out;
  EXPECT_TRUE(Contains(r.out, "[####################] 100%")) << r.out;
  EXPECT_TRUE(Contains(r.out, "s left")) << r.out;
}

TEST(CaptureTool, PlotsACaptureFile) {
  const testsupport::TempDir dir;
  ChildResult r = Capture({"--port", "SIM", "--mode", "dual", "--samples", "2000", "-o", dir.File("run.vcd")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = Capture({"plot", dir.File("run.vcd"), "-o", dir.File("run.svg"), "--from", "1ms", "--to", "20ms"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::ifstream svg(dir.File("run.svg"));
  const std::string text((std::istreambuf_iterator<char>(svg)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(Contains(text, "<svg")) << text.substr(0, 200);
  EXPECT_TRUE(Contains(text, ">D1<")) << "both channels are drawn";
  r = Capture({"plot", dir.File("run.vcd"), "-o", dir.File("late.svg"), "--from", "10s"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(r.err.empty());
}

}  // namespace
