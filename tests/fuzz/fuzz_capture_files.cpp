// Fuzz target: quelm-capture's readers of capture files (VCD from any tool,
// its own CSV) and the decoder of a run's bytes, with the invariants the
// exporters and the plot rely on; what was read must survive a write and a
// second read unchanged.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "tools/CaptureDecode.h"
#include "tools/CaptureExport.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

void RequireSound(const capture::Trace& t) {
  Require(t.sampleRate > 0);
  for (const capture::Channel& ch : t.channels) {
    for (size_t i = 0; i < ch.edges.size(); ++i) {
      Require(ch.edges[i] > 0 && ch.edges[i] < t.samples);
      Require(i == 0 || ch.edges[i - 1] < ch.edges[i]);
    }
  }
}

void RequireSame(const capture::Trace& a, const capture::Trace& b) {
  Require(a.samples == b.samples && a.channels.size() == b.channels.size());  // names may be made writable
  for (size_t c = 0; c < a.channels.size(); ++c)
    Require(a.channels[c].initial == b.channels[c].initial && a.channels[c].edges == b.channels[c].edges);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  capture::Trace trace, again;
  std::string error;
  for (const bool vcd : {true, false}) {
    std::istringstream in(text);
    if (!(vcd ? capture::ReadVcd(in, trace, error) : capture::ReadCsv(in, trace, error))) {
      Require(!error.empty());
      continue;
    }
    RequireSound(trace);
    // Past 90 channels the one-character wire ids run out; past 64 bits of time units a VCD cannot say the time.
    const std::uint64_t units = capture::ChooseTimescale(trace.sampleRate).unitsPerSample;
    if (trace.channels.size() > 90 || trace.samples > UINT64_MAX / units) continue;
    std::stringstream written;
    capture::WriteVcd(trace, written);
    Require(capture::ReadVcd(written, again, error));
    RequireSame(trace, again);
  }
  if (size > 0) {
    capture::DecodeOptions o;
    o.format = data[0] & 1 ? capture::kFormatTiming : capture::kFormatPacked;
    o.channels = 1 + (data[0] >> 1) % 8;
    o.sampleRate = 1e6;
    o.earliestInMsb = data[0] & 0x40;
    o.lowByteFirst = data[0] & 0x80;
    const std::vector<std::uint8_t> raw(data + 1, data + size);
    Require(capture::Decode(raw, o, trace, error));
    RequireSound(trace);
  }
  return 0;
}
