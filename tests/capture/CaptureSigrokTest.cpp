// quelm-capture's files read by software nobody here wrote: the sigrok
// command line opens the sr and vcd exports with the same samples, and its
// protocol decoders recover what the virtual devices sent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "tests/tool/ChildProcess.h"
#include "tools/CaptureExport.h"

namespace {

using capture::Trace;
using tooltest::ChildOptions;
using tooltest::ChildResult;
using tooltest::RunChild;

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

size_t Count(const std::string& s, const std::string& part) {
  size_t n = 0;
  for (size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1)) ++n;
  return n;
}

class Sigrok : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v sigrok-cli >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "sigrok-cli is not on PATH (Debian: apt-get install sigrok-cli)";
    if (!capture::SrSupported()) GTEST_SKIP() << "built without libzip (Debian: libzip-dev)";
  }

  // quelm-capture with these arguments, to `name` in the test's folder.
  std::string Capture(const std::string& name, std::vector<std::string> args) {
    const std::string file = dir_.File(name);
    args.insert(args.end(), {"--output", file, "--quiet"});
    ChildOptions options;
    options.limitMs = 90000;
    const ChildResult r = RunChild(tooltest::BinDir() + "/quelm-capture", args, options);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return file;
  }

  ChildResult SigrokCli(const std::vector<std::string>& args) {
    ChildOptions options;
    options.limitMs = 90000;
    ChildResult r = RunChild("/bin/sh", [&] {
      std::vector<std::string> shell = {"-c", "exec sigrok-cli \"$@\"", "sigrok-cli"};
      shell.insert(shell.end(), args.begin(), args.end());
      return shell;
    }(), options);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r;
  }

  // The samples sigrok reads from a file, one byte each (bit c: channel c).
  std::vector<std::uint8_t> SigrokSamples(const std::string& file, const std::vector<std::string>& input) {
    const std::string out = file + ".samples";
    std::vector<std::string> args = {"-i", file};
    args.insert(args.end(), input.begin(), input.end());
    args.insert(args.end(), {"-O", "binary", "-o", out});
    SigrokCli(args);
    std::ifstream in(out, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // Its VCD reader puts the rate it found in a text line ahead of the samples.
    const std::string meta = "META samplerate";
    if (bytes.size() > meta.size() && std::equal(meta.begin(), meta.end(), bytes.begin())) {
      const auto eol = std::find(bytes.begin(), bytes.end(), '\n');
      bytes.erase(bytes.begin(), eol == bytes.end() ? eol : eol + 1);
    }
    return bytes;
  }

  static void ExpectSameSamples(const Trace& ours, const std::vector<std::uint8_t>& theirs, const std::string& what) {
    ASSERT_EQ(theirs.size(), ours.samples) << what << ": sample count";
    size_t edges = 0;
    for (size_t c = 0; c < ours.channels.size(); ++c) {
      edges += ours.channels[c].edges.size();
      for (std::uint64_t i = 0; i < ours.samples; ++i)
        ASSERT_EQ(((theirs[i] >> c) & 1) != 0, ours.channels[c].Level(i)) << what << ": channel " << c << " sample " << i;
    }
    EXPECT_GT(edges, 10u) << what;
  }

  testsupport::TempDir dir_;
};

TEST_F(Sigrok, OpensSrAndVcdWithTheSameSamplesAndEdges) {
  struct Case {
    std::string name;
    std::vector<std::string> args;
  };
  for (const Case& c : {Case{"dual", {"--port", "SIM", "--mode", "dual", "--samples", "6000"}},
                        Case{"timing", {"--port", "SIM", "--mode", "timing", "--time", "100ms"}}}) {
    const std::string sr = Capture(c.name + ".sr", c.args);
    const std::string vcd = Capture(c.name + ".vcd", c.args);
    Trace fromSr, fromVcd;
    std::string error;
    ASSERT_TRUE(capture::ReadSr(sr, fromSr, error)) << error;
    std::ifstream vcdIn(vcd);
    ASSERT_TRUE(capture::ReadVcd(vcdIn, fromVcd, error)) << error;

    const ChildResult shown = SigrokCli({"-i", sr, "--show"});
    EXPECT_TRUE(Contains(shown.out, "Logic sample count: " + std::to_string(fromSr.samples))) << shown.out;
    ExpectSameSamples(fromSr, SigrokSamples(sr, {}), c.name + ".sr");
    // Our VCD counts time in units of which a sample spans several; sigrok's reader takes them back to samples.
    const capture::VcdTimescale ts = capture::ChooseTimescale(fromVcd.sampleRate);
    ExpectSameSamples(fromVcd, SigrokSamples(vcd, {"-I", "vcd:downsample=" + std::to_string(ts.unitsPerSample)}),
                      c.name + ".vcd");
  }
}

TEST_F(Sigrok, UartDecoderReadsTheTextTheDeviceSent) {
  const std::vector<std::string> run = {"--port", "SIM-UART", "--start", "immediate", "--samples", "40k"};
  const std::string sr = Capture("uart.sr", run);
  const std::string vcd = Capture("uart.vcd", run);
  const std::vector<std::string> decoder = {"-P", "uart:rx=D0:baudrate=9600:format=ascii", "-A", "uart=rx-data"};
  for (const auto& input : {std::vector<std::string>{"-i", sr}, std::vector<std::string>{"-i", vcd, "-I", "vcd:downsample=11"}}) {
    std::vector<std::string> args = input;
    args.insert(args.end(), decoder.begin(), decoder.end());
    const ChildResult r = SigrokCli(args);
    std::string text;  // one annotation per line: "uart-1: Q"
    for (size_t at = r.out.find("uart-1: "); at != std::string::npos; at = r.out.find("uart-1: ", at + 1)) {
      const size_t end = r.out.find('\n', at);
      text += r.out.substr(at + 8, end - at - 8) == "" ? " " : r.out.substr(at + 8, end - at - 8);
    }
    // 0.44 s of a 18.7 ms text line: 23 lines, each whole.
    EXPECT_GE(Count(text, "QUELM 9600 8N1[0D][0A]"), 20u) << text.substr(0, 300);
    EXPECT_EQ(Count(text, "["), 2 * Count(text, "QUELM 9600 8N1[0D][0A]")) << "no byte misread: " << text.substr(0, 300);
  }
}

TEST_F(Sigrok, NecDecoderReadsTheRemotesAddressAndCommand) {
  const std::string sr = Capture("nec.sr", {"--port", "SIM-NEC", "--start", "immediate", "--time", "300ms"});
  const ChildResult r = SigrokCli({"-i", sr, "-P", "ir_nec:ir=D0"});
  // Frames start every 110 ms from 5 ms and last 68 ms: three whole ones in 300 ms. A timed run
  // ends a little after its time (more so on a slow build), so a fourth may begin and be cut.
  const size_t whole = Count(r.out, "Command#: 0xE9");
  EXPECT_GE(whole, 3u) << r.out;
  for (const char* field : {"Address: 0x59", "Address#: 0xA6", "Command: 0x16"}) {
    EXPECT_GE(Count(r.out, field), whole) << field << "\n" << r.out;
    EXPECT_LE(Count(r.out, field), whole + 1) << field << "\n" << r.out;
  }
  EXPECT_FALSE(Contains(r.out, "Error")) << r.out;
}
}  // namespace
