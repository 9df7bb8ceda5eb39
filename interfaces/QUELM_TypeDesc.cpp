// The interface description, built from the declarations in QUELM_TLB.h: the
// parameter types and slots are read from the member functions themselves.
#include "interfaces/QUELM_TypeDesc.h"

#include "interfaces/QUELM_TLB.h"

namespace platform {
template <> struct TTypeName<IDispatch> { static constexpr const char* Name = "IDispatch"; };
template <> struct TTypeName<IKorvoSampler> { static constexpr const char* Name = "IKorvoSampler"; };
template <> struct TTypeName<ISamplerChannel> { static constexpr const char* Name = "ISamplerChannel"; };
template <> struct TTypeName<ISamplerChannels> { static constexpr const char* Name = "ISamplerChannels"; };
template <> struct TTypeName<IEnumSamplerItems> { static constexpr const char* Name = "IEnumSamplerItems"; };
template <> struct TTypeName<IEnumDiagnotors> { static constexpr const char* Name = "IEnumDiagnotors"; };
template <> struct TTypeName<SAMPLERCAPABILITYINFO> { static constexpr const char* Name = "SAMPLERCAPABILITYINFO"; };
template <> struct TTypeName<SAMPLERDIAGNOTORINFO> { static constexpr const char* Name = "SAMPLERDIAGNOTORINFO"; };
}  // namespace platform

namespace quelm {

namespace {

using platform::ArrayParam;
using platform::Field;
using platform::MakeInterface;
using platform::Method;

platform::TInterfaceDesc KorvoSampler() {
  using I = IKorvoSampler;
  return MakeInterface(
      "IKorvoSampler", IID_IKorvoSampler,
      {
          Method<&I::GetDescription>("GetDescription", {"description"}),
          Method<&I::GetConfigurations>("GetConfigurations", {"configurations"}),
          Method<&I::Open>("Open", {"connection"}),
          Method<&I::GetHardwareId>("GetHardwareId", {"id"}),
          Method<&I::GetModes>("GetModes", {"modes"}),
          Method<&I::GetCapabilities>("GetCapabilities", {"capabilities"}),
          Method<&I::SetMode>("SetMode", {"mode"}),
          Method<&I::GetMode>("GetMode", {"mode"}),
          Method<&I::SetCapabilityBool>("SetCapabilityBool", {"id", "value"}),
          Method<&I::GetCapabilityBool>("GetCapabilityBool", {"id", "value"}),
          Method<&I::SetCapabilityLong>("SetCapabilityLong", {"id", "value"}),
          Method<&I::GetCapabilityLong>("GetCapabilityLong", {"id", "value"}),
          Method<&I::SetCapabilityString>("SetCapabilityString", {"id", "value"}),
          Method<&I::GetCapabilityString>("GetCapabilityString", {"id", "value"}),
          Method<&I::GetChannels>("GetChannels", {"channels"}),
          Method<&I::GetRates>("GetRates", {"rates"}),
          Method<&I::GetRate>("GetRate", {"rate"}),
          Method<&I::SetRate>("SetRate", {"rate"}),
          Method<&I::Start>("Start", {}),
          Method<&I::Stop>("Stop", {}),
          Method<&I::IsSampling>("IsSampling", {"sampling"}),
          Method<&I::GetStatus>("GetStatus", {"text", "code"}),
          Method<&I::Close>("Close", {}),
          Method<&I::IsOpen>("IsOpen", {"open"}),
          Method<&I::IsCapabilityAvailable>("IsCapabilityAvailable", {"id", "available"}),
          Method<&I::GetDiagnotors>("GetDiagnotors", {"diagnotors"}),
          Method<&I::RunDiagnotor>("RunDiagnotor", {"id", "report", "result"}),
          Method<&I::Reset>("Reset", {"lastError"}),
          Method<&I::GetVersion>("GetVersion", {"version"}),
      });
}

platform::TInterfaceDesc SamplerChannel() {
  using I = ISamplerChannel;
  return MakeInterface("ISamplerChannel", IID_ISamplerChannel,
                       {
                           Method<&I::Bind>("Bind", {"handle", "closeHandle"}),
                           Method<&I::Unbind>("Unbind", {}),
                           Method<&I::GetChannels>("GetChannels", {"channels"}),
                           Method<&I::GetFormat>("GetFormat", {"format"}),
                           Method<&I::GetRate>("GetRate", {"rate"}),
                           Method<&I::GetExpectedSize>("GetExpectedSize", {"size"}),
                       });
}

platform::TInterfaceDesc SamplerChannels() {
  using I = ISamplerChannels;
  return MakeInterface("ISamplerChannels", IID_ISamplerChannels,
                       {
                           Method<&I::Next>("Next", {"count", ArrayParam("channels"), "fetched"}),
                           Method<&I::Skip>("Skip", {"count"}),
                           Method<&I::Reset>("Reset", {}),
                           Method<&I::GetCount>("GetCount", {"count"}),
                           Method<&I::Item>("Item", {"index", "channel"}),
                           Method<&I::GetSampler>("GetSampler", {"sampler"}),
                       });
}

platform::TInterfaceDesc EnumSamplerItems() {
  using I = IEnumSamplerItems;
  return MakeInterface("IEnumSamplerItems", IID_IEnumSamplerItems,
                       {
                           Method<&I::Next>("Next", {"count", ArrayParam("items"), "fetched"}),
                           Method<&I::Skip>("Skip", {"count"}),
                           Method<&I::Seek>("Seek", {"index"}),
                           Method<&I::Reset>("Reset", {}),
                           Method<&I::Clone>("Clone", {"clone"}),
                           Method<&I::GetCount>("GetCount", {"count"}),
                       });
}

platform::TInterfaceDesc EnumDiagnotors() {
  using I = IEnumDiagnotors;
  return MakeInterface("IEnumDiagnotors", IID_IEnumDiagnotors,
                       {
                           Method<&I::Next>("Next", {"count", ArrayParam("items"), "fetched"}),
                           Method<&I::Skip>("Skip", {"count"}),
                           Method<&I::Seek>("Seek", {"index"}),
                           Method<&I::Reset>("Reset", {}),
                           Method<&I::Clone>("Clone", {"clone"}),
                           Method<&I::GetCount>("GetCount", {"count"}),
                       });
}

platform::TTypeLibDesc Build() {
  platform::TTypeLibDesc lib;
  lib.Name = "QUELM";
  lib.LibId = LIBID_QUELM;
  lib.Lcid = 0;
  lib.HelpString = "Korvo Sampler Interfaces";
  lib.Records = {
      {"SAMPLERCAPABILITYINFO",
       sizeof(SAMPLERCAPABILITYINFO),
       {Field(&SAMPLERCAPABILITYINFO::Name, "Name"), Field(&SAMPLERCAPABILITYINFO::Id, "Id"),
        Field(&SAMPLERCAPABILITYINFO::Value, "Value"), Field(&SAMPLERCAPABILITYINFO::Flags, "Flags"),
        Field(&SAMPLERCAPABILITYINFO::Group, "Group")}},
      {"SAMPLERDIAGNOTORINFO",
       sizeof(SAMPLERDIAGNOTORINFO),
       {Field(&SAMPLERDIAGNOTORINFO::Name, "Name"), Field(&SAMPLERDIAGNOTORINFO::Description, "Description"),
        Field(&SAMPLERDIAGNOTORINFO::Id, "Id"), Field(&SAMPLERDIAGNOTORINFO::Flags, "Flags")}},
  };
  lib.Interfaces = {KorvoSampler(), SamplerChannel(), SamplerChannels(), EnumSamplerItems(), EnumDiagnotors()};
  return lib;
}

platform::TTypeLibDesc BuildClasses() {
  platform::TTypeLibDesc lib;
  lib.Name = "QUELM1";
  lib.LibId = LIBID_QUELM1;
  lib.Lcid = 1033;
  lib.HelpString = "Korvo Sampler Library";
  lib.CoClasses = {
      {"KorvoSampler", CLSID_KorvoSampler, "IKorvoSampler", "KorvoSampler"},
      {"SamplerChannels", CLSID_SamplerChannels, "ISamplerChannels", "Collection of Sampler Channels"},
      {"SamplerChannel", CLSID_SamplerChannel, "ISamplerChannel", "SamplerChannel"},
      {"EnumSamplerCapabilities", CLSID_EnumSamplerCapabilities, "IEnumSamplerItems", "EnumSamplerCapabilities"},
      {"EnumSamplerConfigurations", CLSID_EnumSamplerConfigurations, "IEnumSamplerItems",
       "EnumSamplerConfigurations"},
      {"EnumRates", CLSID_EnumRates, "IEnumSamplerItems", "TSamplingRates"},
      {"EnumModes", CLSID_EnumModes, "IEnumSamplerItems", "SEnumModes"},
      {"EnumDiagnotors", CLSID_EnumDiagnotors, "IEnumDiagnotors", ""},
  };
  return lib;
}

}  // namespace

const platform::TTypeLibDesc& InterfaceTypeLib() {
  static const platform::TTypeLibDesc lib = Build();
  return lib;
}

const platform::TTypeLibDesc& ClassTypeLib() {
  static const platform::TTypeLibDesc lib = BuildClasses();
  return lib;
}

}  // namespace quelm
