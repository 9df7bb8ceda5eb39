// The registry under HKEY_CLASSES_ROOT that registration writes, with the Win32
// function names and error codes, kept in one REGEDIT4-style text file.
//
// The file is $QUELM_REGISTRY, else $XDG_DATA_HOME/quelm/registry.reg, else
// ~/.local/share/quelm/registry.reg. Every change is a read-modify-write under
// an exclusive lock on "<file>.lock", written to a temporary file, synced and
// renamed over the old one, so readers see the old or the new store, never a
// half-written one, and concurrent writers never lose each other's changes.
// Only string values (REG_SZ) are kept; CR and LF in values are escaped as \r and \n.
#pragma once

#include <cstdint>
#include <string>

#include "platform/WinTypes.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LPCSTR = const char*;
using LPSTR = char*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u));

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_BADDB = 1009;  // the store file exists but is not a valid registry text

extern "C" {
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     void* lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// Deletes one key that has no subkeys (ERROR_ACCESS_DENIED otherwise), with its values.
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// Deletes lpSubKey with everything under it; with a null lpSubKey, hKey's subkeys and values.
LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
// Names of hKey's direct subkeys, one at a time, in sorted order; ERROR_NO_MORE_ITEMS at the end.
LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
LONG RegCloseKey(HKEY hKey);
}


namespace platform {

// The store file in use now (the environment is read at every call).
std::string RegistryPath();

// The string value of HKEY_CLASSES_ROOT\<keyPath> (name "" = default value); false when absent.
bool RegReadString(const std::string& keyPath, const std::string& valueName, std::string& value);

}  // namespace platform
