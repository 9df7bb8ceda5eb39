// Library initialisation, the library's own coclasses and their registration.
#include "sampler/QUELM1Server.h"

#include <atomic>
#include <mutex>
#include <new>

#include "enumerators/SamplerOwner.h"
#include "interfaces/QUELM_TLB.h"
#include "interfaces/QUELM_TypeDesc.h"
#include "interfaces/QUELM_TypeDesc.h"
#include "platform/ComBase.h"
#include "platform/Guid.h"
#include "platform/Registry.h"
#include "sampler/SSampler1.h"
#include "sampler/SamplerLock.h"

namespace sampler {

namespace {

constexpr const char* kPlatformKey = "linux64";  // Windows writes "win32" here
constexpr const char* kPublicClass = "KorvoSampler";

struct TClassEntry {
  const char* coclass;
  platform::TAutoObjectFactory::TCreator creator;
};

constexpr TClassEntry kClasses[] = {
    {"KorvoSampler", &TKorvoSampler::Create},
    {"SamplerChannels", &enumerators::RefuseDirectCreation},
    {"SamplerChannel", &enumerators::RefuseDirectCreation},
    {"EnumSamplerCapabilities", &enumerators::RefuseDirectCreation},
    {"EnumSamplerConfigurations", &enumerators::RefuseDirectCreation},
    {"EnumRates", &enumerators::RefuseDirectCreation},
    {"EnumModes", &enumerators::RefuseDirectCreation},
    {"EnumDiagnotors", &enumerators::RefuseDirectCreation},
};


std::string FolderOf(const std::string& path) {
  size_t p = path.rfind('/');
  return p == std::string::npos ? std::string(".") : path.substr(0, p == 0 ? 1 : p);
}

std::string TypeLibKey(const GUID& libid, const platform::TTypeLibDesc& lib) {
  return platform::Format("TypeLib\\%s\\%d.%d", platform::GuidToString(libid), lib.MajorVersion, lib.MinorVersion);
}

[[noreturn]] void RaiseRegistryError(const std::string& key, LONG code) {
  throw platform::Exception(platform::Format("Registry key '%s' cannot be written (%d)", key, code));
}

void SetKeyValue(const std::string& key, const char* name, const std::string& value) {
  HKEY h = nullptr;
  LONG r = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                           &h, nullptr);
  if (r != ERROR_SUCCESS) RaiseRegistryError(key, r);
  r = RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
  RegCloseKey(h);
  if (r != ERROR_SUCCESS) RaiseRegistryError(key, r);
}

// Deletes a key and all below it; a key that is not there is no failure.
void DeleteTree(const std::string& key) {
  LONG r = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
  if (r != ERROR_SUCCESS && r != static_cast<LONG>(ERROR_FILE_NOT_FOUND))
    throw platform::Exception(platform::Format("Registry key '%s' cannot be deleted (%d)", key, r));
}

}  // namespace

const platform::TTypeLibDesc& OwnTypeLib() { return quelm::ClassTypeLib(); }

namespace {

std::once_flag gServerOnce;
std::atomic<TQuelmServer*> gServer{nullptr};

}  // namespace

TQuelmServer::TQuelmServer() = default;

TQuelmServer::~TQuelmServer() {
  for (auto* f : factories_) delete f;
}

TQuelmServer& TQuelmServer::Instance() {
  // Lives until the library is unloaded (Shutdown), or to the end of the process
  // when a host still holds objects that use their factories.
  std::call_once(gServerOnce, [] {
    auto* s = new TQuelmServer();
    s->Initialize();
    gServer.store(s);
  });
  return *gServer.load();
}

bool TQuelmServer::InUse() const {
  if (!server_.CanUnload()) return true;
  for (const auto* f : factories_)
    if (f->RefCount() > 0) return true;
  return false;
}

bool TQuelmServer::CanUnload() {
  // Never initialises the server only to answer.
  const TQuelmServer* s = gServer.load();
  return !s || !s->InUse();
}

void TQuelmServer::Shutdown() {
  TQuelmServer* s = gServer.load();
  if (!s || s->InUse()) return;
  gServer.store(nullptr);
  delete s;
}

platform::TTypeLibDesc TQuelmServer::LoadInterfaceTypeLib() const {
  std::string beside = FolderOf(libraryPath_) + "/QUELM.tlb";
  try {
    return platform::LoadTypeLibFile(beside);
  } catch (const platform::Exception&) {
    // Else the interface library as registered on this machine.
    std::string registered;
    if (!platform::RegReadString(TypeLibKey(LIBID_QUELM, quelm::InterfaceTypeLib()) + "\\0\\" + kPlatformKey, "",
                                 registered))
      throw;
    return platform::LoadTypeLibFile(registered);
  }
}

void TQuelmServer::Initialize() {
  try {
    libraryPath_ = platform::ModuleFileName(reinterpret_cast<const void*>(&TQuelmServer::Instance));
    SamplerLock();
    platform::TTypeLibDesc interfaces = LoadInterfaceTypeLib();
    const platform::TTypeLibDesc& own = OwnTypeLib();
    const platform::TTypeLibDesc& compiled = quelm::InterfaceTypeLib();
    for (const TClassEntry& entry : kClasses) {
      const platform::TCoClassDesc* coclass = own.FindCoClass(entry.coclass);
      const platform::TInterfaceDesc* intf = coclass ? compiled.FindInterface(coclass->DefaultInterface) : nullptr;
      if (!coclass || !intf)
        throw platform::Exception(platform::Format("Incorrect type information for class %s", entry.coclass));
      factories_.push_back(new platform::TAutoObjectFactory(server_, own, *coclass, interfaces, *intf, entry.creator));
    }
    initResult_ = S_OK;
  } catch (const platform::Exception& e) {
    initResult_ = e.ErrorCode() < 0 ? e.ErrorCode() : E_FAIL;
    initError_ = e.Message();
  } catch (const std::bad_alloc&) {
    initResult_ = E_OUTOFMEMORY;
    initError_ = "Out of memory";
  } catch (const std::exception& e) {
    initResult_ = E_UNEXPECTED;
    initError_ = e.what();
  }
  if (FAILED(initResult_)) {
    for (auto* f : factories_) delete f;
    factories_.clear();
  }
}

void TQuelmServer::ReportFailure() const {
  platform::SetThreadErrorInfo(initError_, OwnTypeLib().Name + "." + kPublicClass, IID_IKorvoSampler);
}

platform::TAutoObjectFactory* TQuelmServer::Factory(const std::string& coclass) {
  for (auto* f : factories_)
    if (platform::SameText(f->ClassName(), coclass)) return f;
  return nullptr;
}

platform::TAutoObjectFactory* TQuelmServer::PublicFactory(REFCLSID clsid) {
  platform::TAutoObjectFactory* f = Factory(kPublicClass);
  return f && f->ClassId() == clsid ? f : nullptr;
}

void TQuelmServer::Register() const {
  if (libraryPath_.empty()) throw platform::Exception("The library's own path cannot be told");
  const platform::TTypeLibDesc& lib = OwnTypeLib();
  const platform::TCoClassDesc* coclass = lib.FindCoClass(kPublicClass);
  const std::string libKey = TypeLibKey(lib.LibId, lib);
  SetKeyValue(libKey, "", lib.HelpString);
  SetKeyValue(libKey + "\\0\\" + kPlatformKey, "", libraryPath_);
  SetKeyValue(libKey + "\\FLAGS", "", "0");
  SetKeyValue(libKey + "\\HELPDIR", "", FolderOf(libraryPath_));

  const std::string clsid = platform::GuidToString(coclass->Clsid);
  const std::string classKey = "CLSID\\" + clsid;
  const std::string progId = lib.Name + "." + coclass->Name;
  SetKeyValue(classKey, "", coclass->HelpString);
  SetKeyValue(classKey + "\\InprocServer32", "", libraryPath_);
  SetKeyValue(classKey + "\\InprocServer32", "ThreadingModel", "Both");
  SetKeyValue(progId, "", coclass->HelpString);
  SetKeyValue(progId + "\\Clsid", "", clsid);
  SetKeyValue(classKey + "\\ProgID", "", progId);
  SetKeyValue(classKey + "\\Version", "", platform::Format("%d.%d", lib.MajorVersion, lib.MinorVersion));
  SetKeyValue(classKey + "\\TypeLib", "", platform::GuidToString(lib.LibId));
}

void TQuelmServer::Unregister() const {
  const platform::TTypeLibDesc& lib = OwnTypeLib();
  const platform::TCoClassDesc* coclass = lib.FindCoClass(kPublicClass);
  DeleteTree("CLSID\\" + platform::GuidToString(coclass->Clsid));
  DeleteTree(lib.Name + "." + coclass->Name);
  DeleteTree(TypeLibKey(lib.LibId, lib));
  // The library's key goes too once no other version is registered under it.
  RegDeleteKeyA(HKEY_CLASSES_ROOT, ("TypeLib\\" + platform::GuidToString(lib.LibId)).c_str());
}

}  // namespace sampler
