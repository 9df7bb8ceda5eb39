// The type-information model written as the interface definition language that
// Windows' type library compilers (MIDL, widl) read, so that a binary type
// library can be made from the same description the library serves.
#pragma once

#include <string>
#include <vector>

#include "platform/TypeInfo.h"

namespace platform {

// One library block: its records, interfaces (dual, on IDispatch) and
// coclasses; `imports` are IDL files whose declarations it uses (a library made
// from it then holds what it uses of them, so it stands alone). Throws
// Exception for a parameter or field type IDL cannot state.
std::string WriteTypeLibIdl(const TTypeLibDesc& lib, const std::vector<std::string>& imports = {});

}  // namespace platform
