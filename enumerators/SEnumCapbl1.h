// The capability table (ids, kinds, classes, groups), the id check E06, and the
// sampler's one capability enumerator built from its adapter.
#pragma once

#include <span>

#include "enumerators/EnumList.h"
#include "enumerators/SamplerOwner.h"
#include "messages/SMessages.h"

namespace enumerators {

// The ten table entries in list order (100 .. 201); Name empty, Value 0.
std::span<const SAMPLERCAPABILITYINFO> CapabilityTable();
// The catalogue entry of a table id's label.
messages::Msg CapabilityLabel(LONG id);

// The list is built only by Reset (directly or through the sampler's Refresh).
// Clone: the copy is filled at creation with this enumerator's current list (its
// cursor at 0) and bound to the same sampler, so a host can walk the same items
// twice without an extra Reset; its own Reset rebuilds it from the sampler.
class TEnumSamplerCapabilities final : public TCapabilities {
 public:
  TEnumSamplerCapabilities(platform::TAutoObjectFactory& factory, TSamplerOwner* owner);
  // A clone: bound to the same sampler through its link, holding items.
  TEnumSamplerCapabilities(platform::TAutoObjectFactory& factory, std::shared_ptr<TOwnerLink> link,
                           std::vector<TItem> items);

  // IEnumSamplerItems
  HRESULT STDMETHODCALLTYPE Next(ULONG count, SAMPLERCAPABILITYINFO* items, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(LONG count) override;
  HRESULT STDMETHODCALLTYPE Seek(LONG index) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumSamplerItems** clone) override;
  HRESULT STDMETHODCALLTYPE GetCount(LONG* count) override;

  // TSamplerOwned / TCapabilities
  void Refresh() override;
  IEnumSamplerItems* OwnInterface() override;

 private:
  // Pins first, then the table entries the adapter supports, with labels and states.
  void Rebuild();

  TEnumList<TItem> FList;
};

}  // namespace enumerators
