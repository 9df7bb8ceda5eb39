// A host program: loads QUELM1.SAM, obtains a sampler through DllGetSamplerObject
// and prints its description, status and version. Needs only QUELM_TLB.h and the runtime.
#include <cstdio>

#include "examples/HostSupport.h"

using host::LastErrorText;
using host::Text;

int main(int argc, char** argv) {
  IKorvoSampler* sampler = host::LoadSampler(host::LibraryPath(argv[0], argc, argv));
  if (!sampler) return 1;
  BSTR description = nullptr, status = nullptr;
  LONG code = 0, version = 0;
  int rc = 0;
  if (FAILED(sampler->GetDescription(&description)) || FAILED(sampler->GetStatus(&status, &code)) ||
      FAILED(sampler->GetVersion(&version))) {
    std::fprintf(stderr, "Sampler call failed: %s\n", LastErrorText().c_str());
    rc = 1;
  } else {
    std::printf("Description: %s\nStatus: %s (code %d)\nVersion: %d\n", Text(description).c_str(),
                Text(status).c_str(), static_cast<int>(code), static_cast<int>(version));
  }
  SysFreeString(description);
  SysFreeString(status);
  sampler->Release();
  return rc;
}
