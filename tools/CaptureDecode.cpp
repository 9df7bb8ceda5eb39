#include "tools/CaptureDecode.h"

#include <algorithm>

namespace capture {

namespace {

void DecodePacked(const std::vector<std::uint8_t>& raw, const DecodeOptions& o, Trace& trace) {
  const size_t n = static_cast<size_t>(o.channels);
  trace.channels.assign(n, Channel{});
  std::vector<std::uint64_t> counts(n, 0);  // samples seen per channel
  std::vector<bool> level(n, false);
  for (size_t k = 0; k < raw.size(); ++k) {
    const size_t c = k % n;
    Channel& ch = trace.channels[c];
    for (int bit = 0; bit < 8; ++bit) {
      const bool v = (raw[k] >> (o.earliestInMsb ? 7 - bit : bit)) & 1;
      const std::uint64_t i = counts[c]++;
      if (i == 0) ch.initial = v;
      else if (v != level[c]) ch.edges.push_back(i);
      level[c] = v;
    }
  }
  // A channel cut one byte short (the run ended between channels) keeps its last level.
  trace.samples = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
}

bool DecodeTiming(const std::vector<std::uint8_t>& raw, const DecodeOptions& o, Trace& trace, std::string* warning) {
  trace.channels.assign(1, Channel{});
  Channel& ch = trace.channels[0];
  ch.initial = o.initialLevel;
  std::uint64_t t = 0;
  for (size_t k = 0; k + 1 < raw.size(); k += 2) {
    const unsigned count = o.lowByteFirst ? raw[k] | raw[k + 1] << 8 : raw[k] << 8 | raw[k + 1];
    if (count == 0) {
      t += 65536;  // a full counter without a change
    } else {
      t += count;
      ch.edges.push_back(t);
    }
  }
  // The run covers the last change (or the last full count) itself.
  trace.samples = t + 1;
  if (raw.size() % 2 == 1 && warning) *warning = "the run ended inside a count; its last byte is left out";
  return true;
}

}  // namespace

bool Decode(const std::vector<std::uint8_t>& raw, const DecodeOptions& options, Trace& trace, std::string& error,
            std::string* warning) {
  trace = Trace{};
  if (!(options.sampleRate > 0)) {
    error = "no sample rate: give the rate the run was made at (--rate)";
    return false;
  }
  trace.sampleRate = options.sampleRate;
  switch (options.format) {
    case kFormatPacked:
      if (options.channels < 1 || options.channels > 8) {
        error = "format 1 needs 1 to 8 channels, not " + std::to_string(options.channels);
        return false;
      }
      DecodePacked(raw, options, trace);
      break;
    case kFormatTiming4:
    case kFormatTiming:
      DecodeTiming(raw, options, trace, warning);
      break;
    default:
      error = "format " + std::to_string(options.format) +
              " has no decoder: the data are kept as received; export them with --format raw";
      return false;
  }
  for (size_t c = 0; c < trace.channels.size(); ++c) trace.channels[c].name = "D" + std::to_string(c);
  return true;
}

std::vector<std::uint8_t> Interleave(const std::vector<std::vector<std::uint8_t>>& perChannel) {
  std::vector<std::uint8_t> raw;
  size_t total = 0, longest = 0;
  for (const auto& c : perChannel) {
    total += c.size();
    longest = std::max(longest, c.size());
  }
  raw.reserve(total);
  for (size_t i = 0; i < longest; ++i)
    for (const auto& c : perChannel)
      if (i < c.size()) raw.push_back(c[i]);
  return raw;
}

}  // namespace capture
