// GUIDs in their registry string form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
// both ways, as the registry, the type library file and hosts write them.
#pragma once

#include <string>
#include <string_view>

#include "platform/OleAuto.h"
#include "platform/WinTypes.h"

extern "C" {
// Writes the 38-character form plus NUL; returns the characters written (39), or 0 when cchMax is too small.
int StringFromGUID2(REFGUID guid, LPOLESTR lpsz, int cchMax);
// Parses the braced form; E_INVALIDARG (result zeroed) for anything else.
HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);
HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);
}

namespace platform {

std::string GuidToString(REFGUID guid);                  // upper-case hexadecimal, braces
bool TryStringToGuid(std::string_view text, GUID& guid);  // braces required, case ignored

}  // namespace platform
