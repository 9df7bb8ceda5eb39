// What the sampler tests share: a sampler made through the library's own factory,
// BSTR and error-info helpers, pipes and files for channels, and a wire recorder.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "interfaces/QUELM_TLB.h"
#include "platform/Clock.h"
#include "platform/OleAuto.h"
#include "platform/VirtualPort.h"
#include "sampler/QUELM1Server.h"
#include "sampler/SSampler1.h"
#include "sim/SimDevice.h"
#include "sim/VirtualSamplers.h"
#include "tests/support/Pipe.h"

namespace samplertest {

inline std::string Take(BSTR s) {
  std::string r = platform::StringFromBstr(s);
  SysFreeString(s);
  return r;
}

// The calling thread's error-info description, cleared.
inline std::string ErrorText() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return std::string();
  BSTR d = nullptr;
  info->GetDescription(&d);
  info->Release();
  return Take(d);
}

// The named virtual samplers, registered once for the whole test program.
inline void InstallPorts() {
  static std::once_flag once;
  std::call_once(once, [] { sim::InstallVirtualSamplers(); });
}

// A test port with a profile of the test's own and no processing delays.
inline std::string FastPort(const std::string& name, sim::SimProfile profile) {
  platform::VirtualPortOptions port;
  port.realTiming = false;
  EXPECT_TRUE(sim::RegisterSimPort(name, std::move(profile), sim::FastOptions(), port));
  return name;
}

inline const sim::SimProfile& Profile(const std::string& name) {
  const sim::SimProfile* p = sim::FindProfile(name);
  if (!p) throw std::runtime_error("no profile " + name);
  return *p;
}

// One sampler object, made as the library makes it for DllGetSamplerObject.
class Sampler {
 public:
  Sampler() {
    InstallPorts();
    platform::TAutoObjectFactory* f = sampler::TQuelmServer::Instance().Factory("KorvoSampler");
    if (!f) throw std::runtime_error("no server: " + sampler::TQuelmServer::Instance().InitError());
    if (FAILED(f->CreateObject(false, IID_IKorvoSampler, reinterpret_cast<void**>(&intf_))) || !intf_)
      throw std::runtime_error("no sampler: " + ErrorText());
  }
  ~Sampler() { Release(); }
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  IKorvoSampler* operator->() const { return intf_; }
  IKorvoSampler* Intf() const { return intf_; }
  sampler::TKorvoSampler& Impl() const { return *static_cast<sampler::TKorvoSampler*>(intf_); }
  void Release() {
    if (intf_) intf_->Release();
    intf_ = nullptr;
  }

  HRESULT Open(const std::string& name) {
    platform::BStr n(name);
    return intf_->Open(n.Get());
  }
  LONG Code() {
    BSTR text = nullptr;
    LONG code = -1;
    EXPECT_EQ(intf_->GetStatus(&text, &code), S_OK);
    SysFreeString(text);
    return code;
  }
  std::string StatusText(LONG* code = nullptr) {
    BSTR text = nullptr;
    LONG c = -1;
    EXPECT_EQ(intf_->GetStatus(&text, &c), S_OK);
    if (code) *code = c;
    return Take(text);
  }
  bool Sampling() {
    VARIANT_BOOL b = VARIANT_FALSE;
    EXPECT_EQ(intf_->IsSampling(&b), S_OK);
    return b != VARIANT_FALSE;
  }
  std::string ResetText() {
    BSTR text = nullptr;
    EXPECT_EQ(intf_->Reset(&text), S_OK) << ErrorText();
    return Take(text);
  }
  LONG ChannelCount() {
    ISamplerChannels* c = nullptr;
    EXPECT_EQ(intf_->GetChannels(&c), S_OK);
    LONG n = -1;
    c->GetCount(&n);
    c->Release();
    return n;
  }
  // Binds channel `index` to a descriptor that the run closes at its end.
  void Bind(LONG index, LONG fd, bool closes = true) {
    ISamplerChannels* c = nullptr;
    ASSERT_EQ(intf_->GetChannels(&c), S_OK);
    ISamplerChannel* ch = nullptr;
    ASSERT_EQ(c->Item(index, &ch), S_OK) << ErrorText();
    EXPECT_EQ(ch->Bind(fd, closes ? VARIANT_TRUE : VARIANT_FALSE), S_OK) << ErrorText();
    ch->Release();
    c->Release();
  }
  // Mode, rate, start at once, and stop on count (or no stop condition for 0 samples).
  void Configure(LONG mode, LONG rate, LONG samples) {
    ASSERT_EQ(intf_->SetMode(mode), S_OK) << ErrorText();
    if (rate > 0) {
      ASSERT_EQ(intf_->SetRate(rate), S_OK) << ErrorText();
    }
    ASSERT_EQ(intf_->SetCapabilityBool(SCAP_START_IMMEDIATELY, VARIANT_TRUE), S_OK) << ErrorText();
    if (samples > 0) {
      ASSERT_EQ(intf_->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE), S_OK) << ErrorText();
      ASSERT_EQ(intf_->SetCapabilityLong(SCAP_SAMPLE_COUNT, samples), S_OK) << ErrorText();
    } else {
      for (LONG id : {SCAP_STOP_ON_IDLE, SCAP_STOP_ON_COUNT, SCAP_STOP_ON_TIMER})
        ASSERT_EQ(intf_->SetCapabilityBool(id, VARIANT_FALSE), S_OK) << ErrorText();
    }
  }
  // Polls the status until `done` holds for its code or about `ms` have passed.
  LONG WaitFor(const std::function<bool(LONG)>& done, DWORD ms = 10000) {
    LONG code = Code();
    for (DWORD waited = 0; !done(code) && waited < ms; waited += 5) {
      Sleep(5);
      code = Code();
    }
    return code;
  }

 private:
  IKorvoSampler* intf_ = nullptr;
};

using testsupport::Pipe;

// A scratch file, removed at the end.
class TempFile {
 public:
  TempFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quelm-run-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0) ::close(fd);
    path_ = pattern;
  }
  ~TempFile() { std::filesystem::remove(path_); }
  LONG OpenForWriting() const { return ::open(path_.c_str(), O_WRONLY | O_TRUNC); }
  const std::string& Path() const { return path_; }
  std::vector<BYTE> Read() const {
    std::vector<BYTE> out;
    const int fd = ::open(path_.c_str(), O_RDONLY);
    BYTE buf[512];
    ssize_t n;
    while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    if (fd >= 0) ::close(fd);
    return out;
  }

 private:
  std::string path_;
};

// A virtual sampler that also records every byte the host writes, as written.
class WireRecorder {
 public:
  WireRecorder(const std::string& name, sim::SimProfile profile) : state_(std::make_shared<Shared>()) {
    profile.portName = name;
    auto state = state_;
    platform::VirtualPortOptions port;
    port.realTiming = false;
    platform::RegisterVirtualPort(
        name,
        [state, profile]() -> std::unique_ptr<platform::IVirtualDevice> {
          return std::make_unique<Device>(state, profile);
        },
        port);
  }
  std::string Bytes() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->bytes;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->bytes.clear();
  }
  // The host's side of the line as the device sees it now: settings and DTR.
  std::pair<platform::LineSettings, bool> HostLine() const {
    platform::IVirtualLine* line = nullptr;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      line = state_->line;
    }
    if (line == nullptr) return {platform::LineSettings{}, true};
    std::lock_guard<std::recursive_mutex> lock(line->Mutex());
    return {line->HostSettings(), line->HostDtr()};
  }
  // The device stops granting CTS, so nothing the host writes gets through.
  void DropCts() {
    platform::IVirtualLine* line = nullptr;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      line = state_->line;
    }
    ASSERT_NE(line, nullptr);
    std::lock_guard<std::recursive_mutex> lock(line->Mutex());
    line->SetCts(false);
  }

 private:
  struct Shared {
    std::mutex mutex;
    std::string bytes;
    platform::IVirtualLine* line = nullptr;  // of the latest open
  };
  class Device final : public platform::IVirtualDevice {
   public:
    Device(std::shared_ptr<Shared> state, const sim::SimProfile& profile)
        : state_(std::move(state)), device_(profile, sim::FastOptions()) {}
    void Attach(platform::IVirtualLine& line) override {
      {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->line = &line;
      }
      device_.Attach(line);
    }
    void OnReceive(const BYTE* data, size_t count, platform::Micros at) override {
      {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->bytes.append(reinterpret_cast<const char*>(data), count);
      }
      device_.OnReceive(data, count, at);
    }
    void OnHostSettings(const platform::LineSettings& s, platform::Micros at) override {
      device_.OnHostSettings(s, at);
    }
    void OnModemLines(bool dtr, bool rts, platform::Micros at) override { device_.OnModemLines(dtr, rts, at); }
    void OnHostBreak(bool on, platform::Micros at) override { device_.OnHostBreak(on, at); }
    void Advance(platform::Micros now) override { device_.Advance(now); }
    void OnClose() override { device_.OnClose(); }

   private:
    std::shared_ptr<Shared> state_;
    sim::SimDevice device_;
  };
  std::shared_ptr<Shared> state_;
};

}  // namespace samplertest
