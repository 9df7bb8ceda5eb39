// quelm-capture: a run from the command line through QUELM1.SAM, as any host
// makes it (the public interfaces only), decoded and written as raw bytes,
// CSV, VCD or a sigrok session; and an SVG plot of a capture file.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "examples/HostSupport.h"
#include "platform/Console.h"
#include "platform/FileHandles.h"
#include "tools/CaptureDecode.h"
#include "tools/CaptureExport.h"
#include "tools/CaptureOptions.h"
#include "tools/CapturePlot.h"

namespace {

using capture::Options;
using host::LastErrorText;
using host::Take;
using Clock = std::chrono::steady_clock;

constexpr int kFailed = 1;
constexpr int kBadCommandLine = 2;
constexpr int kInterrupted = 130;

std::atomic<int> gInterrupts{0};

// The first Ctrl-C asks the run to stop; a second one ends the program the
// usual way.
BOOL OnControl(DWORD) { return gInterrupts.fetch_add(1) == 0 ? TRUE : FALSE; }

bool gQuiet = false;

void Say(const std::string& text) { std::fprintf(stderr, "quelm-capture: %s\n", text.c_str()); }
// What the user may like to know, but not an error: --quiet leaves it out.
void Note(const std::string& text) {
  if (!gQuiet) Say(text);
}

// A failed call, with the library's text; false.
bool Failed(HRESULT hr, const std::string& what) {
  if (SUCCEEDED(hr)) return false;
  Say(what + " failed: " + LastErrorText());
  return true;
}

struct Item {
  std::string name;
  LONG id, value, flags;
};

// Every item of a list (the list is released).
std::vector<Item> Items(IEnumSamplerItems* list) {
  std::vector<Item> items;
  if (!list) return items;
  list->Reset();
  SAMPLERCAPABILITYINFO info{};
  ULONG fetched = 0;
  while (SUCCEEDED(list->Next(1, &info, &fetched)) && fetched == 1)
    items.push_back({host::PlainLabel(Take(info.Name)), info.Id, info.Value, info.Flags});
  list->Release();
  return items;
}

std::string Status(IKorvoSampler* sampler, LONG& code) {
  BSTR text = nullptr;
  code = -1;
  if (FAILED(sampler->GetStatus(&text, &code))) return "unknown";
  return Take(text);
}

std::string RateText(double rate) {
  char text[32];
  if (rate >= 1e6) std::snprintf(text, sizeof text, "%.3g MS/s", rate / 1e6);
  else if (rate >= 1e3) std::snprintf(text, sizeof text, "%.3g kS/s", rate / 1e3);
  else std::snprintf(text, sizeof text, "%.0f S/s", rate);
  return text;
}

// --info: what the device is and offers.
int Info(IKorvoSampler* sampler) {
  BSTR id = nullptr;
  if (Failed(sampler->GetHardwareId(&id), "GetHardwareId")) return kFailed;
  std::printf("Hardware: %s\n", Take(id).c_str());
  LONG code = 0;
  const std::string status = Status(sampler, code);
  std::printf("Status: %d %s\n", static_cast<int>(code), status.c_str());
  IEnumSamplerItems* list = nullptr;
  if (Failed(sampler->GetModes(&list), "GetModes")) return kFailed;
  const std::vector<Item> modes = Items(list);
  std::printf("Modes:\n");
  for (const Item& mode : modes) {
    std::string rates = "no rates";
    if (SUCCEEDED(sampler->SetMode(mode.value)) && SUCCEEDED(sampler->GetRates(&list))) {
      const std::vector<Item> r = Items(list);
      if (r.size() == 1) rates = "rate " + r[0].name + " (" + std::to_string(r[0].value) + "/s)";
      else if (!r.empty())
        rates = std::to_string(r.size()) + " rates, " + std::to_string(r.front().value) + "/s down to " +
                std::to_string(r.back().value) + "/s";
    }
    std::printf("  %-6d %-32s %s\n", static_cast<int>(mode.value), mode.name.c_str(), rates.c_str());
  }
  if (!modes.empty()) sampler->SetMode(modes.front().value);
  LONG mode = 0;
  sampler->GetMode(&mode);
  if (Failed(sampler->GetCapabilities(&list), "GetCapabilities")) return kFailed;
  std::printf("Capabilities (in mode %d):\n", static_cast<int>(mode));
  for (const Item& c : Items(list)) {
    std::string value = std::to_string(c.value);
    if ((c.flags & 0xFF) == SIK_SWITCH || (c.flags & 0xFF) == SIK_CHOICE) value = c.value ? "on" : "off";
    if ((c.flags & 0xFF) == SIK_TEXT) {
      BSTR text = nullptr;
      value = SUCCEEDED(sampler->GetCapabilityString(c.id, &text)) ? "\"" + Take(text) + "\"" : "";
    }
    std::printf("  %-5d %-42s %s\n", static_cast<int>(c.id), c.name.c_str(), value.c_str());
  }
  IEnumDiagnotors* tests = nullptr;
  if (Failed(sampler->GetDiagnotors(&tests), "GetDiagnotors")) return kFailed;
  std::printf("Diagnostic tests:\n");
  SAMPLERDIAGNOTORINFO test{};
  ULONG fetched = 0;
  while (SUCCEEDED(tests->Next(1, &test, &fetched)) && fetched == 1) {
    const std::string name = host::PlainLabel(Take(test.Name)), description = Take(test.Description);
    std::printf("  %-5d %s: %s\n", static_cast<int>(test.Id), name.c_str(), description.c_str());
  }
  tests->Release();
  return 0;
}

// The channels' read ends, drained by one thread each into memory while the run goes on.
class Collector {
 public:
  ~Collector() { Finish(); }

  // A pipe per channel; the write ends go to the library.
  bool Open(int channels, std::vector<int>& writeEnds) {
    data_.resize(channels);  // before any thread runs: they index it
    std::vector<int> readEnds;
    for (int c = 0; c < channels; ++c) {
      int r = -1, w = -1;
      if (!platform::CreateHostPipe(r, w)) {
        for (int fd : readEnds) platform::CloseHostFile(fd);
        return false;
      }
      readEnds.push_back(r);
      writeEnds_.push_back(w);
    }
    writeEnds = writeEnds_;
    for (int c = 0; c < channels; ++c) threads_.emplace_back([this, r = readEnds[c], c] { Drain(r, c); });
    return true;
  }
  // Once the library is done with the write ends: close them, wait for the rest.
  void Finish() {
    for (int w : writeEnds_) platform::CloseHostFile(w);
    writeEnds_.clear();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }
  std::uint64_t Bytes() const { return bytes_.load(); }
  std::vector<std::vector<std::uint8_t>> Data() {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
  }

 private:
  void Drain(int fd, int channel) {
    std::uint8_t buffer[65536];
    DWORD got = 0;
    while (platform::ReadHostFile(fd, buffer, sizeof buffer, &got) && got > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      data_[channel].insert(data_[channel].end(), buffer, buffer + got);
      bytes_ += got;
    }
    platform::CloseHostFile(fd);
  }

  std::vector<int> writeEnds_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::vector<std::vector<std::uint8_t>> data_;
  std::atomic<std::uint64_t> bytes_{0};
};

// The rate to ask for: the one the device has nearest to `wanted`; the fastest without a wish.
bool ChooseRate(IKorvoSampler* sampler, const Options& o, LONG& rate) {
  IEnumSamplerItems* list = nullptr;
  if (Failed(sampler->GetRates(&list), "GetRates")) return false;
  const std::vector<Item> rates = Items(list);
  if (rates.empty()) {
    Say("the device offers no sampling rate in this mode (the serial line may be too slow for it)");
    return false;
  }
  LONG fastest = 0, slowest = rates.front().value;
  for (const Item& r : rates) {
    fastest = std::max(fastest, r.value);
    slowest = std::min(slowest, r.value);
  }
  if (!o.rate) {
    rate = fastest;
    return true;
  }
  if (*o.rate > fastest * 1.0001) {
    Say("a rate of " + std::to_string(std::llround(*o.rate)) + "/s is more than this mode carries; the fastest is " +
        std::to_string(fastest) + "/s (--rate " + std::to_string(fastest) + ")");
    return false;
  }
  if (*o.rate < slowest * 0.9999) {
    Say("a rate of " + std::to_string(std::llround(*o.rate)) + "/s is below the slowest this mode has, " +
        std::to_string(slowest) + "/s");
    return false;
  }
  rate = rates.front().value;
  for (const Item& r : rates)
    if (std::fabs(r.value - *o.rate) < std::fabs(rate - *o.rate)) rate = r.value;
  return true;
}

// Mode, rate, start and stop rules, pins and command as the options say.
bool Configure(IKorvoSampler* sampler, const Options& o) {
  const long mode = *capture::ModeNumber(o.mode);
  if (Failed(sampler->SetMode(mode), "mode " + o.mode)) return false;
  LONG rate = 0;
  if (!ChooseRate(sampler, o, rate) || Failed(sampler->SetRate(rate), "SetRate")) return false;
  sampler->GetRate(&rate);
  if (o.rate && std::llround(*o.rate) != rate)
    Note("rate " + std::to_string(rate) + "/s, the nearest to " + std::to_string(std::llround(*o.rate)) + "/s");
  const auto available = [&](LONG id, const std::string& what) {
    VARIANT_BOOL yes = VARIANT_FALSE;
    if (SUCCEEDED(sampler->IsCapabilityAvailable(id, &yes)) && yes) return true;
    Say(what + " is not available in mode " + o.mode + " on this device");
    return false;
  };
  if (o.start == "immediate" && (!available(SCAP_START_IMMEDIATELY, "starting at once") ||
                                 Failed(sampler->SetCapabilityBool(SCAP_START_IMMEDIATELY, VARIANT_TRUE), "--start")))
    return false;
  if (o.start == "on-activity" && (!available(SCAP_START_ON_ACTIVITY, "starting on activity") ||
                                   Failed(sampler->SetCapabilityBool(SCAP_START_ON_ACTIVITY, VARIANT_TRUE), "--start")))
    return false;
  if (o.samples && (!available(SCAP_STOP_ON_COUNT, "stopping after a sample count (--samples)") ||
                    Failed(sampler->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE), "--samples") ||
                    Failed(sampler->SetCapabilityLong(SCAP_SAMPLE_COUNT, static_cast<LONG>(*o.samples)), "--samples")))
    return false;
  if (o.timeMs && (!available(SCAP_STOP_ON_TIMER, "stopping after a time (--time)") ||
                   Failed(sampler->SetCapabilityBool(SCAP_STOP_ON_TIMER, VARIANT_TRUE), "--time") ||
                   Failed(sampler->SetCapabilityLong(SCAP_SAMPLING_TIMER, *o.timeMs), "--time")))
    return false;
  if (o.idleMs && (!available(SCAP_STOP_ON_IDLE, "stopping on an idle input (--idle)") ||
                   Failed(sampler->SetCapabilityBool(SCAP_STOP_ON_IDLE, VARIANT_TRUE), "--idle") ||
                   Failed(sampler->SetCapabilityLong(SCAP_IDLE_PERIOD, *o.idleMs), "--idle")))
    return false;
  for (const auto& [pin, on] : o.pins) {
    if (!available(SCAP_ACTUATE_PIN + pin, "output pin " + std::to_string(pin)) ||
        Failed(sampler->SetCapabilityBool(SCAP_ACTUATE_PIN + pin, on ? VARIANT_TRUE : VARIANT_FALSE), "--pin"))
      return false;
  }
  if (o.customCommand) {
    BSTR text = host::MakeBstr(*o.customCommand);
    const bool failed = Failed(sampler->SetCapabilityBool(SCAP_CUSTOM_COMMAND, VARIANT_TRUE), "--command") ||
                        Failed(sampler->SetCapabilityString(SCAP_COMMAND, text), "--command");
    SysFreeString(text);
    if (failed) return false;
  }
  LONG code = 0;
  const std::string status = Status(sampler, code);
  if (code == SST_READY) return true;
  std::string hint;
  if (code >= SST_NO_STOP_MODE && code <= SST_NO_SAMPLE_TIME) hint = "; give --samples N, --time T or --idle T";
  if (code == SST_NO_RATE) hint = "; give --rate";
  Say("not ready to start: " + status + hint);
  return false;
}

// The progress line on a terminal: received, rate, elapsed and what is left.
void ShowProgress(const Options& o, double received, const char* unit, double rate, double elapsed) {
  char line[200];
  // The measured rate means something only after a few reads.
  const std::string measured = elapsed >= 0.25 ? RateText(received / elapsed) : "-";
  int n = std::snprintf(line, sizeof line, "\r%12.0f %s  %10s  %6.1f s", received, unit, measured.c_str(), elapsed);
  double left = -1, fraction = -1;
  if (o.samples) {
    fraction = received / *o.samples;
    left = rate > 0 ? (*o.samples - received) / rate : -1;
  } else if (o.timeMs) {
    fraction = elapsed * 1000 / *o.timeMs;
    left = *o.timeMs / 1000.0 - elapsed;
  }
  if (fraction >= 0) {
    fraction = std::min(1.0, fraction);
    const int filled = static_cast<int>(fraction * 20);
    n += std::snprintf(line + n, sizeof line - n, "  [%s%s] %3.0f%%", std::string(filled, '#').c_str(),
                       std::string(20 - filled, '.').c_str(), fraction * 100);
  }
  if (left >= 0) std::snprintf(line + n, sizeof line - n, "  %5.1f s left", left);
  std::fprintf(stderr, "%s   ", line);
}

// How to read a run: what the channel reports, and the byte and bit orders the user gave.
capture::DecodeOptions DecodeOptionsFor(const Options& o, long format, int channels, double rate) {
  capture::DecodeOptions d;
  d.format = format;
  d.channels = channels;
  d.sampleRate = rate;
  d.earliestInMsb = o.earliestInMsb;
  d.lowByteFirst = o.lowByteFirst;
  d.initialLevel = o.initialHigh;
  return d;
}

bool WriteOutput(const Options& o, const std::vector<std::uint8_t>& raw, const capture::Trace* trace) {
  std::string error;
  if (*o.format == capture::Format::Sr) {
    if (capture::WriteSr(*trace, o.output, error)) return true;
    Say(error);
    return false;
  }
  std::ofstream file;
  if (o.output != "-") {
    file.open(o.output, std::ios::binary | std::ios::trunc);
    if (!file) {
      Say("cannot write " + o.output + ": check the folder exists and is writable");
      return false;
    }
  }
  std::ostream& out = o.output == "-" ? std::cout : file;
  if (*o.format == capture::Format::Raw) out.write(reinterpret_cast<const char*>(raw.data()), raw.size());
  else if (*o.format == capture::Format::Csv) capture::WriteCsv(*trace, out);
  else capture::WriteVcd(*trace, out);
  out.flush();
  if (!out) {
    Say("writing " + o.output + " failed (disk full?)");
    return false;
  }
  return true;
}

int Capture(IKorvoSampler* sampler, const Options& o) {
  if (!Configure(sampler, o)) return kFailed;
  ISamplerChannels* channels = nullptr;
  if (Failed(sampler->GetChannels(&channels), "GetChannels")) return kFailed;
  LONG count = 0, format = 0, rate = 0;
  channels->GetCount(&count);
  Collector collector;
  std::vector<int> writeEnds;
  if (!collector.Open(count, writeEnds)) {
    channels->Release();
    Say("cannot make a pipe: " + LastErrorText());
    return kFailed;
  }
  bool bound = true;
  for (LONG c = 0; c < count && bound; ++c) {
    ISamplerChannel* channel = nullptr;
    // The program closes the write ends itself, once the library has let go of them.
    bound = !Failed(channels->Item(c, &channel), "channel") && !Failed(channel->Bind(writeEnds[c], VARIANT_FALSE), "Bind");
    if (bound && c == 0) {
      channel->GetFormat(&format);
      channel->GetRate(&rate);
    }
    if (channel) channel->Release();
  }
  channels->Release();
  if (!bound) return kFailed;

  SetConsoleCtrlHandler(OnControl, TRUE);
  if (Failed(sampler->Start(), "Start")) return kFailed;
  const bool progress = !o.quiet && platform::IsTerminal(2);
  Note("run started on " + o.port + "; Ctrl-C stops it and keeps what was received");
  const auto started = Clock::now();
  std::optional<Clock::time_point> firstByte;
  const auto showProgress = [&](std::uint64_t bytes) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - (firstByte ? *firstByte : started)).count();
    const bool packed = format == capture::kFormatPacked;
    ShowProgress(o, packed ? bytes * 8.0 / std::max<LONG>(count, 1) : bytes / 2.0, packed ? "samples" : "changes", rate,
                 firstByte ? elapsed : 0);
  };
  bool stopAsked = false, ended = false;
  LONG code = 0;
  std::string status;
  while (!ended) {
    if (gInterrupts.load() > 0 && !stopAsked) {
      stopAsked = true;
      if (progress) std::fprintf(stderr, "\n");
      Note("stopping the run (Ctrl-C again ends the program at once)");
      sampler->Stop();
    }
    status = Status(sampler, code);
    VARIANT_BOOL sampling = VARIANT_FALSE;
    sampler->IsSampling(&sampling);
    ended = !sampling && code != SST_WAITING && code != SST_SAMPLING;
    const std::uint64_t bytes = collector.Bytes();
    if (bytes > 0 && !firstByte) firstByte = Clock::now();
    if (progress) showProgress(bytes);
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  sampler->Close();  // the reading thread has let go of the write ends
  collector.Finish();
  if (progress) {  // the line ends with everything that arrived
    showProgress(collector.Bytes());
    std::fprintf(stderr, "\n");
  }
  SetConsoleCtrlHandler(OnControl, FALSE);

  const std::vector<std::uint8_t> raw = capture::Interleave(collector.Data());
  const bool runFailed = code >= SST_RUN_FAILED && code <= SST_COMMAND_FAILED;
  if (runFailed) Say("the run failed: " + status + "; writing the " + std::to_string(raw.size()) + " bytes received");
  capture::Trace trace;
  std::string error, warning;
  const bool decoded = capture::Decode(raw, DecodeOptionsFor(o, format, count, rate), trace, error, &warning);
  if (decoded && o.samples && format == capture::kFormatPacked) capture::Truncate(trace, *o.samples);
  if (!warning.empty()) Say(warning);
  if (!decoded && *o.format != capture::Format::Raw) {
    Say(error);
    return kFailed;
  }
  if (!WriteOutput(o, raw, decoded ? &trace : nullptr)) return kFailed;
  std::ostringstream summary;
  summary << raw.size() << " bytes";
  if (decoded)
    summary << ", " << trace.samples << " samples on " << trace.channels.size() << " channel"
            << (trace.channels.size() == 1 ? "" : "s") << " at " << rate << "/s (" << trace.Seconds(trace.samples)
            << " s)";
  summary << " -> " << (o.output == "-" ? "standard output" : o.output) << " (" << capture::FormatName(*o.format)
          << ")";
  Note(summary.str());
  if (runFailed) return kFailed;
  return stopAsked ? kInterrupted : 0;
}

// Reads a capture file for plotting, by its extension.
bool Load(const Options& o, capture::Trace& trace, std::string& error) {
  capture::Format format = capture::Format::Raw;
  capture::FormatFromPath(o.input, format);
  if (o.format) format = *o.format;
  if (format == capture::Format::Sr) return capture::ReadSr(o.input, trace, error);
  std::ifstream in(o.input, std::ios::binary);
  if (!in) {
    error = "cannot read " + o.input;
    return false;
  }
  if (format == capture::Format::Vcd) return capture::ReadVcd(in, trace, error);
  if (format == capture::Format::Csv) return capture::ReadCsv(in, trace, error);
  const std::vector<std::uint8_t> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const long mode = *capture::ModeNumber(o.mode);
  const long code = mode == 4 || mode == 5 ? capture::kFormatTiming : capture::kFormatPacked;
  return capture::Decode(raw, DecodeOptionsFor(o, code, mode == 2 ? 2 : o.inputChannels, o.rate.value_or(0)), trace,
                         error);
}

int Plot(const Options& o) {
  capture::Trace trace;
  std::string error, svg;
  if (!Load(o, trace, error)) {
    Say(o.input + ": " + error);
    return kFailed;
  }
  capture::PlotOptions p;
  p.from = o.from;
  p.to = o.to;
  p.width = o.width;
  p.title = o.title.empty() ? o.input : o.title;
  if (!capture::RenderSvg(trace, p, svg, error)) {
    Say(error);
    return kFailed;
  }
  std::ofstream out(o.output, std::ios::binary | std::ios::trunc);
  out << svg;
  out.close();
  if (!out) {
    Say("cannot write " + o.output);
    return kFailed;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  platform::ReserveStandardHandles();  // a channel handle of 0 would read as unbound
  Options o;
  std::string error;
  if (!capture::ParseOptions(argc, argv, o, error)) {
    Say(error);
    return kBadCommandLine;
  }
  if (o.command == capture::Command::Help) {
    std::fputs(capture::UsageText(), stdout);
    return 0;
  }
  if (o.command == capture::Command::Version) {
    std::printf("quelm-capture %s\n", QUELM_VERSION);
    return 0;
  }
  gQuiet = o.quiet;
  if (o.command == capture::Command::Plot) return Plot(o);

  IKorvoSampler* sampler = host::LoadSampler(o.library.empty() ? host::FindLibrary(argv[0], QUELM_SAMPLER_FROM_BIN) : o.library);
  if (!sampler) return kFailed;
  BSTR port = host::MakeBstr(o.port);
  const HRESULT opened = sampler->Open(port);
  SysFreeString(port);
  int rc = kFailed;
  if (!Failed(opened, "opening " + o.port)) rc = o.command == capture::Command::Info ? Info(sampler) : Capture(sampler, o);
  sampler->Release();  // also stops a run and closes the port
  return rc;
}
