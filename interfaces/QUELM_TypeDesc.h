// The one description of the five sampler interfaces and two item records, from
// which QUELM.tlb is written and the library's IDispatch is served.
#pragma once

#include "platform/TypeInfo.h"

namespace quelm {

// Library "QUELM": IKorvoSampler, ISamplerChannel, ISamplerChannels, IEnumSamplerItems,
// IEnumDiagnotors and the records SAMPLERCAPABILITYINFO and SAMPLERDIAGNOTORINFO.
const platform::TTypeLibDesc& InterfaceTypeLib();

}  // namespace quelm
