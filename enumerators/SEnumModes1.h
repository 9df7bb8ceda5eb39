// The mode enumerator: the operating modes the detected hardware offers, with
// their labels and mode numbers.
#pragma once

#include <vector>

#include "enumerators/FixedEnum.h"
#include "protocol/SAdapters.h"

namespace enumerators {

// The adapter's modes in its order (Value: mode number, Flags 0x103); empty for nullptr.
std::vector<TItem> ListModes(const protocol::TSampler* adapter);

// The list is copied from the adapter at creation and Clone copies that list, so
// an enumerator that outlives its adapter (the host closed the port) stays valid.
class TEnumModes final : public TFixedEnum<TEnumModes, IEnumSamplerItems, TItem, SAMPLERCAPABILITYINFO> {
 public:
  TEnumModes(platform::TAutoObjectFactory& factory, std::vector<TItem> items);

  TEnumModes* CloneObject() const { return CopyObject(); }
};

}  // namespace enumerators
