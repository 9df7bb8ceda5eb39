// From the bytes of a run to levels per channel, by the channel format code
// the library reports (docs/DATA.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/CaptureTrace.h"

namespace capture {

// Format codes of a channel (GetFormat).
constexpr long kFormatPacked = 1;    // eight samples per byte
constexpr long kFormatTiming4 = 4;   // timing, as 5
constexpr long kFormatTiming = 5;    // 16-bit periods per level change

struct DecodeOptions {
  long format = kFormatPacked;
  int channels = 1;               // format 1: byte k belongs to channel k mod channels
  double sampleRate = 0;          // samples (or timer periods) per second
  bool earliestInMsb = true;      // format 1: sample 0 of a byte in bit 7
  bool lowByteFirst = true;       // format 5: the device's byte order 1234 sends the low byte first
  bool initialLevel = false;      // format 5: the level before the first change (the stream does not say)
};

// Decodes a run. False with `error` set for an unknown format, no channels or
// no rate; an odd trailing byte of a timing stream is reported in `warning`
// and left out (the run was cut inside a count).
bool Decode(const std::vector<std::uint8_t>& raw, const DecodeOptions& options, Trace& trace, std::string& error,
            std::string* warning = nullptr);

// Splits the run's bytes among the channels as the library delivers them and
// merges per-channel files back: byte k of the run is byte k / n of channel k mod n.
std::vector<std::uint8_t> Interleave(const std::vector<std::vector<std::uint8_t>>& perChannel);

}  // namespace capture
