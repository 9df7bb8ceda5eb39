// The rate enumerator: the sampling rates of the adapter's current mode, the
// standard ones (or a sole rate) marked primary.
#pragma once

#include <vector>

#include "enumerators/FixedEnum.h"
#include "protocol/SAdapters.h"

namespace enumerators {

// Whether a rate is one of the 24 standard rates (5000000/s down to 750/s).
bool IsStandardRate(LONG rate);

// The adapter's rates for its current mode (Value: rate; Flags 0x103 standard,
// 0x203 other; a list of one is standard whatever its rate). Group is 0.
std::vector<TItem> ListRates(const protocol::TSampler* adapter);

class TEnumRates final : public TFixedEnum<TEnumRates, IEnumSamplerItems, TItem, SAMPLERCAPABILITYINFO> {
 public:
  TEnumRates(platform::TAutoObjectFactory& factory, std::vector<TItem> items);

  TEnumRates* CloneObject() const { return CopyObject(); }
};

}  // namespace enumerators
