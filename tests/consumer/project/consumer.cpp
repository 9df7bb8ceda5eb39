// Loads the installed QUELM1.SAM, opens the virtual sampler and prints what a host sees.
#include <dlfcn.h>

#include <cstdio>

#include "interfaces/QUELM_TLB.h"

int main() {
  void* lib = dlopen(QUELM_SAMPLER_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
  if (!lib) {
    std::printf("dlopen failed: %s\n", dlerror());
    return 1;
  }
  auto get = reinterpret_cast<DllGetSamplerObjectProc>(dlsym(lib, "DllGetSamplerObject"));
  IKorvoSampler* sampler = nullptr;
  if (get) get(&sampler);
  if (!sampler) {
    std::printf("no sampler\n");
    return 1;
  }
  BSTR port = SysAllocString(OLESTR("SIM"));
  HRESULT hr = sampler->Open(port);
  SysFreeString(port);
  BSTR text = nullptr;
  LONG code = -1;
  sampler->GetStatus(&text, &code);
  std::printf("open 0x%08X status %d ", static_cast<unsigned>(hr), static_cast<int>(code));
  for (UINT i = 0; i < SysStringLen(text); ++i) std::putchar(static_cast<char>(text[i]));
  std::printf("\n");
  SysFreeString(text);
  sampler->Release();
  return hr == S_OK ? 0 : 1;
}
