// The enumerator over a list fixed at creation (connections, modes, rates,
// diagnotors): Reset only rewinds, and Clone copies the list with its cursor at 0.
#pragma once

#include <utility>
#include <vector>

#include "enumerators/EnumList.h"
#include "platform/ComObj.h"

namespace enumerators {

// Derived is constructible from (factory, entries); Intf is the enumerator
// interface whose Clone yields Intf**.
template <class Derived, class Intf, class Entry, class Record>
class TFixedEnum : public platform::TAutoIntfObject<Intf> {
 public:
  TFixedEnum(platform::TAutoObjectFactory& factory, std::vector<Entry> entries)
      : platform::TAutoIntfObject<Intf>(factory), FList(std::move(entries)) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG count, Record* items, ULONG* fetched) override {
    return this->SafeCall([&] { return FList.Next(count, items, fetched); });
  }
  HRESULT STDMETHODCALLTYPE Skip(LONG count) override {
    FList.Skip(count);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Seek(LONG index) override {
    FList.Seek(index);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    FList.Rewind();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Intf** clone) override {
    if (!clone) return E_POINTER;
    *clone = nullptr;
    return this->SafeCall([&] { *clone = static_cast<const Derived*>(this)->CloneObject(); });
  }
  HRESULT STDMETHODCALLTYPE GetCount(LONG* count) override {
    if (!count) return E_POINTER;
    *count = FList.Count();
    return S_OK;
  }

  const std::vector<Entry>& Entries() const { return FList.Entries(); }

 protected:
  // The plain copy most enumerators clone into.
  Derived* CopyObject() const {
    return NewCounted<Derived>(this->Factory(), FList.Entries());
  }

 private:
  TEnumList<Entry> FList;
};

}  // namespace enumerators
