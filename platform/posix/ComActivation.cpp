// Activation of in-process servers: the class is looked up in the registry,
// its library loaded once and asked for the class object.
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "platform/ComBase.h"
#include "platform/Guid.h"
#include "platform/Registry.h"
#include "platform/SysUtils.h"

#define QUELM_EXPORT __attribute__((visibility("default")))

namespace {

using DllGetClassObjectProc = HRESULT (*)(REFCLSID, REFIID, void**);

void ReportError(const std::string& text) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return;
  platform::OleString w = platform::OleFromString(text);
  platform::OleString source = OLESTR("COM");
  create->SetDescription(w.data());
  create->SetSource(source.data());
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

// Loaded servers stay loaded: their objects may still be alive anywhere in the process.
std::mutex gLibraryMutex;
std::map<std::string, void*>& LoadedLibraries() {
  static auto* libraries = new std::map<std::string, void*>();
  return *libraries;
}

HRESULT LoadServer(const std::string& path, DllGetClassObjectProc& entry) {
  std::lock_guard<std::mutex> lock(gLibraryMutex);
  void*& handle = LoadedLibraries()[path];
  if (!handle) handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!handle) {
    const char* why = dlerror();
    LoadedLibraries().erase(path);
    ReportError("Cannot load server '" + path + "': " + (why ? why : "unknown reason"));
    return CO_E_DLLNOTFOUND;
  }
  entry = reinterpret_cast<DllGetClassObjectProc>(dlsym(handle, "DllGetClassObject"));
  if (!entry) {
    ReportError("Server '" + path + "' has no DllGetClassObject");
    return CO_E_ERRORINDLL;
  }
  return S_OK;
}

}  // namespace

namespace platform {

std::string ModuleFileName(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname || !*info.dli_fname) return std::string();
  char resolved[PATH_MAX];
  if (!realpath(info.dli_fname, resolved)) return std::string();
  return resolved;
}

}  // namespace platform

extern "C" {

QUELM_EXPORT HRESULT CoGetClassObject(REFCLSID rclsid, CLSCTX dwClsContext, void*, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;  // only in-process servers exist here
  try {
    std::string path;
    if (!platform::RegReadString("CLSID\\" + platform::GuidToString(rclsid) + "\\InprocServer32", "", path) ||
        platform::Trim(path).empty())
      return REGDB_E_CLASSNOTREG;
    DllGetClassObjectProc entry = nullptr;
    if (HRESULT hr = LoadServer(path, entry); FAILED(hr)) return hr;
    return entry(rclsid, riid, ppv);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

QUELM_EXPORT HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, CLSCTX dwClsContext, REFIID riid,
                                      void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  if (!factory) return E_UNEXPECTED;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  return hr;
}

}  // extern "C"
