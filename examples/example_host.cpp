// A host program: loads QUELM1.SAM, obtains a sampler through DllGetSamplerObject
// and prints its description, status and version. Needs only QUELM_TLB.h and the runtime.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "interfaces/QUELM_TLB.h"

namespace {

std::string Text(BSTR s) {
  std::string r;
  for (UINT i = 0; i < SysStringLen(s); ++i) r += s[i] <= 0xFF ? static_cast<char>(s[i]) : '?';
  return r;
}

// The error-info description the library left for this thread, if any.
std::string LastErrorText() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return "no further information";
  BSTR d = nullptr;
  info->GetDescription(&d);
  std::string r = Text(d);
  SysFreeString(d);
  info->Release();
  return r;
}

std::string LibraryPath(int argc, char** argv) {
  if (argc > 1) return argv[1];
  std::string self = argv[0];
  size_t slash = self.rfind('/');
  return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/QUELM1.SAM";
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = LibraryPath(argc, argv);
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!library) {
    std::fprintf(stderr, "Cannot load %s: %s\n", path.c_str(), dlerror());
    return 1;
  }
  auto getSampler = reinterpret_cast<DllGetSamplerObjectProc>(dlsym(library, "DllGetSamplerObject"));
  if (!getSampler) {
    std::fprintf(stderr, "%s has no DllGetSamplerObject\n", path.c_str());
    return 1;
  }
  IKorvoSampler* sampler = nullptr;
  getSampler(&sampler);
  if (!sampler) {
    std::fprintf(stderr, "No sampler: %s\n", LastErrorText().c_str());
    return 1;
  }
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
