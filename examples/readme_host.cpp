// The host program README.md shows, whole: load the library, open the virtual
// sampler, check that a sampler answered, run 80000 samples into a file and
// wait for the end. A test checks that README.md shows exactly the lines
// between the markers, and runs the program.
//
//   readme_host LIB DATAFILE
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "interfaces/QUELM_TLB.h"

namespace {

// The text of a BSTR the library handed over, which is then freed.
std::string Take(BSTR s) {
  std::string text;
  for (UINT i = 0; i < SysStringLen(s); ++i) text += static_cast<char>(s[i]);
  SysFreeString(s);
  return text;
}

// The library's description of the last failure on this thread.
std::string LastError() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK) return "no further information";
  BSTR text = nullptr;
  info->GetDescription(&text);
  info->Release();
  return Take(text);
}

// Prints which call failed and why; the program's exit code.
int Fail(const char* what) {
  std::fprintf(stderr, "%s failed: %s\n", what, LastError().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: readme_host LIB DATAFILE\n");
    return 2;
  }
  const char* library = argv[1];
  const char* dataFile = argv[2];
  // README:begin
  void* lib = dlopen(library, RTLD_NOW | RTLD_GLOBAL);  // QUELM.tlb lies beside it
  if (!lib) return 1;
  auto get = (DllGetSamplerObjectProc)dlsym(lib, "DllGetSamplerObject");
  IKorvoSampler* s = nullptr;
  if (get) get(&s);                              // a new sampler; state 0 "Inactive"
  if (!s) return 1;

  BSTR port = SysAllocString(OLESTR("SIM"));
  HRESULT hr = s->Open(port);                    // identifies the device
  SysFreeString(port);
  BSTR text = nullptr;
  LONG state = 0;
  s->GetStatus(&text, &state);
  std::string status = Take(text);               // frees the BSTR
  if (FAILED(hr) || state < SST_OPEN) {          // 1-3: nothing, or nothing known, answered
    std::fprintf(stderr, "Open: %s\n", status.c_str());
    return 1;
  }

  if (FAILED(s->SetMode(1))) return Fail("SetMode");      // sole-channel sampling
  if (FAILED(s->SetRate(90909))) return Fail("SetRate");  // the fastest a 115200-baud line carries
  s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE);
  s->SetCapabilityLong(SCAP_SAMPLE_COUNT, 80000);          // 10000 bytes

  int fd = open(dataFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ISamplerChannels* chans = nullptr;
  ISamplerChannel* ch = nullptr;
  s->GetChannels(&chans);
  chans->Item(0, &ch);
  hr = ch->Bind(fd, VARIANT_TRUE);               // the run closes fd at its end
  ch->Release();
  chans->Release();
  if (FAILED(hr) || FAILED(s->Start())) return Fail("Start");

  VARIANT_BOOL sampling = VARIANT_TRUE;
  while (sampling) {                             // or poll from a timer
    usleep(50000);
    s->IsSampling(&sampling);
  }
  s->GetStatus(&text, &state);                   // 512: every byte delivered
  std::printf("%d %s\n", (int)state, Take(text).c_str());
  s->Close();
  s->Release();
  return state == SST_READY ? 0 : 1;
  // README:end
}
