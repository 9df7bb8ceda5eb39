// The list-and-cursor core shared by the enumerators: items kept as 8-bit texts,
// Next handing out records with new BSTRs, and the creation of counted objects.
#pragma once

#include <cassert>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/QUELM_TLB.h"
#include "platform/OleAuto.h"
#include "platform/WinTypes.h"

namespace enumerators {

// One item of an IEnumSamplerItems list; Name becomes a BSTR only when handed out.
struct TItem {
  std::string Name;
  LONG Id = 0;
  LONG Value = 0;
  LONG Flags = 0;
  LONG Group = 0;
};

// One item of an IEnumDiagnotors list.
struct TDiagnotorItem {
  std::string Name;
  std::string Description;
  LONG Id = 0;
  LONG Flags = 0;
};

inline void FreeRecord(SAMPLERCAPABILITYINFO& r) {
  SysFreeString(r.Name);
  r.Name = nullptr;
}
inline void FreeRecord(SAMPLERDIAGNOTORINFO& r) {
  SysFreeString(r.Name);
  SysFreeString(r.Description);
  r.Name = r.Description = nullptr;
}

// The record a host receives; its strings are new and belong to the host.
inline SAMPLERCAPABILITYINFO MakeRecord(const TItem& item) {
  return {platform::BstrFromString(item.Name), item.Id, item.Value, item.Flags, item.Group};
}
inline SAMPLERDIAGNOTORINFO MakeRecord(const TDiagnotorItem& item) {
  platform::BStr name(item.Name);
  platform::BStr description(item.Description);  // may throw: name is freed by its holder
  return {name.Detach(), description.Detach(), item.Id, item.Flags};
}

// A fixed list and the enumeration cursor. The cursor moves without bounds checks
// (positions are compared unsigned, so a negative one lies past the end).
template <class Entry>
class TEnumList {
 public:
  TEnumList() = default;
  explicit TEnumList(std::vector<Entry> entries) : entries_(std::move(entries)) {}

  std::vector<Entry>& Entries() { return entries_; }
  const std::vector<Entry>& Entries() const { return entries_; }
  LONG Count() const { return static_cast<LONG>(entries_.size()); }
  LONG Cursor() const { return cursor_; }

  void Rewind() { cursor_ = 0; }
  void Seek(LONG index) { cursor_ = index; }
  void Skip(LONG count) {  // wraps like the 32-bit arithmetic hosts expect, without overflow
    cursor_ = static_cast<LONG>(static_cast<ULONG>(cursor_) + static_cast<ULONG>(count));
  }

  // Copies up to count entries from the cursor into records (the caller's array).
  // E_POINTER for a missing fetched or array. Should a string allocation fail, the
  // records of this call are freed, the cursor stays and the failure is raised.
  template <class Record>
  HRESULT Next(ULONG count, Record* records, ULONG* fetched) {
    if (!fetched) return E_POINTER;
    *fetched = 0;
    if (count > 0 && !records) return E_POINTER;
    const LONG start = cursor_;
    ULONG n = 0;
    try {
      while (count > 0 && static_cast<ULONG>(cursor_) < entries_.size()) {
        records[n] = MakeRecord(entries_[static_cast<ULONG>(cursor_)]);
        ++n;
        ++cursor_;
        --count;
      }
    } catch (...) {
      for (ULONG i = 0; i < n; ++i) FreeRecord(records[i]);
      cursor_ = start;
      throw;
    }
    *fetched = n;
    return S_OK;
  }

 private:
  std::vector<Entry> entries_;
  LONG cursor_ = 0;
};

// A new automation object counted in its server, with one reference for the caller.
template <class T, class... Args>
T* NewCounted(Args&&... args) {
  std::unique_ptr<T> object(new T(std::forward<Args>(args)...));
  object->CountInServer();
  object->ObjAddRef();
  return object.release();
}

}  // namespace enumerators
