// The rate list: the adapter's rates of the current mode, classed by the table
// of standard rates.
#include "enumerators/SEnumRates1.h"

#include <algorithm>
#include <array>

namespace enumerators {

namespace {

constexpr std::array<LONG, 24> kStandardRates = {
    5000000, 3000000, 2500000, 2000000, 1000000, 750000, 500000, 300000, 250000, 200000, 100000, 75000,
    50000,   30000,   25000,   20000,   10000,   7500,   5000,   3000,   2500,   2000,   1000,   750};

constexpr LONG kStandardFlags = SIK_NUMBER | SIF_PRIMARY;
constexpr LONG kOtherFlags = SIK_NUMBER | SIF_SECONDARY;

}  // namespace

bool IsStandardRate(LONG rate) {
  return std::find(kStandardRates.begin(), kStandardRates.end(), rate) != kStandardRates.end();
}

std::vector<TItem> ListRates(const protocol::TSampler* adapter) {
  std::vector<TItem> list;
  if (!adapter) return list;
  adapter->EnumRateItems(
      [&list](void*, const std::string& label, int32_t rate) {
        list.push_back({label, 0, rate, IsStandardRate(rate) ? kStandardFlags : kOtherFlags, 0});
      },
      nullptr);
  if (list.size() == 1) list.front().Flags = kStandardFlags;
  return list;
}

TEnumRates::TEnumRates(platform::TAutoObjectFactory& factory, std::vector<TItem> items)
    : TFixedEnum(factory, std::move(items)) {}

IEnumSamplerItems* CreateRateEnumerator(platform::TAutoObjectFactory& factory, const protocol::TSampler* adapter) {
  return NewCounted<TEnumRates>(factory, ListRates(adapter));
}

}  // namespace enumerators
