// QUELM1.SAM loaded, used, unloaded and loaded again in one process, the way a
// host that frees idle libraries does it: the runtime must not keep anything of
// an unloaded copy, and DllCanUnloadNow must not say yes while something lives.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "ComTestSupport.h"
#include "interfaces/QUELM_TLB.h"
#include "platform/WinSerial.h"
#include "tests/support/Pipe.h"

namespace {

std::string SamPath() { return comtest::BinDir() + "/QUELM1.SAM"; }

// One load of the library. RTLD_LOCAL and no RTLD_NODELETE: after Unload the
// library's code must really be gone from the process.
class Loaded {
 public:
  Loaded() {
    handle_ = dlopen(SamPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) return;
    get_ = reinterpret_cast<DllGetSamplerObjectProc>(dlsym(handle_, "DllGetSamplerObject"));
    canUnload_ = reinterpret_cast<HRESULT (*)()>(dlsym(handle_, "DllCanUnloadNow"));
  }
  ~Loaded() {
    if (handle_) dlclose(handle_);
  }
  bool Ok() const { return handle_ && get_ && canUnload_; }
  IKorvoSampler* NewSampler() {
    IKorvoSampler* s = nullptr;
    get_(&s);
    return s;
  }
  HRESULT CanUnloadNow() { return canUnload_(); }
  void* Symbol(const char* name) { return dlsym(handle_, name); }
  // Closes the handle; true when the library has left the process.
  bool Unload() {
    const int rc = dlclose(handle_);
    handle_ = nullptr;
    void* still = dlopen(SamPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (still) dlclose(still);
    return rc == 0 && still == nullptr;
  }

 private:
  void* handle_ = nullptr;
  DllGetSamplerObjectProc get_ = nullptr;
  HRESULT (*canUnload_)() = nullptr;
};

BSTR Bstr(const char16_t* s) { return SysAllocString(s); }

HRESULT OpenPort(IKorvoSampler* s, const char16_t* name) {
  BSTR b = Bstr(name);
  HRESULT hr = s->Open(b);
  SysFreeString(b);
  return hr;
}

LONG StatusCode(IKorvoSampler* s) {
  BSTR text = nullptr;
  LONG code = -1;
  s->GetStatus(&text, &code);
  SysFreeString(text);
  return code;
}

// Opens SIM and runs a short sole-channel run into a pipe on channel 0; the
// number of bytes the pipe received.
size_t ShortRun(IKorvoSampler* s) {
  if (OpenPort(s, u"SIM") != S_OK) {
    ADD_FAILURE() << "Open(SIM): " << comtest::TakeErrorInfo().description;
    return 0;
  }
  EXPECT_EQ(s->SetMode(1), S_OK);
  EXPECT_EQ(s->SetRate(90909), S_OK) << comtest::TakeErrorInfo().description;
  EXPECT_EQ(s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE), S_OK);
  EXPECT_EQ(s->SetCapabilityLong(SCAP_SAMPLE_COUNT, 8 * 200), S_OK);
  testsupport::Pipe pipe;
  ISamplerChannels* channels = nullptr;
  ISamplerChannel* channel = nullptr;
  if (s->GetChannels(&channels) != S_OK || channels->Item(0, &channel) != S_OK) {
    ADD_FAILURE() << "no channel 0";
    if (channels) channels->Release();
    return 0;
  }
  EXPECT_EQ(channel->Bind(pipe.GiveWriteEnd(), VARIANT_TRUE), S_OK);
  channel->Release();
  channels->Release();
  if (s->Start() != S_OK) {
    ADD_FAILURE() << "Start: " << comtest::TakeErrorInfo().description;
    return 0;
  }
  const size_t received = pipe.ReadAll().size();  // the run closes its end when it ends
  LONG code = StatusCode(s);
  for (int i = 0; i < 400 && code != SST_READY; ++i) {
    usleep(5000);
    code = StatusCode(s);
  }
  EXPECT_EQ(code, SST_READY);
  return received;
}

TEST(Unload, AfterUnloadingTheRuntimeServesHostsWithoutTheLibrary) {
  Loaded lib;
  ASSERT_TRUE(lib.Ok()) << dlerror();
  IKorvoSampler* s = lib.NewSampler();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(ShortRun(s), 200u);
  // Leave error info set on this thread by a failing call, to be read after unloading.
  EXPECT_EQ(s->Close(), S_OK);
  EXPECT_TRUE(FAILED(s->SetRate(1000)));
  EXPECT_EQ(s->Release(), 0u);
  ASSERT_EQ(lib.CanUnloadNow(), S_OK);
  ASSERT_TRUE(lib.Unload()) << "the library stays in the process";

  auto info = comtest::TakeErrorInfo();
  EXPECT_TRUE(info.present);
  EXPECT_EQ(info.description, "E10 - Invalid Sampler State");
  EXPECT_EQ(info.source, "QUELM1.KorvoSampler");

  SetLastError(0);
  HANDLE h = CreateFileA("SIM", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT)) << "no port of the unloaded library is left";
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

TEST(Unload, LoadsRunsAndUnloadsAgainAndAgain) {
  for (int cycle = 0; cycle < 20; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    Loaded lib;
    ASSERT_TRUE(lib.Ok()) << dlerror();
    IKorvoSampler* s = lib.NewSampler();
    ASSERT_NE(s, nullptr) << comtest::TakeErrorInfo().description;
    EXPECT_EQ(ShortRun(s), 200u);
    EXPECT_EQ(s->Release(), 0u);
    ASSERT_EQ(lib.CanUnloadNow(), S_OK);
    ASSERT_TRUE(lib.Unload());
    HANDLE h = CreateFileA("SIM", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(h, INVALID_HANDLE_VALUE);
  }
}

TEST(Unload, IsRefusedWhileAnythingOfTheLibraryLives) {
  Loaded lib;
  ASSERT_TRUE(lib.Ok()) << dlerror();
  EXPECT_EQ(lib.CanUnloadNow(), S_OK) << "nothing made yet";

  IKorvoSampler* s = lib.NewSampler();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(lib.CanUnloadNow(), S_FALSE) << "a sampler lives";
  ASSERT_EQ(OpenPort(s, u"SIM"), S_OK);
  ISamplerChannels* channels = nullptr;
  ASSERT_EQ(s->GetChannels(&channels), S_OK);
  EXPECT_EQ(s->Release(), 0u);
  EXPECT_EQ(lib.CanUnloadNow(), S_FALSE) << "the host still holds the sampler's channels";
  channels->Release();
  EXPECT_EQ(lib.CanUnloadNow(), S_OK);

  // A port the host opened itself runs the library's device model.
  HANDLE h = CreateFileA("SIM-QUELM", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(lib.CanUnloadNow(), S_FALSE) << "an open port's device is the library's code";
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(lib.CanUnloadNow(), S_OK);

  // A class object handed out lives in the library too.
  auto getClassObject = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(lib.Symbol("DllGetClassObject"));
  ASSERT_NE(getClassObject, nullptr);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(getClassObject(CLSID_KorvoSampler, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(lib.CanUnloadNow(), S_FALSE) << "the host holds a class object";
  factory->Release();
  EXPECT_EQ(lib.CanUnloadNow(), S_OK);
}

}  // namespace
