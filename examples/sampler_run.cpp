// A whole sampling run through QUELM1.SAM: list ports, open one (the built-in
// virtual sampler "SIM" unless --port=NAME names another), show modes, rates
// and capabilities, run to a file and report.
//
//   sampler_run [--port=NAME] [LIB [DATAFILE]]
//
// DATAFILE defaults to sampler_run.bin beside the program.
//
// Exit code 0 only when the run delivered every byte it asked for; 1 when a
// call failed, the run ended with a failure status (3840-3842) or short of
// data, the reason on standard error; 2 for an unknown option.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "examples/HostSupport.h"

namespace {

using host::LastErrorText;
using host::Take;

// Reports a failed call and tells the caller to give up.
bool Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return true;
  std::fprintf(stderr, "%s failed (0x%08X): %s\n", what, static_cast<unsigned>(hr), LastErrorText().c_str());
  return false;
}

// Prints up to `limit` items from the start of the list, after how many
// there are, in columns as wide as their longest entry.
void PrintItems(const char* title, IEnumSamplerItems* items, int limit = 1000) {
  LONG count = 0;
  items->GetCount(&count);
  std::printf("%s (%d):\n", title, static_cast<int>(count));
  items->Reset();  // the capability list is shared and shows the settings as they are now
  struct Row {
    std::string name, flags;
    SAMPLERCAPABILITYINFO item;
  };
  std::vector<Row> rows;
  size_t nameWidth = 0, flagsWidth = 0;
  SAMPLERCAPABILITYINFO item{};
  ULONG fetched = 0;
  for (int n = 0; n < limit && SUCCEEDED(items->Next(1, &item, &fetched)) && fetched == 1; ++n) {
    rows.push_back({host::PlainLabel(Take(item.Name)), host::FlagsText(item.Flags), item});
    nameWidth = std::max(nameWidth, rows.back().name.size());
    flagsWidth = std::max(flagsWidth, rows.back().flags.size());
  }
  items->Release();
  for (const Row& r : rows)
    std::printf("  %-*s  id %-5d value %-9d %-*s  group %d\n", static_cast<int>(nameWidth), r.name.c_str(),
                static_cast<int>(r.item.Id), static_cast<int>(r.item.Value), static_cast<int>(flagsWidth),
                r.flags.c_str(), static_cast<int>(r.item.Group));
}

// The first (highest) rate the mode offers: the fastest the serial line carries.
LONG FirstRate(IKorvoSampler* sampler) {
  IEnumSamplerItems* rates = nullptr;
  if (!Check(sampler->GetRates(&rates), "GetRates")) return 0;
  SAMPLERCAPABILITYINFO item{};
  ULONG fetched = 0;
  const bool got = Check(rates->Next(1, &item, &fetched), "Next") && fetched == 1;
  rates->Release();
  if (!got) return 0;
  SysFreeString(item.Name);
  return item.Value;
}

// The run itself, once the sampler exists.
int Run(IKorvoSampler* sampler, const std::string& portName, const std::string& dataPath) {
  IEnumSamplerItems* items = nullptr;
  if (!Check(sampler->GetConfigurations(&items), "GetConfigurations")) return 1;
  PrintItems("Connections", items);

  BSTR port = host::MakeBstr(portName);  // port names are ASCII
  const bool opened = Check(sampler->Open(port), "Open");
  SysFreeString(port);
  if (!opened) return 1;
  BSTR id = nullptr;
  if (!Check(sampler->GetHardwareId(&id), "GetHardwareId")) return 1;
  std::printf("Hardware: %s\n", Take(id).c_str());

  if (!Check(sampler->GetModes(&items), "GetModes")) return 1;
  PrintItems("Modes", items);
  const LONG mode = 1;  // sole-channel sampling
  if (!Check(sampler->SetMode(mode), "SetMode")) return 1;
  if (!Check(sampler->GetRates(&items), "GetRates")) return 1;
  PrintItems("Rates of the sole-channel mode, the first ones", items, 6);
  const LONG rate = FirstRate(sampler);
  if (rate <= 0 || !Check(sampler->SetRate(rate), "SetRate")) return 1;
  std::printf("Rate chosen: %d samples/s\n", static_cast<int>(rate));
  const LONG samples = 80000;  // 10000 bytes
  if (!Check(sampler->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE), "stop on count") ||
      !Check(sampler->SetCapabilityLong(SCAP_SAMPLE_COUNT, samples), "sample count"))
    return 1;
  if (!Check(sampler->GetCapabilities(&items), "GetCapabilities")) return 1;
  PrintItems("Capabilities", items);

  const int fd = open(dataPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::perror(dataPath.c_str());
    return 1;
  }
  ISamplerChannels* channels = nullptr;
  ISamplerChannel* channel = nullptr;
  if (!Check(sampler->GetChannels(&channels), "GetChannels")) return 1;
  const bool bound = Check(channels->Item(0, &channel), "Item") &&
                     Check(channel->Bind(fd, VARIANT_TRUE), "Bind");  // the run closes the file
  if (channel) channel->Release();
  channels->Release();
  if (!bound) return 1;

  if (!Check(sampler->Start(), "Start")) return 1;
  LONG last = -1;
  std::string lastText;
  LONG finalCode = -1;  // the status of the last poll
  std::string finalText;
  bool ended = false;
  for (int polls = 0; polls < 3000 && !ended; ++polls) {
    BSTR status = nullptr;
    LONG code = 0;
    if (!Check(sampler->GetStatus(&status, &code), "GetStatus")) return 1;
    const std::string text = Take(status);
    if (code != last || (code == SST_SAMPLING && text != lastText && polls % 10 == 0)) {
      std::printf("Status %4d: %s\n", static_cast<int>(code), text.c_str());
      last = code;
      lastText = text;
    }
    VARIANT_BOOL sampling = VARIANT_FALSE;
    if (!Check(sampler->IsSampling(&sampling), "IsSampling")) return 1;
    finalCode = code;
    finalText = text;
    ended = !sampling && code != SST_WAITING && code != SST_SAMPLING;
    if (!ended) usleep(10000);
  }
  std::fflush(stdout);  // the status lines first, then a failure on standard error
  if (!ended) {
    std::fprintf(stderr, "Run failed: still running after 30 s (status %d: %s)\n", static_cast<int>(finalCode),
                 finalText.c_str());
    return 1;
  }
  if (finalCode >= SST_RUN_FAILED && finalCode <= SST_COMMAND_FAILED) {
    std::fprintf(stderr, "Run failed: status %d: %s\n", static_cast<int>(finalCode), finalText.c_str());
    return 1;
  }
  struct stat info {};
  const long long expected = samples / 8;
  const long long received = stat(dataPath.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : 0;
  if (received < expected) {
    std::fprintf(stderr, "Run failed: received %lld of %lld bytes (status %d: %s)\n", received, expected,
                 static_cast<int>(finalCode), finalText.c_str());
    return 1;
  }
  std::printf("Received %lld bytes (%d samples); the data are in %s\n", received, static_cast<int>(samples),
              dataPath.c_str());
  return Check(sampler->Close(), "Close") ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string portName = "SIM";
  std::vector<char*> positional{argv[0]};  // LIB and DATAFILE, wherever --port stands
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--port=", 7) == 0) {
      portName = argv[i] + 7;
    } else if (argv[i][0] == '-' && argv[i][1] == '-') {
      std::fprintf(stderr, "Unknown option %s\nUsage: sampler_run [--port=NAME] [LIB [DATAFILE]]\n", argv[i]);
      return 2;
    } else {
      positional.push_back(argv[i]);
    }
  }
  const int count = static_cast<int>(positional.size());
  // By default the data go beside the program (build/bin), not into whatever folder it was started from.
  const std::string dataPath = count > 2 ? positional[2] : host::ProgramFolder(argv[0]) + "/sampler_run.bin";
  IKorvoSampler* sampler = host::LoadSampler(host::LibraryPath(argv[0], count, positional.data()));
  if (!sampler) return 1;
  const int rc = Run(sampler, portName, dataPath);
  sampler->Release();  // also stops a run and closes the port
  return rc;
}
