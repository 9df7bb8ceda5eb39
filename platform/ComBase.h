// COM activation of in-process servers and the VARIANT helpers beyond those in
// Unknwn.h: what a host needs to create a registered class by its CLSID.
#pragma once

#include <string>

#include "platform/Unknwn.h"
#include "platform/WinTypes.h"

using CLSCTX = DWORD;
constexpr CLSCTX CLSCTX_INPROC_SERVER = 0x1;
constexpr CLSCTX CLSCTX_INPROC_HANDLER = 0x2;
constexpr CLSCTX CLSCTX_LOCAL_SERVER = 0x4;
constexpr CLSCTX CLSCTX_ALL = 0x17;

constexpr WORD VARIANT_NOVALUEPROP = 0x01;
constexpr WORD VARIANT_ALPHABOOL = 0x02;  // VT_BOOL becomes "True"/"False" instead of "-1"/"0"

inline constexpr IID IID_NULL = GUID_NULL;

extern "C" {
// Looks rclsid up under HKEY_CLASSES_ROOT\CLSID\{..}\InprocServer32, loads that
// library and asks its DllGetClassObject. REGDB_E_CLASSNOTREG when not registered.
HRESULT CoGetClassObject(REFCLSID rclsid, CLSCTX dwClsContext, void* pvReserved, REFIID riid, void** ppv);
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, CLSCTX dwClsContext, REFIID riid, void** ppv);
HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc);
}

constexpr HRESULT CO_E_DLLNOTFOUND = HResult(0x800401F8u);
constexpr HRESULT CO_E_ERRORINDLL = HResult(0x800401F9u);

namespace platform {
// The absolute path of the loaded module (library or program) that holds address, like
// GetModuleFileName; "" when it cannot be told.
std::string ModuleFileName(const void* address);
}  // namespace platform
