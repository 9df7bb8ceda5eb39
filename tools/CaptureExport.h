// The file formats quelm-capture writes and reads back: the bytes as received,
// CSV with one row per level change, Value Change Dump, and the session file
// of the sigrok tools (a zip of metadata and sample chunks).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/CaptureTrace.h"

namespace capture {

enum class Format { Raw, Csv, Vcd, Sr };

// "raw", "csv", "vcd", "sr"; false for any other name.
bool FormatFromName(const std::string& name, Format& format);
// By the file's extension (.bin and .raw are raw); false when it names none.
bool FormatFromPath(const std::string& path, Format& format);
const char* FormatName(Format format);

// sample,time_s,D0,D1...: the first row is sample 0, then one row per sample
// at which any channel changes, and a last row at the run's length (the end).
void WriteCsv(const Trace& trace, std::ostream& out);

// The VCD time unit for a sample rate: the coarsest of 1, 10 or 100 s, ms, us,
// ns, ps or fs in which the sample period is a whole number of units (as far
// as a rate in whole samples per second tells), and that number.
struct VcdTimescale {
  std::string unit;             // for example "1 us"
  std::uint64_t unitsPerSample; // for example 11 at 90909 samples/s
};
VcdTimescale ChooseTimescale(double sampleRate);
// One wire per channel; a last timestamp marks the run's length.
void WriteVcd(const Trace& trace, std::ostream& out);

// Whether this build can write and read the sigrok session format.
bool SrSupported();
// Writes a sigrok session file (version 2: metadata and logic-1-N chunks, one
// byte per sample, bit c for channel c). False with `error` set when it cannot.
bool WriteSr(const Trace& trace, const std::string& path, std::string& error);

// Reads back a VCD of 1-bit wires (ours or another tool's) or a CSV as WriteCsv
// writes it; false with `error` naming the line at fault.
bool ReadVcd(std::istream& in, Trace& trace, std::string& error);
bool ReadCsv(std::istream& in, Trace& trace, std::string& error);
// Reads a sigrok session file's logic data.
bool ReadSr(const std::string& path, Trace& trace, std::string& error);

}  // namespace capture
