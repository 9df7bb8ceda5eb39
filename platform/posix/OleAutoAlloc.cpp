// BSTR allocation, as the system's automation library does it.
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/OleAuto.h"

#define QUELM_EXPORT __attribute__((visibility("default")))

namespace {

// Layout: [DWORD byte length][characters][NUL], the pointer handed out is to the characters.
BSTR Allocate(UINT length) {
  if (length > (0x7FFFFFF0u - sizeof(DWORD) - sizeof(OLECHAR)) / sizeof(OLECHAR)) return nullptr;
  size_t bytes = sizeof(DWORD) + (static_cast<size_t>(length) + 1) * sizeof(OLECHAR);
  auto* block = static_cast<unsigned char*>(std::malloc(bytes));
  if (!block) return nullptr;
  DWORD byteLen = length * sizeof(OLECHAR);
  std::memcpy(block, &byteLen, sizeof byteLen);
  auto* chars = reinterpret_cast<OLECHAR*>(block + sizeof(DWORD));
  chars[length] = 0;
  return chars;
}

DWORD StoredBytes(BSTR s) {
  DWORD n;
  std::memcpy(&n, reinterpret_cast<unsigned char*>(s) - sizeof(DWORD), sizeof n);
  return n;
}

}  // namespace

extern "C" {

QUELM_EXPORT BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  BSTR s = Allocate(length);
  if (!s) return nullptr;
  if (text)
    std::memcpy(s, text, static_cast<size_t>(length) * sizeof(OLECHAR));
  else
    std::memset(s, 0, static_cast<size_t>(length) * sizeof(OLECHAR));
  return s;
}

QUELM_EXPORT BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  UINT n = 0;
  while (text[n]) ++n;
  return SysAllocStringLen(text, n);
}

QUELM_EXPORT UINT SysStringLen(BSTR text) { return text ? StoredBytes(text) / sizeof(OLECHAR) : 0; }

QUELM_EXPORT UINT SysStringByteLen(BSTR text) { return text ? StoredBytes(text) : 0; }

QUELM_EXPORT void SysFreeString(BSTR text) {
  if (text) std::free(reinterpret_cast<unsigned char*>(text) - sizeof(DWORD));
}

}  // extern "C"
