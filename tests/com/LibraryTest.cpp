// QUELM1.SAM as hosts meet it: loaded with dlopen, through its exports, the
// registry and CoCreateInstance, by name through IDispatch, and without QUELM.tlb.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "ComTestSupport.h"
#include "interfaces/QUELM_TLB.h"
#include "platform/ComBase.h"
#include "platform/Guid.h"
#include "platform/Registry.h"

namespace {

struct Library {
  explicit Library(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) return;
    getSampler = reinterpret_cast<DllGetSamplerObjectProc>(dlsym(handle, "DllGetSamplerObject"));
    getClassObject = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(dlsym(handle, "DllGetClassObject"));
    canUnloadNow = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllCanUnloadNow"));
    registerServer = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllRegisterServer"));
    unregisterServer = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllUnregisterServer"));
  }
  // Stays loaded: objects and thread-local error info may still refer to it.
  void* handle = nullptr;
  DllGetSamplerObjectProc getSampler = nullptr;
  HRESULT (*getClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT (*canUnloadNow)() = nullptr;
  HRESULT (*registerServer)() = nullptr;
  HRESULT (*unregisterServer)() = nullptr;
};

std::string SamPath() { return comtest::BinDir() + "/QUELM1.SAM"; }

Library& Sam() {
  static Library lib(SamPath());
  return lib;
}

std::string Status(IKorvoSampler* s, LONG& code) {
  platform::BStr text;
  EXPECT_EQ(s->GetStatus(text.Out(), &code), S_OK);
  return text.Str();
}

// Every key of the store with its values, "path" and "path|name=value".
std::set<std::string> StoreContents(const std::string& file) {
  std::ifstream in(file);
  std::set<std::string> r;
  std::string line, key;
  while (std::getline(in, line)) {
    if (line.rfind("[HKEY_CLASSES_ROOT\\", 0) == 0) {
      key = line.substr(19, line.size() - 20);
      r.insert(key);
    } else if (!line.empty() && line != "REGEDIT4") {
      r.insert(key + "|" + line);
    }
  }
  return r;
}

TEST(Library, ExportsOnlyItsEntryPointsAndTheRuntimeIsShared) {
  ASSERT_NE(Sam().handle, nullptr) << dlerror();
  EXPECT_NE(Sam().getSampler, nullptr);
  EXPECT_NE(Sam().getClassObject, nullptr);
  EXPECT_NE(Sam().canUnloadNow, nullptr);
  EXPECT_NE(Sam().registerServer, nullptr);
  EXPECT_NE(Sam().unregisterServer, nullptr);
  EXPECT_EQ(dlsym(Sam().handle, "_ZN7sampler12TQuelmServer8InstanceEv"), nullptr) << "internals stay hidden";
  for (const char* name : {"SysAllocString", "SysFreeString", "SysStringLen", "SysAllocStringLen", "GetErrorInfo"})
    EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
}

TEST(Library, SamplerFromTheExportReportsItselfAndReplacesTheVariable) {
  IKorvoSampler* s = nullptr;
  Sam().getSampler(&s);
  ASSERT_NE(s, nullptr);
  LONG code = -1;
  EXPECT_EQ(Status(s, code), "Inactive");
  EXPECT_EQ(code, 0);
  platform::BStr description;
  ASSERT_EQ(s->GetDescription(description.Out()), S_OK);
  EXPECT_EQ(description.Str(), "Korvo Sampler on COM port");
  LONG version = 0;
  ASSERT_EQ(s->GetVersion(&version), S_OK);
  EXPECT_EQ(version, 1);

  IKorvoSampler* first = s;
  first->AddRef();  // the test's own reference, to watch the export release the variable's one
  Sam().getSampler(&s);
  ASSERT_NE(s, nullptr);
  EXPECT_NE(s, first);
  EXPECT_EQ(first->Release(), 0u) << "the second call released the first object";
  s->Release();
}

TEST(Library, AFailureInsideAMethodReachesTheHostWithTheCatalogueText) {
  IKorvoSampler* s = nullptr;
  Sam().getSampler(&s);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->SetRate(100), E_UNEXPECTED) << "no hardware is open";
  auto info = comtest::TakeErrorInfo();
  ASSERT_TRUE(info.present);
  EXPECT_EQ(info.description, "E10 - Invalid Sampler State");
  EXPECT_EQ(info.source, "QUELM1.KorvoSampler");
  EXPECT_EQ(info.guid, IID_IKorvoSampler);
  LONG code = 0;
  EXPECT_EQ(s->GetMode(nullptr), E_POINTER);
  EXPECT_EQ(s->GetStatus(nullptr, &code), E_POINTER);
  s->Release();
}

TEST(Library, ScriptHostCallsByName) {
  IKorvoSampler* s = nullptr;
  Sam().getSampler(&s);
  ASSERT_NE(s, nullptr);
  IDispatch* d = nullptr;
  ASSERT_EQ(s->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)), S_OK);
  platform::OleString name = OLESTR("getstatus");
  LPOLESTR names[] = {name.data()};
  DISPID id = 0;
  ASSERT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  BSTR text = nullptr;
  VARIANT arg{};
  arg.vt = VT_BYREF | VT_BSTR;
  arg.pbstrVal = &text;
  DISPPARAMS params{&arg, nullptr, 1, 0};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(platform::StringFromBstr(text), "Inactive");
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 0);
  SysFreeString(text);

  name = OLESTR("GetDescription");
  names[0] = name.data();
  ASSERT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
            S_OK);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(platform::StringFromBstr(result.bstrVal), "Korvo Sampler on COM port");
  VariantClear(&result);

  name = OLESTR("SetRate");
  names[0] = name.data();
  ASSERT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  VARIANT rate{};
  rate.vt = VT_BSTR;
  rate.bstrVal = platform::BstrFromString("100");
  DISPPARAMS one{&rate, nullptr, 1, 0};
  EXCEPINFO excep{};
  EXPECT_EQ(d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, &excep, nullptr), DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, E_UNEXPECTED);
  EXPECT_EQ(platform::StringFromBstr(excep.bstrDescription), "E10 - Invalid Sampler State");
  EXPECT_EQ(platform::StringFromBstr(excep.bstrSource), "QUELM1.KorvoSampler");
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  VariantClear(&rate);
  d->Release();
  s->Release();
}

TEST(Library, RegistrationWritesExactlyTheClassKeysAndActivationWorks) {
  comtest::PrivateRegistry reg;
  const std::string sam = std::filesystem::canonical(SamPath()).string();
  const std::string dir = sam.substr(0, sam.rfind('/'));
  const std::string clsid = platform::GuidToString(CLSID_KorvoSampler);
  const std::string libid = platform::GuidToString(LIBID_QUELM1);

  IUnknown* unk = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_KorvoSampler, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&unk)),
            REGDB_E_CLASSNOTREG);
  ASSERT_EQ(Sam().registerServer(), S_OK);
  const std::string c = "CLSID\\" + clsid, t = "TypeLib\\" + libid;
  std::set<std::string> expected = {
      "CLSID", c, c + "|@=\"KorvoSampler\"", c + "\\InprocServer32", c + "\\InprocServer32|@=\"" + sam + "\"",
      c + "\\InprocServer32|\"ThreadingModel\"=\"Both\"", c + "\\ProgID", c + "\\ProgID|@=\"QUELM1.KorvoSampler\"",
      c + "\\TypeLib", c + "\\TypeLib|@=\"" + libid + "\"", c + "\\Version", c + "\\Version|@=\"1.0\"",
      "QUELM1.KorvoSampler", "QUELM1.KorvoSampler|@=\"KorvoSampler\"", "QUELM1.KorvoSampler\\Clsid",
      "QUELM1.KorvoSampler\\Clsid|@=\"" + clsid + "\"", "TypeLib", t, t + "\\1.0",
      t + "\\1.0|@=\"Korvo Sampler Library\"", t + "\\1.0\\0", t + "\\1.0\\0\\linux64",
      t + "\\1.0\\0\\linux64|@=\"" + sam + "\"", t + "\\1.0\\FLAGS", t + "\\1.0\\FLAGS|@=\"0\"", t + "\\1.0\\HELPDIR",
      t + "\\1.0\\HELPDIR|@=\"" + dir + "\""};
  EXPECT_EQ(StoreContents(reg.File()), expected);

  IKorvoSampler* s = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_KorvoSampler, nullptr, CLSCTX_INPROC_SERVER, IID_IKorvoSampler,
                             reinterpret_cast<void**>(&s)),
            S_OK);
  LONG code = -1;
  EXPECT_EQ(Status(s, code), "Inactive");
  EXPECT_EQ(Sam().canUnloadNow(), S_FALSE) << "a factory-made object is live";
  s->Release();
  EXPECT_EQ(Sam().canUnloadNow(), S_OK);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(CLSID_KorvoSampler, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  factory->LockServer(TRUE);
  EXPECT_EQ(Sam().canUnloadNow(), S_FALSE);
  factory->LockServer(FALSE);
  EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, reinterpret_cast<void**>(&unk)), CLASS_E_NOAGGREGATION);
  factory->Release();

  for (const CLSID* internal : {&CLSID_SamplerChannels, &CLSID_SamplerChannel, &CLSID_EnumSamplerCapabilities,
                                &CLSID_EnumSamplerConfigurations, &CLSID_EnumRates, &CLSID_EnumModes,
                                &CLSID_EnumDiagnotors}) {
    EXPECT_EQ(CoCreateInstance(*internal, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&unk)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Sam().getClassObject(*internal, IID_IClassFactory, reinterpret_cast<void**>(&unk)),
              CLASS_E_CLASSNOTAVAILABLE);
  }

  ASSERT_EQ(Sam().unregisterServer(), S_OK);
  EXPECT_EQ(StoreContents(reg.File()), (std::set<std::string>{"CLSID", "TypeLib"}));
  EXPECT_EQ(Sam().unregisterServer(), S_OK) << "unregistering twice is no failure";
  EXPECT_EQ(CoCreateInstance(CLSID_KorvoSampler, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&unk)),
            REGDB_E_CLASSNOTREG);
}

TEST(Library, RegistrationsRacingFromTwoProcessesLeaveAValidStore) {
  comtest::PrivateRegistry reg;
  ASSERT_NE(Sam().registerServer, nullptr);
  pid_t children[2];
  for (pid_t& child : children) {
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      bool ok = true;
      for (int i = 0; i < 10; ++i) ok = ok && Sam().registerServer() == S_OK;
      _exit(ok ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::string> raced = StoreContents(reg.File());
  comtest::PrivateRegistry fresh;
  ASSERT_EQ(Sam().registerServer(), S_OK);
  EXPECT_EQ(raced, StoreContents(fresh.File()));
  IUnknown* unk = nullptr;
  // The raced store is the one in use again, and it activates the class.
  setenv("QUELM_REGISTRY", reg.File().c_str(), 1);
  ASSERT_EQ(CoCreateInstance(CLSID_KorvoSampler, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&unk)),
            S_OK);
  unk->Release();
}

// A copy of the library in a folder of its own, with the interface type library
// file given (or left out).
class IsolatedCopy {
 public:
  explicit IsolatedCopy(const std::string* tlbText) {
    std::filesystem::copy_file(SamPath(), dir_.File("QUELM1.SAM"));
    if (tlbText) std::ofstream(dir_.File("QUELM.tlb")) << *tlbText;
    lib_ = std::make_unique<Library>(dir_.File("QUELM1.SAM"));
  }
  Library& Lib() { return *lib_; }

 private:
  comtest::TempDir dir_;
  std::unique_ptr<Library> lib_;
};

void ExpectNoSampler(Library& lib, const std::string& reason) {
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  ASSERT_NE(lib.handle, Sam().handle);
  IKorvoSampler* s = nullptr;
  lib.getSampler(&s);
  EXPECT_EQ(s, nullptr);
  auto info = comtest::TakeErrorInfo();
  EXPECT_NE(info.description.find(reason), std::string::npos) << info.description;
  void* f = reinterpret_cast<void*>(1);
  EXPECT_TRUE(FAILED(lib.getClassObject(CLSID_KorvoSampler, IID_IClassFactory, &f)));
  EXPECT_EQ(f, nullptr);
  EXPECT_NE(comtest::TakeErrorInfo().description.find(reason), std::string::npos);
  comtest::PrivateRegistry reg;
  EXPECT_EQ(lib.registerServer(), E_FAIL);
}

TEST(Library, WithoutTheTypeLibraryNoSamplerCanBeHad) {
  comtest::PrivateRegistry reg;  // nor is one registered
  IsolatedCopy copy(nullptr);
  ExpectNoSampler(copy.Lib(), "QUELM.tlb' cannot be opened");
}

TEST(Library, ATypeLibraryLackingAnInterfaceNamesTheClass) {
  std::ifstream in(comtest::BinDir() + "/QUELM.tlb");
  std::stringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  size_t begin = text.find("interface IEnumDiagnotors");
  ASSERT_NE(begin, std::string::npos);
  text.erase(begin, text.find("end\n", begin) + 4 - begin);
  IsolatedCopy copy(&text);
  ExpectNoSampler(copy.Lib(), "Incorrect type information for class EnumDiagnotors");
}

}  // namespace
