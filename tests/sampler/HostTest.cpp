// The sampler as a host sees it: QUELM1.SAM loaded with dlopen, the sampler from
// DllGetSamplerObject, every call through the vtables of QUELM_TLB.h only.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "interfaces/QUELM_TLB.h"

namespace {

std::string Take(BSTR s) {
  std::string r;
  for (UINT i = 0; i < SysStringLen(s); ++i) r += static_cast<char>(s[i]);
  SysFreeString(s);
  return r;
}

BSTR Bstr(const std::string& s) {
  platform::OleString u(s.begin(), s.end());
  return SysAllocString(u.c_str());
}

std::string ErrorDescription() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return std::string();
  BSTR d = nullptr;
  info->GetDescription(&d);
  info->Release();
  return Take(d);
}

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("QUELM_BIN");
    const std::string path = std::string(bin ? bin : ".") + "/QUELM1.SAM";
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    get_ = reinterpret_cast<DllGetSamplerObjectProc>(dlsym(library_, "DllGetSamplerObject"));
    ASSERT_NE(get_, nullptr);
  }
  // A host that released everything may unload the library, as a host freeing idle libraries does.
  void TearDown() override {
    if (!library_) return;
    auto canUnload = reinterpret_cast<HRESULT (*)()>(dlsym(library_, "DllCanUnloadNow"));
    ASSERT_NE(canUnload, nullptr);
    ASSERT_EQ(canUnload(), S_OK) << "the test left something of the library alive";
    EXPECT_EQ(dlclose(library_), 0);
  }
  LONG Status(IKorvoSampler* s, std::string* text = nullptr) {
    BSTR t = nullptr;
    LONG code = -1;
    EXPECT_EQ(s->GetStatus(&t, &code), S_OK);
    const std::string str = Take(t);
    if (text) *text = str;
    return code;
  }

  void* library_ = nullptr;
  DllGetSamplerObjectProc get_ = nullptr;
};

}  // namespace

TEST_F(Host, RunsASamplingRunThroughTheVtables) {
  IKorvoSampler* s = nullptr;
  get_(&s);
  ASSERT_NE(s, nullptr);
  IKorvoSampler* first = s;
  first->AddRef();
  get_(&s);  // the variable's old object loses the reference it held
  ASSERT_NE(s, nullptr);
  EXPECT_NE(s, first);
  EXPECT_EQ(first->Release(), 0u);

  EXPECT_TRUE(FAILED(s->SetRate(1000)));
  EXPECT_EQ(ErrorDescription(), "E10 - Invalid Sampler State");

  BSTR name = Bstr("SIM");
  ASSERT_EQ(s->Open(name), S_OK) << ErrorDescription();
  SysFreeString(name);
  std::string text;
  EXPECT_EQ(Status(s, &text), SST_NO_MODE);
  EXPECT_EQ(text, "Operating mode is not specified");

  IEnumSamplerItems* modes = nullptr;
  ASSERT_EQ(s->GetModes(&modes), S_OK);
  LONG count = 0;
  modes->GetCount(&count);
  EXPECT_EQ(count, 4);
  modes->Release();

  ASSERT_EQ(s->SetMode(1), S_OK) << ErrorDescription();
  ASSERT_EQ(s->SetRate(50000), S_OK) << ErrorDescription();
  ASSERT_EQ(s->SetCapabilityBool(SCAP_START_IMMEDIATELY, VARIANT_TRUE), S_OK);
  ASSERT_EQ(s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE), S_OK);
  ASSERT_EQ(s->SetCapabilityLong(SCAP_SAMPLE_COUNT, 8 * 700), S_OK);
  EXPECT_EQ(Status(s), SST_READY);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ISamplerChannels* channels = nullptr;
  ASSERT_EQ(s->GetChannels(&channels), S_OK);
  ISamplerChannel* channel = nullptr;
  ASSERT_EQ(channels->Item(0, &channel), S_OK);
  ASSERT_EQ(channel->Bind(fds[1], VARIANT_TRUE), S_OK);
  LONG expected = 0;
  channel->GetExpectedSize(&expected);
  EXPECT_EQ(expected, 700);
  channel->Release();
  channels->Release();

  ASSERT_EQ(s->Start(), S_OK) << ErrorDescription();
  std::vector<char> data;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) data.insert(data.end(), buf, buf + n);
  ::close(fds[0]);
  EXPECT_EQ(data.size(), 700u);
  LONG code = Status(s);
  for (int i = 0; i < 400 && code != SST_READY; ++i) {
    usleep(5000);
    code = Status(s);
  }
  EXPECT_EQ(code, SST_READY);
  VARIANT_BOOL sampling = VARIANT_TRUE;
  EXPECT_EQ(s->IsSampling(&sampling), S_OK);
  EXPECT_EQ(sampling, VARIANT_FALSE);
  EXPECT_EQ(s->Release(), 0u);  // closes the port
}
