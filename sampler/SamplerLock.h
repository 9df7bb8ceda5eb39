// The one library-wide lock: serialises stopping a run and the start-failure
// path across all sampler objects of the process.
#pragma once

#include "platform/Threads.h"

namespace sampler {

// Created when the library initialises, destroyed when it unloads.
platform::TCriticalSection& SamplerLock();

}  // namespace sampler
