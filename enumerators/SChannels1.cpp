// The channel collection: resizing to the mode's channel count with surviving
// bindings, enumeration and indexing (E11), and safe release of its channels.
#include "enumerators/SChannels1.h"

#include <algorithm>
#include <cassert>

#include "enumerators/EnumList.h"
#include "messages/SMessages.h"

namespace enumerators {

using messages::FormatMsg;
using messages::Msg;
using protocol::ESamplerError;

LONG ChannelsOfMode(LONG mode) {
  switch (mode) {
    case 1:
    case 4:
    case 5:
    case 6:
    case 32769:
      return 1;
    case 2:
      return 2;
    case 3:
      return 4;
    default:
      return 0;
  }
}

TSamplerChannels::TSamplerChannels(platform::TAutoObjectFactory& factory,
                                   platform::TAutoObjectFactory& channelFactory, TSamplerOwner* owner)
    : TChannels(factory, owner), FChannelFactory(channelFactory) {}

TSamplerChannels::~TSamplerChannels() {
  // No sampler can be sampling through a collection nobody holds: unbind and let go.
  while (!FChannels.empty()) {
    FChannels.back()->DropBinding();
    DropLastChannel(false);
  }
  // Hosts may still hold channels a mode change dropped: they must not reach back here.
  for (TSamplerChannel* channel : FDetached) channel->Orphan();
  FDetached.clear();
}

void TSamplerChannels::DropLastChannel(bool keepLink) {
  assert(!FChannels.empty());
  TSamplerChannel* channel = FChannels.back();
  FChannels.pop_back();
  if (keepLink) {
    channel->MarkDetached();
    FDetached.push_back(channel);  // before the release: its destructor takes it out again
  } else {
    channel->Orphan();  // a host may still hold it; it must not reach back into this collection
  }
  channel->ObjRelease();
}

void TSamplerChannels::ForgetDetached(TSamplerChannel* channel) {
  std::erase(FDetached, channel);
}

void TSamplerChannels::SetChannelCount(LONG n) {
  assert(n >= 0);
  while (ChannelCount() > n) DropLastChannel(true);
  FChannels.reserve(static_cast<size_t>(n));
  while (ChannelCount() < n) {
    TSamplerChannel* channel = NewCounted<TSamplerChannel>(FChannelFactory, this);
    FChannels.push_back(channel);  // capacity reserved: cannot throw
  }
}

void TSamplerChannels::Refresh() {
  TSamplerOwner* owner = Owner();
  SetChannelCount(ChannelsOfMode(owner ? owner->CurrentMode() : 0));
}

TChannel* TSamplerChannels::Channel(LONG index) const {
  assert(index >= 0 && index < ChannelCount());
  return FChannels[static_cast<size_t>(index)];
}

ISamplerChannels* TSamplerChannels::OwnInterface() {
  ObjAddRef();
  return this;
}

void TSamplerChannels::ClearChannels() {
  while (!FChannels.empty()) {
    FChannels.back()->Detach();  // E12 while sampling stops the clearing here
    DropLastChannel(true);
  }
}

HRESULT TSamplerChannels::Next(ULONG count, ISamplerChannel** channels, ULONG* fetched) {
  if (AnyNull(fetched)) return E_POINTER;
  *fetched = 0;
  if (count == 0) return S_OK;
  if (!channels) return E_POINTER;
  channels[0] = nullptr;
  while (count > 0 && static_cast<ULONG>(FCursor) < FChannels.size()) {
    channels[*fetched] = FChannels[static_cast<ULONG>(FCursor)]->OwnInterface();
    ++FCursor;
    ++*fetched;
    --count;
  }
  return S_OK;
}

HRESULT TSamplerChannels::Skip(LONG count) {
  FCursor = static_cast<LONG>(static_cast<ULONG>(FCursor) + static_cast<ULONG>(count));
  return S_OK;
}

HRESULT TSamplerChannels::Reset() {
  FCursor = 0;
  return S_OK;
}

HRESULT TSamplerChannels::GetCount(LONG* count) {
  if (AnyNull(count)) return E_POINTER;
  *count = ChannelCount();
  return S_OK;
}

HRESULT TSamplerChannels::Item(LONG index, ISamplerChannel** channel) {
  if (AnyNull(channel)) return E_POINTER;
  *channel = nullptr;
  return SafeCall([&] {
    if (index < 0 || index >= ChannelCount())
      throw ESamplerError(FormatMsg(Msg::IndexOutOfBounds, index, 0, ChannelCount() - 1));
    *channel = Channel(index)->OwnInterface();
  });
}

HRESULT TSamplerChannels::GetSampler(IDispatch** sampler) {
  if (AnyNull(sampler)) return E_POINTER;
  *sampler = nullptr;
  return SafeCall([&] {
    TSamplerOwner* owner = Owner();
    if (!owner) throw ESamplerError(messages::LoadStr(Msg::CollectionDetached));
    *sampler = owner->DispatchInterface();
  });
}

}  // namespace enumerators
