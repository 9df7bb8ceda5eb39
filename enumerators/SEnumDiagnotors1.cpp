// The diagnotor list: one record per test the adapter reports.
#include "enumerators/SEnumDiagnotors1.h"

namespace enumerators {

std::vector<TDiagnotorItem> ListDiagnotors(const protocol::TSampler* adapter) {
  std::vector<TDiagnotorItem> list;
  if (!adapter) return list;
  adapter->EnumDiagnotorItems(
      [&list](void*, const std::string& name, const std::string& description, bool flag, int32_t id) {
        list.push_back({name, description, id, flag ? 1 : 0});
      },
      nullptr);
  return list;
}

TEnumDiagnotors::TEnumDiagnotors(platform::TAutoObjectFactory& factory, std::vector<TDiagnotorItem> items,
                                 bool hasPort)
    : TFixedEnum(factory, std::move(items)), FHasPort(hasPort) {}

TEnumDiagnotors* TEnumDiagnotors::CloneObject() const {
  return NewCounted<TEnumDiagnotors>(Factory(), Entries(), FHasPort);
}

IEnumDiagnotors* CreateDiagnotorEnumerator(platform::TAutoObjectFactory& factory, const protocol::TSampler* adapter,
                                           bool hasPort) {
  return NewCounted<TEnumDiagnotors>(factory, ListDiagnotors(adapter), hasPort);
}

}  // namespace enumerators
