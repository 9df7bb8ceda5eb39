// A decoded run as quelm-capture keeps it: per channel the level at the first
// sample and the sample indices at which the level changes. Sampling modes and
// the timing mode both fit, and a long quiet signal costs nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace capture {

struct Channel {
  std::string name;                  // "D0", "D1", ... as the viewers show them
  bool initial = false;              // level of sample 0
  std::vector<std::uint64_t> edges;  // ascending sample indices where the level toggles (all > 0)

  // The level at sample i.
  bool Level(std::uint64_t i) const;
};

struct Trace {
  double sampleRate = 0;        // samples per second
  std::uint64_t samples = 0;    // length of the run in samples; every edge is below it
  std::vector<Channel> channels;

  double Seconds(std::uint64_t sample) const { return sampleRate > 0 ? sample / sampleRate : 0; }
};

}  // namespace capture

namespace capture {

// Keeps the first `samples` samples only (a run ends inside a byte).
void Truncate(Trace& trace, std::uint64_t samples);

}  // namespace capture
