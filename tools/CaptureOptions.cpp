#include "tools/CaptureOptions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace capture {

namespace {

// A number followed by a suffix from `units` (name, factor); the first unit
// with an empty name applies to a bare number.
std::optional<double> ParseWithUnits(const std::string& text,
                                     std::initializer_list<std::pair<const char*, double>> units) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !std::isfinite(v) || v < 0) return std::nullopt;
  const std::string unit = end;
  for (const auto& [name, factor] : units)
    if (unit == name) return v * factor;
  return std::nullopt;
}

}  // namespace

std::optional<long> ModeNumber(const std::string& name) {
  if (name == "sole") return 1;
  if (name == "dual") return 2;
  if (name == "timing") return 5;
  if (name == "buffer") return 32769;
  char* end = nullptr;
  const long n = std::strtol(name.c_str(), &end, 0);
  if (name.empty() || *end != '\0' || n <= 0) return std::nullopt;
  return n;
}

std::optional<long> ParseMilliseconds(const std::string& text) {
  const auto v = ParseWithUnits(text, {{"", 1}, {"ms", 1}, {"s", 1000}, {"min", 60000}});
  if (!v || *v > 2147483647.0) return std::nullopt;
  return std::lround(*v);
}

std::optional<double> ParseAmount(const std::string& text) {
  return ParseWithUnits(text, {{"", 1}, {"k", 1e3}, {"K", 1e3}, {"M", 1e6}});
}

std::optional<double> ParseSeconds(const std::string& text) {
  return ParseWithUnits(text, {{"", 1}, {"s", 1}, {"ms", 1e-3}, {"us", 1e-6}, {"ns", 1e-9}});
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "plot") {
    o.command = Command::Plot;
    args.erase(args.begin());
  }
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i], value;
    bool hasValue = false;
    if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
      value = a.substr(a.find('=') + 1);
      a = a.substr(0, a.find('='));
      hasValue = true;
    }
    // The option's value: after "=" or the next argument.
    const auto take = [&](std::string& out) {
      if (hasValue) {
        out = value;
        return true;
      }
      if (i + 1 >= args.size()) {
        error = a + " needs a value (see --help)";
        return false;
      }
      out = args[++i];
      return true;
    };
    const auto bad = [&](const std::string& what) {
      error = "bad value for " + a + ": \"" + value + "\"; " + what;
      return false;
    };
    if (a == "-h" || a == "--help") {
      o.command = Command::Help;
      return true;
    }
    if (a == "-V" || a == "--version") {
      o.command = Command::Version;
      return true;
    }
    if (a == "--info") {
      if (o.command != Command::Plot) o.command = Command::Info;
      continue;
    }
    if (a == "-q" || a == "--quiet") {
      o.quiet = true;
      continue;
    }
    if (a.empty() || a[0] != '-') {
      if (o.command == Command::Plot && o.input.empty()) {
        o.input = a;
        continue;
      }
      error = "unexpected argument \"" + a + "\" (see --help)";
      return false;
    }
    static const char* const kValued[] = {"--library", "-p", "--port", "-m", "--mode", "-r", "--rate", "--start",
                                          "-n", "--samples", "-t", "--time", "--idle", "--pin", "--command", "-o",
                                          "--output", "-f", "--format", "--bit-order", "--byte-order",
                                          "--initial-level", "--from", "--to", "--width", "--title", "--channels"};
    if (std::find(std::begin(kValued), std::end(kValued), a) == std::end(kValued)) {
      error = "unknown option " + a + " (see --help)";
      return false;
    }
    if (!take(value)) return false;
    if (a == "--library") o.library = value;
    else if (a == "-p" || a == "--port") o.port = value;
    else if (a == "-m" || a == "--mode") {
      if (!ModeNumber(value)) return bad("use sole, dual, timing, buffer or a mode number");
      o.mode = value;
    } else if (a == "-r" || a == "--rate") {
      if (!(o.rate = ParseAmount(value)) || *o.rate <= 0) return bad("give samples per second, e.g. 100000 or 100k");
    } else if (a == "--start") {
      if (value != "immediate" && value != "on-activity") return bad("use immediate or on-activity");
      o.start = value;
    } else if (a == "-n" || a == "--samples") {
      const auto n = ParseAmount(value);
      if (!n || *n < 1 || *n > 2147483647.0 || *n != std::floor(*n)) return bad("give a whole number of samples, e.g. 80000 or 80k");
      o.samples = static_cast<std::uint64_t>(*n);
    } else if (a == "-t" || a == "--time") {
      if (!(o.timeMs = ParseMilliseconds(value)) || *o.timeMs < 1) return bad("give a time such as 500ms or 2s");
    } else if (a == "--idle") {
      if (!(o.idleMs = ParseMilliseconds(value)) || *o.idleMs < 1) return bad("give a time such as 500ms or 2s");
    } else if (a == "--pin") {
      const size_t eq = value.find('=');
      const std::string level = eq == std::string::npos ? "" : value.substr(eq + 1);
      char* end = nullptr;
      const long pin = std::strtol(value.c_str(), &end, 10);
      if (eq == 0 || end != value.c_str() + eq || pin < 0 || pin > 7 || (level != "on" && level != "off"))
        return bad("use N=on or N=off with a pin number 0 to 7");
      o.pins.emplace_back(static_cast<int>(pin), level == "on");
    } else if (a == "--command") {
      o.customCommand = value;
    } else if (a == "-o" || a == "--output") {
      o.output = value;
    } else if (a == "-f" || a == "--format") {
      Format f;
      if (!FormatFromName(value, f)) return bad("use raw, csv, vcd or sr");
      o.format = f;
    } else if (a == "--bit-order") {
      if (value != "msb-first" && value != "lsb-first") return bad("use msb-first (the default) or lsb-first");
      o.earliestInMsb = value == "msb-first";
    } else if (a == "--byte-order") {
      if (value != "1234" && value != "4321" && value != "2143") return bad("use 1234 (low byte first), 4321 or 2143");
      o.lowByteFirst = value == "1234";
    } else if (a == "--initial-level") {
      if (value != "low" && value != "high") return bad("use low or high");
      o.initialHigh = value == "high";
    } else if (a == "--from" || a == "--to") {
      const auto s = ParseSeconds(value);
      if (!s) return bad("give a time such as 1.5ms or 0.2s");
      (a == "--from" ? o.from : o.to) = *s;
    } else if (a == "--width") {
      const auto w = ParseAmount(value);
      if (!w || *w < 200 || *w > 20000) return bad("give a width from 200 to 20000 pixels");
      o.width = static_cast<int>(*w);
    } else if (a == "--title") {
      o.title = value;
    } else if (a == "--channels") {
      const auto c = ParseAmount(value);
      if (!c || *c < 1 || *c > 8) return bad("give 1 to 8");
      o.inputChannels = static_cast<int>(*c);
    } else {
      error = "unknown option " + a + " (see --help)";
      return false;
    }
  }
  if (o.command == Command::Plot) {
    if (o.input.empty() || o.output.empty()) {
      error = "plot needs a capture file and an output: quelm-capture plot FILE -o FILE.svg";
      return false;
    }
    if (o.to >= 0 && o.to <= o.from) {
      error = "--to must be later than --from";
      return false;
    }
    return true;
  }
  if (o.port.empty()) {
    error = "no port: give --port NAME (SIM is the built-in virtual sampler; quelm-ports lists serial devices)";
    return false;
  }
  if (o.command == Command::Capture) {
    if (o.output.empty()) {
      error = "no output: give --output FILE (its extension .raw .csv .vcd .sr picks the format)";
      return false;
    }
    if (!o.format) {
      Format f = Format::Raw;  // no known extension: the bytes as received
      FormatFromPath(o.output, f);
      o.format = f;
    }
    if (*o.format == Format::Sr && o.output == "-") {
      error = "the sr format is a zip file and cannot go to standard output; give --output FILE.sr";
      return false;
    }
    int stops = o.samples.has_value() + o.timeMs.has_value() + o.idleMs.has_value();
    if (stops > 1) {
      error = "give one stop rule: --samples, --time or --idle";
      return false;
    }
  }
  return true;
}

const char* UsageText() {
  return "usage: quelm-capture --port NAME [options] --output FILE   capture a run\n"
         "       quelm-capture --port NAME --info                    show the device\n"
         "       quelm-capture plot FILE -o FILE.svg [--from T] [--to T]\n"
         "\n"
         "Capture:\n"
         "  -p, --port NAME        the device: SIM (built-in virtual sampler), SIM-UART, /dev/ttyUSB0, ...\n"
         "  -m, --mode MODE        sole, dual, timing, buffer or a mode number (default sole)\n"
         "  -r, --rate RATE        samples per second, e.g. 90k; the nearest the device has is used\n"
         "                         (default: the fastest the line carries)\n"
         "      --start WHEN       immediate or on-activity (default: what the mode selects)\n"
         "  -n, --samples N        stop after N samples per channel (80000, 80k)\n"
         "  -t, --time T           stop after T (500ms, 2s)\n"
         "      --idle T           stop once the input has been idle for T\n"
         "      --pin N=on|off     set output pin N before the run (repeatable)\n"
         "      --command TEXT     send TEXT as the start command instead of the device's own\n"
         "  -o, --output FILE      where the run goes; - for standard output (not sr)\n"
         "  -f, --format FMT       raw, csv, vcd or sr (default: from FILE's extension, else raw)\n"
         "      --bit-order ORDER  msb-first (default: earliest sample in bit 7) or lsb-first\n"
         "      --byte-order ORDER the device's byte order for timing counts: 1234 (default), 4321\n"
         "      --initial-level L  timing mode: the level before the first change, low (default) or high\n"
         "  -q, --quiet            no progress line\n"
         "      --library PATH     QUELM1.SAM to load (default: beside this program)\n"
         "\n"
         "Plot (SVG):\n"
         "  FILE                   a capture: .vcd, .csv, .sr, or raw (.raw .bin) with --mode and --rate\n"
         "  -o, --output FILE.svg  the picture\n"
         "      --from T, --to T   the time window (1.5ms, 0.2s); default the whole run\n"
         "      --width N          pixels (default 1200)   --title TEXT\n"
         "      --channels N       channels of a raw sole/dual file (default 1)\n"
         "\n"
         "  -h, --help   -V, --version\n"
         "Exit status: 0 on success, 1 when the device or a file failed, 2 for a bad command line,\n"
         "130 when Ctrl-C ended the run (what was received is written all the same).\n"
         "Data format: docs/DATA.md.\n";
}

}  // namespace capture
