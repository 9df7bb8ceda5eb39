// The library-wide sampler lock.
#include "sampler/SamplerLock.h"

namespace sampler {

platform::TCriticalSection& SamplerLock() {
  static platform::TCriticalSection lock;
  return lock;
}

}  // namespace sampler
