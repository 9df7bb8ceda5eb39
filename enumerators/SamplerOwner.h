// What the channels and enumerators need from their sampler (TSamplerOwner), the
// abstract bases the sampler drives them through, and the constructors it calls.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "interfaces/QUELM_TLB.h"
#include "platform/ComObj.h"
#include "protocol/SAdapters.h"
#include "protocol/SCommon.h"

namespace enumerators {

class TSamplerOwner;

// The shared end of the companions' back references to one sampler: the sampler
// clears it when it goes, so every companion a host still holds (clones included)
// sees that at once instead of reaching a freed sampler.
class TOwnerLink {
 public:
  explicit TOwnerLink(TSamplerOwner* owner) : owner_(owner) {}
  TSamplerOwner* Get() const { return owner_.load(); }
  void Clear() { owner_.store(nullptr); }

 private:
  std::atomic<TSamplerOwner*> owner_;
};

// The sampler as its companions see it. Implemented by the sampler object; every
// answer reflects "no hardware" while the sampler has no adapter.
class TSamplerOwner {
 public:
  TSamplerOwner() : link_(std::make_shared<TOwnerLink>(this)) {}
  TSamplerOwner(const TSamplerOwner&) = delete;
  TSamplerOwner& operator=(const TSamplerOwner&) = delete;
  // Companions still held by hosts lose their sampler here, whatever the sampler did.
  virtual ~TSamplerOwner() { link_->Clear(); }

  // The adapter's Mode; 0 without adapter.
  virtual LONG CurrentMode() const = 0;
  // The adapter's Rate; -1 without adapter.
  virtual LONG CurrentRate() const = 0;
  // A copy of the adapter's Settings; an all-default (zero) record without adapter.
  virtual void CopySettings(protocol::TSamplerSettings& settings) const = 0;
  // Whether a run's reading thread is working.
  virtual bool SamplingInProgress() const = 0;
  // The current adapter, or nullptr. Companions never keep it beyond one call.
  virtual protocol::TSampler* CurrentAdapter() const = 0;
  // The sampler's IDispatch with a reference added for the caller.
  virtual IDispatch* DispatchInterface() = 0;

  // Cuts every companion off from this sampler now (also done by the destructor).
  void DisownCompanions() { link_->Clear(); }
  const std::shared_ptr<TOwnerLink>& Link() const { return link_; }

 private:
  std::shared_ptr<TOwnerLink> link_;
};

// A sampler-owned object: a non-counted back reference to its sampler and Refresh.
// Hosts may keep the object alive longer than the sampler; from then on it answers
// as for a sampler without hardware.
template <class Intf>
class TSamplerOwned : public platform::TAutoIntfObject<Intf> {
 public:
  TSamplerOwned(platform::TAutoObjectFactory& factory, TSamplerOwner* owner)
      : TSamplerOwned(factory, owner ? owner->Link() : nullptr) {}

  // The owning sampler's mode, rate or settings changed.
  virtual void Refresh() = 0;

  // This object forgets its sampler (the sampler may call it before releasing it).
  void ReleaseOwner() { released_.store(true); }
  // The owning sampler, nullptr once it is gone or released this object.
  TSamplerOwner* Owner() const { return released_.load() || !link_ ? nullptr : link_->Get(); }

 protected:
  // For a clone bound to the same sampler.
  TSamplerOwned(platform::TAutoObjectFactory& factory, std::shared_ptr<TOwnerLink> link)
      : platform::TAutoIntfObject<Intf>(factory), link_(std::move(link)) {}
  const std::shared_ptr<TOwnerLink>& OwnerLink() const { return link_; }

 private:
  std::shared_ptr<TOwnerLink> link_;
  std::atomic<bool> released_{false};
};

// A channel as the sampler uses it when a run starts.
class TChannel : public platform::TAutoIntfObject<ISamplerChannel> {
 public:
  using platform::TAutoIntfObject<ISamplerChannel>::TAutoIntfObject;
  // The bound handle (a file descriptor); 0 when unbound.
  virtual LONG BoundHandle() const = 0;
  // The object's own ISamplerChannel with a reference added.
  virtual ISamplerChannel* OwnInterface() = 0;
  // Unbinds; raises E12 while sampling.
  virtual void Detach() = 0;
  // Whether the reading thread closes the handle at the end of a run.
  virtual bool ClosesHandle() const = 0;
  // A run took the handle over to close it: the channel is unbound from now on.
  virtual void ReleaseHandle() = 0;
};

// The channel collection as the sampler uses it.
class TChannels : public TSamplerOwned<ISamplerChannels> {
 public:
  using TSamplerOwned<ISamplerChannels>::TSamplerOwned;
  // Refresh: resizes to the channel count of the owner's current mode.
  // Channel index -> channel, 0 <= index < ChannelCount() (asserted).
  virtual TChannel* Channel(LONG index) const = 0;
  virtual LONG ChannelCount() const = 0;
  // The object's own ISamplerChannels with a reference added.
  virtual ISamplerChannels* OwnInterface() = 0;
  // Detaches and drops every channel, last first; raises E12 while sampling.
  virtual void ClearChannels() = 0;
};

// The capability enumerator as the sampler uses it.
class TCapabilities : public TSamplerOwned<IEnumSamplerItems> {
 public:
  using TSamplerOwned<IEnumSamplerItems>::TSamplerOwned;
  // Refresh: rebuilds the list from the owner's adapter (as Reset).
  // The object's own IEnumSamplerItems with a reference added.
  virtual IEnumSamplerItems* OwnInterface() = 0;
};

// ---- Construction -------------------------------------------------------------------
// Each returns a new object counted in its factory's server, holding one reference for
// the caller (Release it when done). The factories are those of the coclasses named.
// They raise on failure (catalogue or allocation); call them inside a SafeCall body.

// "SamplerChannels" and "SamplerChannel"; starts with 0 channels.
TChannels* CreateSamplerChannels(platform::TAutoObjectFactory& collectionFactory,
                                 platform::TAutoObjectFactory& channelFactory, TSamplerOwner& owner);
// "EnumSamplerCapabilities"; starts empty until Refresh or Reset.
TCapabilities* CreateSamplerCapabilities(platform::TAutoObjectFactory& factory, TSamplerOwner& owner);
// "EnumSamplerConfigurations": probes COM1..COM4 now.
IEnumSamplerItems* CreateConnectionEnumerator(platform::TAutoObjectFactory& factory);
// "EnumModes" / "EnumRates" / "EnumDiagnotors": the list is copied from the adapter
// now (empty for nullptr); the enumerator never touches the adapter afterwards, so
// it may outlive it. hasPort: whether the sampler had a port object (kept, handed
// on to clones).
IEnumSamplerItems* CreateModeEnumerator(platform::TAutoObjectFactory& factory, const protocol::TSampler* adapter);
IEnumSamplerItems* CreateRateEnumerator(platform::TAutoObjectFactory& factory, const protocol::TSampler* adapter);
IEnumDiagnotors* CreateDiagnotorEnumerator(platform::TAutoObjectFactory& factory, const protocol::TSampler* adapter,
                                           bool hasPort = false);

// True for 80..87 and the ten ids of the capability table; otherwise raises
// ESamplerError "E06 - Capability %d is not supported". Never returns false.
bool CheckCapabilityId(LONG id);

// For the server's class table: these classes are internal (made by the sampler
// only); a direct creation request fails with E_NOTIMPL and a clear text.
platform::TAutoObject* RefuseDirectCreation(platform::TAutoObjectFactory& factory);

}  // namespace enumerators
