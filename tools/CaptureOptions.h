// quelm-capture's command line: what the user asked for, parsed and checked
// before anything touches a device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/CaptureExport.h"

namespace capture {

enum class Command { Capture, Info, Plot, Help, Version };

struct Options {
  Command command = Command::Capture;
  std::string library;              // QUELM1.SAM; empty: beside the program
  std::string port;
  std::string mode = "sole";        // a name or a number
  std::optional<double> rate;       // samples/s wanted
  std::string start;                // "", "immediate" or "on-activity"
  std::optional<std::uint64_t> samples;
  std::optional<long> timeMs;
  std::optional<long> idleMs;
  std::vector<std::pair<int, bool>> pins;
  std::optional<std::string> customCommand;
  std::string output;
  std::optional<Format> format;
  bool earliestInMsb = true;
  bool lowByteFirst = true;
  bool initialHigh = false;
  bool quiet = false;
  // plot
  std::string input;
  double from = 0;
  double to = -1;
  int width = 1200;
  std::string title;
  std::optional<long> inputFormatCode;  // a raw input's format code (--mode)
  int inputChannels = 1;
};

// 1 for "sole", 2 "dual", 5 "timing", 32769 "buffer", or a number; nullopt otherwise.
std::optional<long> ModeNumber(const std::string& name);
// "500ms", "2s", "1.5s", "250" (ms) -> milliseconds; nullopt when unreadable or negative.
std::optional<long> ParseMilliseconds(const std::string& text);
// "100000", "100k", "2.5M" -> the number; nullopt when unreadable.
std::optional<double> ParseAmount(const std::string& text);
// Seconds from "1.5ms", "2s", "250us", "0.5" (s).
std::optional<double> ParseSeconds(const std::string& text);

// Parses argv; false with `error` (what is wrong and what to do) on a bad command line.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

const char* UsageText();

}  // namespace capture
