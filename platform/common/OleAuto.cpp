// The Latin-1 conversions between text and BSTR of the platform runtime.
#include "platform/OleAuto.h"

#include <limits>
#include <new>

namespace platform {

BSTR BstrFromString(std::string_view text) {
  if (text.size() > std::numeric_limits<UINT>::max()) throw std::bad_alloc();  // the allocator sets the real limit
  BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
  if (!s) throw std::bad_alloc();
  for (size_t i = 0; i < text.size(); ++i) s[i] = static_cast<unsigned char>(text[i]);
  return s;
}

std::string StringFromBstr(BSTR text) {
  UINT n = SysStringLen(text);
  std::string r(n, '\0');
  for (UINT i = 0; i < n; ++i) r[i] = text[i] <= 0xFF ? static_cast<char>(text[i]) : '?';
  return r;
}

OleString OleFromString(std::string_view text) {
  OleString r(text.size(), OLECHAR{});
  for (size_t i = 0; i < text.size(); ++i) r[i] = static_cast<unsigned char>(text[i]);
  return r;
}

std::string StringFromOle(OleStringView text) {
  std::string r(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) r[i] = text[i] <= 0xFF ? static_cast<char>(text[i]) : '?';
  return r;
}

}  // namespace platform
