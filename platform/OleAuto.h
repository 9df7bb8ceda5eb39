// OLE Automation strings: BSTR is a NUL-terminated run of 16-bit characters
// preceded by its length in bytes; a null BSTR reads as empty text.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinTypes.h"

using OLECHAR = char16_t;
// A literal of OLECHARs, as the Win32 headers spell it.
#define OLESTR(text) u##text
using BSTR = OLECHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

extern "C" {
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);
void SysFreeString(BSTR text);
}

namespace platform {

using OleString = std::basic_string<OLECHAR>;
using OleStringView = std::basic_string_view<OLECHAR>;

// The system's 8-bit texts cross the boundary as Latin-1: every byte survives a
// round trip, and characters above U+00FF come back as "?".
BSTR BstrFromString(std::string_view text);  // throws std::bad_alloc when out of memory
std::string StringFromBstr(BSTR text);
OleString OleFromString(std::string_view text);
std::string StringFromOle(OleStringView text);

// Owns one BSTR; frees it when it goes.
class BStr {
 public:
  BStr() = default;
  explicit BStr(BSTR owned) : s_(owned) {}
  explicit BStr(std::string_view text) : s_(BstrFromString(text)) {}
  BStr(const BStr&) = delete;
  BStr& operator=(const BStr&) = delete;
  BStr(BStr&& o) noexcept : s_(o.Detach()) {}
  BStr& operator=(BStr&& o) noexcept {
    if (this != &o) Attach(o.Detach());
    return *this;
  }
  ~BStr() { SysFreeString(s_); }

  BSTR Get() const { return s_; }
  BSTR* Out() {  // for out-parameters: frees what is held first
    Attach(nullptr);
    return &s_;
  }
  BSTR Detach() {
    BSTR r = s_;
    s_ = nullptr;
    return r;
  }
  void Attach(BSTR s) {
    SysFreeString(s_);
    s_ = s;
  }
  std::string Str() const { return StringFromBstr(s_); }

 private:
  BSTR s_ = nullptr;
};

}  // namespace platform
