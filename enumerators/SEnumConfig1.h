// The connection enumerator: the COM ports a host may pass to Open, probed once
// when the enumerator is made.
#pragma once

#include <vector>

#include "enumerators/FixedEnum.h"

namespace enumerators {

// "COM1".."COM4" that could be opened exclusively just now (Flags 0x104), then
// "\\.\COM5".."\\.\COM10" unprobed (Flags 0x204). A probe closes the port at
// once, unchanged; a port another program holds, or that does not exist, is left out.
std::vector<TItem> ProbeConnections();

class TEnumSamplerConnections final
    : public TFixedEnum<TEnumSamplerConnections, IEnumSamplerItems, TItem, SAMPLERCAPABILITYINFO> {
 public:
  explicit TEnumSamplerConnections(platform::TAutoObjectFactory& factory);  // probes
  TEnumSamplerConnections(platform::TAutoObjectFactory& factory, std::vector<TItem> items);

  TEnumSamplerConnections* CloneObject() const { return CopyObject(); }
};

}  // namespace enumerators
