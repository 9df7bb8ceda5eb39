// The capability table and its labels, CheckCapabilityId, and the capability
// enumerator: pins from the adapter first, then the table with current states.
#include "enumerators/SEnumCapbl1.h"

#include <algorithm>
#include <array>

namespace enumerators {

using messages::FormatMsg;
using messages::LoadStr;
using messages::Msg;

namespace {

constexpr std::array<SAMPLERCAPABILITYINFO, 10> kTable = {{
    {nullptr, SCAP_START_IMMEDIATELY, 0, SIK_CHOICE | SIF_PRIMARY, SCAP_START_IMMEDIATELY},
    {nullptr, SCAP_START_ON_ACTIVITY, 0, SIK_CHOICE | SIF_PRIMARY, SCAP_START_IMMEDIATELY},
    {nullptr, SCAP_STOP_ON_IDLE, 0, SIK_CHOICE | SIF_PRIMARY, SCAP_STOP_ON_IDLE},
    {nullptr, SCAP_IDLE_PERIOD, 0, SIK_NUMBER | SIF_PRIMARY, SCAP_STOP_ON_IDLE},
    {nullptr, SCAP_STOP_ON_COUNT, 0, SIK_CHOICE | SIF_PRIMARY, SCAP_STOP_ON_IDLE},
    {nullptr, SCAP_SAMPLE_COUNT, 0, SIK_NUMBER | SIF_PRIMARY, SCAP_STOP_ON_IDLE},
    {nullptr, SCAP_STOP_ON_TIMER, 0, SIK_CHOICE | SIF_PRIMARY, SCAP_STOP_ON_IDLE},
    {nullptr, SCAP_SAMPLING_TIMER, 0, SIK_NUMBER | SIF_PRIMARY, SCAP_STOP_ON_IDLE},
    {nullptr, SCAP_CUSTOM_COMMAND, 0, SIK_SWITCH | SIF_SECONDARY, SCAP_CUSTOM_COMMAND},
    {nullptr, SCAP_COMMAND, 0, SIK_TEXT | SIF_SECONDARY, SCAP_CUSTOM_COMMAND},
}};

bool InTable(LONG id) {
  return std::any_of(kTable.begin(), kTable.end(), [id](const SAMPLERCAPABILITYINFO& e) { return e.Id == id; });
}

}  // namespace

std::span<const SAMPLERCAPABILITYINFO> CapabilityTable() { return kTable; }

Msg CapabilityLabel(LONG id) {
  switch (id) {
    case SCAP_START_IMMEDIATELY: return Msg::LblStartImmediately;
    case SCAP_START_ON_ACTIVITY: return Msg::LblStartOnActivity;
    case SCAP_STOP_ON_IDLE: return Msg::LblStopOnIdle;
    case SCAP_IDLE_PERIOD: return Msg::LblIdlePeriod;
    case SCAP_STOP_ON_COUNT: return Msg::LblStopOnCount;
    case SCAP_SAMPLE_COUNT: return Msg::LblSampleCount;
    case SCAP_STOP_ON_TIMER: return Msg::LblStopOnTimer;
    case SCAP_SAMPLING_TIMER: return Msg::LblSamplingTimer;
    case SCAP_CUSTOM_COMMAND: return Msg::LblCustomCommand;
    case SCAP_COMMAND: return Msg::LblCommand;
    default:
      throw protocol::ESamplerError(FormatMsg(Msg::CapabilityNotSupported, id));
  }
}

bool CheckCapabilityId(LONG id) {
  if ((id >= SCAP_ACTUATE_PIN && id <= SCAP_ACTUATE_PIN + 7) || InTable(id)) return true;
  throw protocol::ESamplerError(FormatMsg(Msg::CapabilityNotSupported, id));
}

TEnumSamplerCapabilities::TEnumSamplerCapabilities(platform::TAutoObjectFactory& factory, TSamplerOwner* owner)
    : TCapabilities(factory, owner) {}

TEnumSamplerCapabilities::TEnumSamplerCapabilities(platform::TAutoObjectFactory& factory,
                                                   std::shared_ptr<TOwnerLink> link, std::vector<TItem> items)
    : TCapabilities(factory, std::move(link)), FList(std::move(items)) {}

void TEnumSamplerCapabilities::Rebuild() {
  std::vector<TItem>& list = FList.Entries();
  list.clear();
  TSamplerOwner* owner = Owner();
  const protocol::TSampler* adapter = owner ? owner->CurrentAdapter() : nullptr;
  if (!adapter) return;
  adapter->EnumPinCapabilities(
      [&list](void*, const std::string& label, const SAMPLERCAPABILITYINFO& entry, int32_t id) {
        list.push_back({label, id, entry.Value, entry.Flags, entry.Group});
      },
      nullptr);
  for (const SAMPLERCAPABILITYINFO& entry : kTable) {
    if (!adapter->SupportsCapability(entry.Id)) continue;
    TItem item{LoadStr(CapabilityLabel(entry.Id)), entry.Id, entry.Value, entry.Flags, entry.Group};
    if ((entry.Flags & 3) != 0) item.Value = adapter->GetCapabilityBool(entry.Id) ? 1 : 0;
    list.push_back(std::move(item));
  }
}

void TEnumSamplerCapabilities::Refresh() {
  FList.Rewind();
  Rebuild();
}

IEnumSamplerItems* TEnumSamplerCapabilities::OwnInterface() {
  ObjAddRef();
  return this;
}

HRESULT TEnumSamplerCapabilities::Next(ULONG count, SAMPLERCAPABILITYINFO* items, ULONG* fetched) {
  return SafeCall([&] { return FList.Next(count, items, fetched); });
}

HRESULT TEnumSamplerCapabilities::Skip(LONG count) {
  FList.Skip(count);
  return S_OK;
}

HRESULT TEnumSamplerCapabilities::Seek(LONG index) {
  FList.Seek(index);
  return S_OK;
}

HRESULT TEnumSamplerCapabilities::Reset() {
  return SafeCall([&] { Refresh(); });
}

HRESULT TEnumSamplerCapabilities::Clone(IEnumSamplerItems** clone) {
  if (AnyNull(clone)) return E_POINTER;
  *clone = nullptr;
  return SafeCall([&] {
    std::shared_ptr<TOwnerLink> link = Owner() ? OwnerLink() : nullptr;
    *clone = NewCounted<TEnumSamplerCapabilities>(Factory(), std::move(link), FList.Entries());
  });
}

HRESULT TEnumSamplerCapabilities::GetCount(LONG* count) {
  if (AnyNull(count)) return E_POINTER;
  *count = FList.Count();
  return S_OK;
}

TCapabilities* CreateSamplerCapabilities(platform::TAutoObjectFactory& factory, TSamplerOwner& owner) {
  return NewCounted<TEnumSamplerCapabilities>(factory, &owner);
}

}  // namespace enumerators
