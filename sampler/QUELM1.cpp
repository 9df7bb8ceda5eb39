// The exports of QUELM1.SAM: the sampler export and the four COM server entry
// points. Nothing else leaves the library, and no exception crosses these.
#include <new>

#include "interfaces/QUELM_TLB.h"
#include "platform/ComObj.h"
#include "sampler/QUELM1Server.h"
#include "sim/VirtualSamplers.h"

#define QUELM_API extern "C" __attribute__((visibility("default")))

using sampler::TQuelmServer;

namespace {

// The built-in virtual samplers can be opened by name ("SIM", ...) as soon as the
// library is loaded, without any hardware.
[[maybe_unused]] const bool gVirtualSamplersInstalled = [] {
  try {
    sim::InstallVirtualSamplers();
    return true;
  } catch (...) {
    return false;  // the real ports still work
  }
}();

// Unloading: the runtime outlives this library, so nothing of its code may stay
// in the runtime's tables. A destructor function runs before the library's static
// objects are destroyed, so no port can be opened on a device table already gone.
__attribute__((destructor)) void UnloadLibrary() {
  try {
    sim::UninstallVirtualSamplers();
  } catch (...) {
  }
  TQuelmServer::Shutdown();
}

// The server, or null after setting the reason of a failed initialisation as error info.
TQuelmServer* ReadyServer() {
  TQuelmServer& server = TQuelmServer::Instance();
  if (FAILED(server.InitResult())) {
    server.ReportFailure();
    return nullptr;
  }
  return &server;
}

}  // namespace

// Stores a new sampler in *sampler and releases what the variable held. The new
// object keeps DllCanUnloadNow at S_FALSE until it is released. On failure the
// variable is left null and the reason is the calling thread's error info.
QUELM_API void DllGetSamplerObject(IKorvoSampler** sampler) {
  if (!sampler) return;
  IKorvoSampler* created = nullptr;
  try {
    if (TQuelmServer* server = ReadyServer())
      server->Factory("KorvoSampler")->CreateObject(true, IID_IKorvoSampler, reinterpret_cast<void**>(&created));
  } catch (...) {
    created = nullptr;
  }
  IKorvoSampler* old = *sampler;
  *sampler = created;
  if (old) old->Release();
}

QUELM_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  try {
    TQuelmServer* server = ReadyServer();
    if (!server) return TQuelmServer::Instance().InitResult();
    platform::TAutoObjectFactory* factory = server->PublicFactory(rclsid);
    if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
    return factory->QueryInterface(riid, ppv);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// S_OK only when nothing of the library lives: no object (a sampler's reading
// thread ends before the sampler is gone), no server lock, no class object held,
// no open port whose device model is the library's code.
QUELM_API HRESULT DllCanUnloadNow() {
  try {
    return TQuelmServer::CanUnload() && sim::OpenDeviceCount() == 0 ? S_OK : S_FALSE;
  } catch (...) {
    return S_FALSE;
  }
}

QUELM_API HRESULT DllRegisterServer() {
  try {
    TQuelmServer* server = ReadyServer();
    if (!server) return E_FAIL;
    server->Register();
    return S_OK;
  } catch (const platform::Exception& e) {
    platform::SetThreadErrorInfo(e.Message(), "QUELM1", GUID_NULL);
  } catch (...) {
  }
  return E_FAIL;
}

QUELM_API HRESULT DllUnregisterServer() {
  try {
    // Unregistering needs no type information: a broken installation can still be removed.
    TQuelmServer::Instance().Unregister();
    return S_OK;
  } catch (const platform::Exception& e) {
    platform::SetThreadErrorInfo(e.Message(), "QUELM1", GUID_NULL);
  } catch (...) {
  }
  return E_FAIL;
}
