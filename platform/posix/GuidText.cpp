// The system's GUID text functions, over the platform runtime's own.
#include <string>

#include "platform/Guid.h"
#include "platform/OleAuto.h"

#define QUELM_EXPORT __attribute__((visibility("default")))

extern "C" {

QUELM_EXPORT int StringFromGUID2(REFGUID guid, LPOLESTR lpsz, int cchMax) {
  if (!lpsz || cchMax < 39) return 0;
  std::string s = platform::GuidToString(guid);
  for (size_t i = 0; i < s.size(); ++i) lpsz[i] = static_cast<unsigned char>(s[i]);
  lpsz[s.size()] = 0;
  return static_cast<int>(s.size() + 1);
}

QUELM_EXPORT HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) {
  if (!pclsid) return E_POINTER;
  *pclsid = GUID_NULL;
  if (!lpsz) return E_INVALIDARG;
  platform::OleStringView w(lpsz);
  if (w.size() > 64) return E_INVALIDARG;
  std::string text = platform::StringFromOle(w);
  return platform::TryStringToGuid(text, *pclsid) ? S_OK : E_INVALIDARG;
}

QUELM_EXPORT HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) { return CLSIDFromString(lpsz, lpiid); }

}  // extern "C"
