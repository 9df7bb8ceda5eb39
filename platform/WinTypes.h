// The Win32 and COM base types, result codes and error codes that the layers
// above use, with their Windows names and values, so the code reads like the system it is.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using BOOL = std::int32_t;
using HRESULT = std::int32_t;
using VARIANT_BOOL = std::int16_t;
using LCID = DWORD;
using DISPID = LONG;
using SCODE = LONG;
using HANDLE = void*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// Windows calls these conventions out explicitly; on x86-64 Linux there is one ABI.
#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT
#define STDAPI_(type) extern "C" type

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr HRESULT HResult(std::uint32_t v) { return static_cast<HRESULT>(v); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_UNEXPECTED = HResult(0x8000FFFFu);
constexpr HRESULT E_NOTIMPL = HResult(0x80004001u);
constexpr HRESULT E_NOINTERFACE = HResult(0x80004002u);
constexpr HRESULT E_POINTER = HResult(0x80004003u);
constexpr HRESULT E_FAIL = HResult(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = HResult(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = HResult(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = HResult(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = HResult(0x80040111u);
constexpr HRESULT REGDB_E_CLASSNOTREG = HResult(0x80040154u);
constexpr HRESULT REGDB_E_READREGDB = HResult(0x80040150u);
constexpr HRESULT REGDB_E_WRITEREGDB = HResult(0x80040151u);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = HResult(0x80029C4Au);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = HResult(0x8002802Bu);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = HResult(0x80020001u);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = HResult(0x80020003u);
constexpr HRESULT DISP_E_PARAMNOTFOUND = HResult(0x80020004u);
constexpr HRESULT DISP_E_TYPEMISMATCH = HResult(0x80020005u);
constexpr HRESULT DISP_E_UNKNOWNNAME = HResult(0x80020006u);
constexpr HRESULT DISP_E_NONAMEDARGS = HResult(0x80020007u);
constexpr HRESULT DISP_E_BADVARTYPE = HResult(0x80020008u);
constexpr HRESULT DISP_E_EXCEPTION = HResult(0x80020009u);
constexpr HRESULT DISP_E_OVERFLOW = HResult(0x8002000Au);
constexpr HRESULT DISP_E_BADINDEX = HResult(0x8002000Bu);
constexpr HRESULT DISP_E_UNKNOWNLCID = HResult(0x8002000Cu);
constexpr HRESULT DISP_E_ARRAYISLOCKED = HResult(0x8002000Du);
constexpr HRESULT DISP_E_BADPARAMCOUNT = HResult(0x8002000Eu);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = HResult(0x8002000Fu);

// Win32 error codes (GetLastError). On this platform the serial, file and
// thread functions report errno values through SetLastError, which
// RaiseLastOSError turns into text with strerror: EBUSY for a port another
// opener holds, ENOENT for a name that does not exist, EIO for an unplugged
// virtual port or a vanished device, EBADF for a closed or unknown handle,
// EINVAL for a refused argument, EPIPE for a pipe without reader. The Win32
// codes below remain for code that produces them itself.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_BADKEY = 1010;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }
constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// The calling thread's last error, shared by the runtime, the library and hosts.
extern "C" DWORD GetLastError();
extern "C" void SetLastError(DWORD code);
