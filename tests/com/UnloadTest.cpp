// QUELM1.SAM loaded, used, unloaded and loaded again in one process, the way a
// host that frees idle libraries does it: the runtime must not keep anything of
// an unloaded copy, and DllCanUnloadNow must not say yes while something lives.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "ComTestSupport.h"
#include "interfaces/QUELM_TLB.h"
#include "platform/WinSerial.h"
#include "tests/support/Pipe.h"

namespace {

std::string SamPath() { return comtest::BinDir() + "/QUELM1.SAM"; }

// The threads of this process.
size_t ThreadCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// One load of the library. RTLD_LOCAL and no RTLD_NODELETE: after Unload the
// library's code must really be gone from the process.
class Loaded {
 public:
  explicit Loaded(std::string path = SamPath()) : path_(std::move(path)) {
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
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
    void* still = dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (still) dlclose(still);
    return rc == 0 && still == nullptr;
  }

 private:
  std::string path_;
  void* handle_ = nullptr;
  DllGetSamplerObjectProc get_ = nullptr;
  HRESULT (*canUnload_)() = nullptr;
};

BSTR Bstr(const OLECHAR* s) { return SysAllocString(s); }

HANDLE OpenByName(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

HRESULT OpenPort(IKorvoSampler* s, const OLECHAR* name) {
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
  if (OpenPort(s, OLESTR("SIM")) != S_OK) {
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
  HANDLE h = OpenByName("SIM");
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
    ASSERT_EQ(OpenByName("SIM"), INVALID_HANDLE_VALUE);
  }
}

TEST(Unload, IsRefusedWhileAnythingOfTheLibraryLives) {
  Loaded lib;
  ASSERT_TRUE(lib.Ok()) << dlerror();
  EXPECT_EQ(lib.CanUnloadNow(), S_OK) << "nothing made yet";

  IKorvoSampler* s = lib.NewSampler();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(lib.CanUnloadNow(), S_FALSE) << "a sampler lives";
  ASSERT_EQ(OpenPort(s, OLESTR("SIM")), S_OK);
  ISamplerChannels* channels = nullptr;
  ASSERT_EQ(s->GetChannels(&channels), S_OK);
  EXPECT_EQ(s->Release(), 0u);
  EXPECT_EQ(lib.CanUnloadNow(), S_FALSE) << "the host still holds the sampler's channels";
  channels->Release();
  EXPECT_EQ(lib.CanUnloadNow(), S_OK);

  // A port the host opened itself runs the library's device model.
  HANDLE h = OpenByName("SIM-QUELM");
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

TEST(Unload, ReleasingASamplerInMidRunEndsItsThreadBeforeUnloadIsAllowed) {
  // A sanitizer may start a helper thread of its own with the process's first
  // thread: let that happen before counting.
  std::thread([] {}).join();
  const size_t before = ThreadCount();
  Loaded lib;
  ASSERT_TRUE(lib.Ok()) << dlerror();
  IKorvoSampler* s = lib.NewSampler();
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(OpenPort(s, OLESTR("SIM")), S_OK) << comtest::TakeErrorInfo().description;
  ASSERT_EQ(s->SetMode(1), S_OK);
  ASSERT_EQ(s->SetRate(90909), S_OK);
  ASSERT_EQ(s->SetCapabilityBool(SCAP_START_IMMEDIATELY, VARIANT_TRUE), S_OK);
  testsupport::Pipe pipe;  // read by nobody: the run is still going when it is released
  ISamplerChannels* channels = nullptr;
  ISamplerChannel* channel = nullptr;
  ASSERT_EQ(s->GetChannels(&channels), S_OK);
  ASSERT_EQ(channels->Item(0, &channel), S_OK);
  ASSERT_EQ(channel->Bind(pipe.GiveWriteEnd(), VARIANT_TRUE), S_OK);
  channel->Release();
  channels->Release();
  ASSERT_EQ(s->Start(), S_OK) << comtest::TakeErrorInfo().description;
  LONG code = StatusCode(s);
  for (int i = 0; i < 400 && code != SST_SAMPLING; ++i) {
    usleep(5000);
    code = StatusCode(s);
  }
  EXPECT_EQ(code, SST_SAMPLING);
  EXPECT_GT(ThreadCount(), before) << "the run reads on a thread of its own";
  EXPECT_EQ(lib.CanUnloadNow(), S_FALSE);

  EXPECT_EQ(s->Release(), 0u);
  // The joined thread's task may linger in /proc for a moment on a loaded machine.
  size_t after = ThreadCount();
  for (int i = 0; i < 1000 && after > before; ++i) {
    usleep(5000);
    after = ThreadCount();
  }
  EXPECT_EQ(after, before) << "the reading thread has ended with its sampler";
  EXPECT_FALSE(pipe.ReadAll().empty());
  ASSERT_EQ(lib.CanUnloadNow(), S_OK);
  ASSERT_TRUE(lib.Unload());
  EXPECT_EQ(OpenByName("SIM"), INVALID_HANDLE_VALUE);
}

// Two copies loaded at once (another path): each takes back only its own ports,
// and the copy loaded first serves its names again when the later one goes.
TEST(Unload, TwoCopiesEachTakeBackOnlyTheirOwnPorts) {
  comtest::TempDir dir;
  std::filesystem::copy_file(SamPath(), dir.File("QUELM1.SAM"));
  std::filesystem::copy_file(comtest::BinDir() + "/QUELM.tlb", dir.File("QUELM.tlb"));
  Loaded first;
  ASSERT_TRUE(first.Ok()) << dlerror();
  auto second = std::make_unique<Loaded>(dir.File("QUELM1.SAM"));
  ASSERT_TRUE(second->Ok()) << dlerror();

  HANDLE h = OpenByName("SIM");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(second->CanUnloadNow(), S_FALSE) << "the copy loaded last serves the name";
  EXPECT_EQ(first.CanUnloadNow(), S_OK);
  EXPECT_TRUE(CloseHandle(h));
  ASSERT_EQ(second->CanUnloadNow(), S_OK);
  ASSERT_TRUE(second->Unload());
  second.reset();

  h = OpenByName("SIM");
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << "the first copy's port is back";
  EXPECT_EQ(first.CanUnloadNow(), S_FALSE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(first.CanUnloadNow(), S_OK);
  ASSERT_TRUE(first.Unload());
  EXPECT_EQ(OpenByName("SIM"), INVALID_HANDLE_VALUE);
}

}  // namespace
