// The README's main job, sampler_run, as a user runs it: its exit code and
// where the reason of a failure goes, on a port that does not exist, on
// devices that fail, and on the default device with the port named.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "tests/support/TempDir.h"

namespace {

using tooltest::BinDir;
using tooltest::ChildOptions;
using tooltest::ChildResult;
using tooltest::RunChild;

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

struct SamplerRun {
  ChildResult result;
  std::string dataPath;
};

// The library beside the program (no LIB argument), the data to a file of the test's own.
SamplerRun RunOn(const std::string& port, const std::string& testName) {
  SamplerRun run;
  run.dataPath = testsupport::ScratchFile("sampler-run-" + testName + ".bin");
  std::remove(run.dataPath.c_str());
  const std::string library = BinDir() + "/QUELM1.SAM";
  ChildOptions options;
  options.limitMs = 90000;  // a whole run on a loaded machine
  run.result = RunChild(BinDir() + "/sampler_run", {"--port=" + port, library, run.dataPath}, options);
  return run;
}

void ExpectFailedRun(const SamplerRun& run, const std::string& reason) {
  const ChildResult& r = run.result;
  EXPECT_FALSE(r.killedAtLimit) << r.out;
  ASSERT_TRUE(r.exited) << "ended by signal " << r.termSignal;
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_TRUE(Contains(r.err, reason)) << r.err;
  EXPECT_FALSE(Contains(r.out, "Received")) << r.out;  // no success report after a failure
}

long long FileSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<long long>(in.tellg()) : -1;
}

TEST(SamplerRun, NamedPortRunsTheWholeRun) {
  const SamplerRun run = RunOn("SIM", "sim");
  ASSERT_TRUE(run.result.exited) << run.result.err;
  EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
  EXPECT_TRUE(Contains(run.result.out, "Received 10000 bytes (80000 samples)")) << run.result.out;
  EXPECT_EQ(FileSize(run.dataPath), 10000);
}

// As the README runs it: no arguments. Labels read as a user sees them, flags
// in words, and the data land beside the program, not in the current folder.
TEST(SamplerRun, WithoutArgumentsListsReadableItemsAndWritesBesideTheProgram) {
  const std::string data = BinDir() + "/sampler_run.bin";
  std::remove(data.c_str());
  const testsupport::TempDir elsewhere;
  ChildOptions options;
  options.limitMs = 90000;
  options.workingDirectory = elsewhere.Path();
  const ChildResult r = RunChild(BinDir() + "/sampler_run", {}, options);
  ASSERT_TRUE(r.exited) << r.err;
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "  Sampling sole channel  ")) << r.out;
  EXPECT_FALSE(Contains(r.out, "&")) << r.out;
  EXPECT_TRUE(Contains(r.out, "switch, secondary")) << r.out;
  EXPECT_FALSE(Contains(r.out, "flags 0x")) << r.out;
  EXPECT_TRUE(Contains(r.out, "the data are in " + data)) << r.out;
  EXPECT_EQ(FileSize(data), 10000);
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path()));
  std::remove(data.c_str());
}

TEST(SamplerRun, PortThatDoesNotExistFailsAtOpen) {
  ExpectFailedRun(RunOn("NO-SUCH-PORT", "missing"), "Open failed (0x");
}

TEST(SamplerRun, DevicesThatFailEndItWithTheReason) {
  // Identification carries an N-code: the sampler refuses the device.
  ExpectFailedRun(RunOn("SIM-BROKEN", "broken"), "N1 Oscillator failure");
  // Nothing answers: no mode can be chosen.
  ExpectFailedRun(RunOn("SIM-SILENT", "silent"), "SetMode failed (0x");
  // The device ends the run itself after 512 of the 10000 bytes.
  const SamplerRun shortRun = RunOn("SIM-SHORT", "short");
  ExpectFailedRun(shortRun, "Run failed: status 3841: ");
  EXPECT_TRUE(Contains(shortRun.result.out, "Status 1024: Sampling")) << shortRun.result.out;  // it did start
}

TEST(SamplerRun, UnknownOptionIsRefused) {
  const ChildResult r = RunChild(BinDir() + "/sampler_run", {"--prot=SIM"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(r.err.starts_with("Unknown option --prot=SIM\nUsage: sampler_run")) << r.err;
  EXPECT_EQ(r.out, "");
}

}  // namespace
