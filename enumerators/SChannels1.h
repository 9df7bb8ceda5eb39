// The sampler's channel collection: as many channels as the mode needs, kept
// with their bindings across mode changes, enumerated and indexed by the host.
#pragma once

#include <vector>

#include "enumerators/SChannel1.h"
#include "enumerators/SamplerOwner.h"

namespace enumerators {

// Channels of a mode: 1 for modes 1, 4, 5, 6 and 32769, 2 for mode 2, 4 for
// mode 3, none for any other mode (including 0, no hardware).
LONG ChannelsOfMode(LONG mode);

class TSamplerChannels final : public TChannels {
 public:
  TSamplerChannels(platform::TAutoObjectFactory& factory, platform::TAutoObjectFactory& channelFactory,
                   TSamplerOwner* owner);
  ~TSamplerChannels() override;

  // ISamplerChannels
  HRESULT STDMETHODCALLTYPE Next(ULONG count, ISamplerChannel** channels, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(LONG count) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE GetCount(LONG* count) override;
  HRESULT STDMETHODCALLTYPE Item(LONG index, ISamplerChannel** channel) override;
  HRESULT STDMETHODCALLTYPE GetSampler(IDispatch** sampler) override;

  // TSamplerOwned / TChannels
  void Refresh() override;
  TChannel* Channel(LONG index) const override;
  LONG ChannelCount() const override { return static_cast<LONG>(FChannels.size()); }
  ISamplerChannels* OwnInterface() override;
  void ClearChannels() override;

 private:
  // Drops channels from the end down to n, then adds fresh unbound ones up to n.
  void SetChannelCount(LONG n);
  // Gives up the last channel and the collection's reference on it. A channel
  // dropped by a mode change stays linked (detached: working, but no run uses
  // it); one dropped because the collection goes is orphaned.
  void DropLastChannel(bool keepLink);

 public:
  // A detached channel that is going away; the collection must not reach it any more.
  void ForgetDetached(TSamplerChannel* channel);

 private:
  platform::TAutoObjectFactory& FChannelFactory;
  std::vector<TSamplerChannel*> FChannels;  // one reference each
  std::vector<TSamplerChannel*> FDetached;  // dropped by a mode change and still held by a host; not counted
  LONG FCursor = 0;
};

}  // namespace enumerators
