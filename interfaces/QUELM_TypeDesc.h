// The one description of the five sampler interfaces, two item records and the
// server's eight coclasses, from which QUELM.tlb and the IDL files are written
// and the library's IDispatch is served.
#pragma once

#include "platform/TypeInfo.h"

namespace quelm {

// Library "QUELM": IKorvoSampler, ISamplerChannel, ISamplerChannels, IEnumSamplerItems,
// IEnumDiagnotors and the records SAMPLERCAPABILITYINFO and SAMPLERDIAGNOTORINFO.
const platform::TTypeLibDesc& InterfaceTypeLib();

// Library "QUELM1" (Korvo Sampler Library 1.0, locale 1033): the eight coclasses
// the in-process server makes, each with the QUELM interface it serves by default.
const platform::TTypeLibDesc& ClassTypeLib();

}  // namespace quelm
