// One output channel: binding rules (E16, E12 while sampling) and what the
// channel reports from its sampler's mode, rate and stop settings.
#include "enumerators/SChannel1.h"

#include <cstdint>

#include "enumerators/SChannels1.h"
#include "messages/SMessages.h"

namespace enumerators {

using messages::LoadStr;
using messages::Msg;
using protocol::ESamplerError;

LONG FormatOfMode(LONG mode) {
  switch (mode) {
    case 1:
    case 2:
    case 32769:
      return 1;
    case 4:
      return 4;
    case 5:
      return 5;
    default:
      return 0;
  }
}

LONG ExpectedSizeOf(const protocol::TSamplerSettings& settings, LONG rate) {
  switch (settings.StopMode) {
    case 2: {  // one bit per sample: the ceiling of count / 8, in unsigned 32-bit arithmetic
      uint32_t count = static_cast<uint32_t>(settings.SampleCount);
      return static_cast<LONG>((count + 7u) / 8u);
    }
    case 3: {  // samples in SampleTime ms at the rate, one bit each
      int64_t samples = static_cast<int64_t>(settings.SampleTime) * rate / 1000;
      return static_cast<LONG>(static_cast<uint32_t>((samples + 7) / 8));
    }
    default:  // stop on idle cannot be known in advance; without a stop condition there is no size
      return 0;
  }
}

TSamplerChannel::TSamplerChannel(platform::TAutoObjectFactory& factory, TSamplerChannels* channels)
    : TChannel(factory), FChannels(channels) {}

TSamplerChannel::~TSamplerChannel() {
  if (TSamplerChannels* channels = FChannels.load(); channels && FDetached) channels->ForgetDetached(this);
}

TSamplerOwner* TSamplerChannel::Owner() const {
  TSamplerChannels* channels = FChannels.load();
  return channels ? channels->Owner() : nullptr;
}

HRESULT TSamplerChannel::Bind(LONG handle, VARIANT_BOOL closeHandle) {
  return SafeCall([&] {
    if (FHandle != 0) Detach();
    if (handle == -1) throw ESamplerError(LoadStr(Msg::InvalidHandle));
    FCloseHandle = closeHandle;
    FHandle = handle;
  });
}

HRESULT TSamplerChannel::Unbind() {
  return SafeCall([&] { Detach(); });
}

void TSamplerChannel::Detach() {
  TSamplerOwner* owner = FDetached ? nullptr : Owner();
  if (owner && owner->SamplingInProgress()) throw ESamplerError(LoadStr(Msg::UnbindWhileSampling));
  FHandle = 0;  // the handle stays open: it belongs to the host
}

HRESULT TSamplerChannel::GetChannels(IDispatch** channels) {
  if (AnyNull(channels)) return E_POINTER;
  *channels = nullptr;
  return SafeCall([&] {
    TSamplerChannels* owner = FChannels.load();
    if (!owner) throw ESamplerError(LoadStr(Msg::ChannelDetached));
    ISamplerChannels* intf = owner->OwnInterface();
    *channels = intf;
  });
}

HRESULT TSamplerChannel::GetFormat(LONG* format) {
  if (AnyNull(format)) return E_POINTER;
  return SafeCall([&] {
    TSamplerOwner* owner = Owner();
    *format = FormatOfMode(owner ? owner->CurrentMode() : 0);
  });
}

HRESULT TSamplerChannel::GetRate(LONG* rate) {
  if (AnyNull(rate)) return E_POINTER;
  return SafeCall([&] {
    TSamplerOwner* owner = Owner();
    *rate = owner ? owner->CurrentRate() : -1;
  });
}

HRESULT TSamplerChannel::GetExpectedSize(LONG* size) {
  if (AnyNull(size)) return E_POINTER;
  return SafeCall([&] {
    TSamplerOwner* owner = Owner();
    protocol::TSamplerSettings settings;
    if (owner) owner->CopySettings(settings);
    *size = ExpectedSizeOf(settings, owner ? owner->CurrentRate() : 0);
  });
}

ISamplerChannel* TSamplerChannel::OwnInterface() {
  ObjAddRef();
  return this;
}

}  // namespace enumerators
