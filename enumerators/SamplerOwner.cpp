// The sampler's entry points into the companions that need a definition of
// their own: the channel collection's constructor and the refusal of direct creation.
#include "enumerators/SamplerOwner.h"

#include "enumerators/EnumList.h"
#include "enumerators/SChannels1.h"

namespace enumerators {

TChannels* CreateSamplerChannels(platform::TAutoObjectFactory& collectionFactory,
                                 platform::TAutoObjectFactory& channelFactory, TSamplerOwner& owner) {
  return NewCounted<TSamplerChannels>(collectionFactory, channelFactory, &owner);
}

platform::TAutoObject* RefuseDirectCreation(platform::TAutoObjectFactory& factory) {
  throw platform::EOleError(E_NOTIMPL, factory.ClassName() + " objects are made by a sampler only");
}

}  // namespace enumerators
