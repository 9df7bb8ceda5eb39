// The mode list: one primary numeric item per mode the adapter reports.
#include "enumerators/SEnumModes1.h"

namespace enumerators {

std::vector<TItem> ListModes(const protocol::TSampler* adapter) {
  std::vector<TItem> list;
  if (!adapter) return list;
  adapter->EnumModeItems(
      [&list](void*, const std::string& label, int32_t mode) {
        list.push_back({label, 0, mode, SIK_NUMBER | SIF_PRIMARY, 0});
      },
      nullptr);
  return list;
}

TEnumModes::TEnumModes(platform::TAutoObjectFactory& factory, std::vector<TItem> items)
    : TFixedEnum(factory, std::move(items)) {}

IEnumSamplerItems* CreateModeEnumerator(platform::TAutoObjectFactory& factory, const protocol::TSampler* adapter) {
  return NewCounted<TEnumModes>(factory, ListModes(adapter));
}

}  // namespace enumerators
