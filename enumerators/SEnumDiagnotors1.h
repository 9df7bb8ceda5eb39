// The diagnotor enumerator: the diagnostic tests the detected hardware offers,
// with their names, descriptions, ids and flags.
#pragma once

#include <vector>

#include "enumerators/FixedEnum.h"
#include "protocol/SAdapters.h"

namespace enumerators {

// The adapter's tests in its order (Flags 1 for a test the adapter marks); empty for nullptr.
std::vector<TDiagnotorItem> ListDiagnotors(const protocol::TSampler* adapter);

// The list is copied from the adapter at creation and Clone copies that list (with
// the port flag), so an enumerator that outlives its adapter stays valid.
class TEnumDiagnotors final
    : public TFixedEnum<TEnumDiagnotors, IEnumDiagnotors, TDiagnotorItem, SAMPLERDIAGNOTORINFO> {
 public:
  TEnumDiagnotors(platform::TAutoObjectFactory& factory, std::vector<TDiagnotorItem> items, bool hasPort = false);

  TEnumDiagnotors* CloneObject() const;
  // Whether the sampler had a port object when the list was made.
  bool HadPort() const { return FHasPort; }

 private:
  bool FHasPort;
};

}  // namespace enumerators
