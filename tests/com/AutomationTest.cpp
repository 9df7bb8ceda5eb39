// The automation layer end to end inside one process: the interface
// description and QUELM.tlb, class factories, the exception boundary and IDispatch.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "ComTestSupport.h"
#include "interfaces/QUELM_TLB.h"
#include "interfaces/QUELM_TypeDesc.h"
#include "messages/SMessages.h"
#include "platform/ComObj.h"

namespace {

using platform::TAutoObjectFactory;

const platform::TTypeLibDesc& InstalledTypeLib() {
  static const platform::TTypeLibDesc lib = platform::LoadTypeLibFile(comtest::BinDir() + "/QUELM.tlb");
  return lib;
}

platform::TTypeLibDesc OwnLib() {
  platform::TTypeLibDesc lib;
  lib.Name = "QUELM1";
  lib.CoClasses = {{"SamplerChannel", CLSID_SamplerChannel, "ISamplerChannel", "SamplerChannel"}};
  return lib;
}

// A channel whose methods exercise every way a call can end.
class TTestChannel final : public platform::TAutoIntfObject<ISamplerChannel> {
 public:
  using TAutoIntfObject::TAutoIntfObject;
  static platform::TAutoObject* Create(TAutoObjectFactory& f) { return new TTestChannel(f); }
  static inline LONG lastHandle = 0;
  static inline VARIANT_BOOL lastClose = 0;

  HRESULT STDMETHODCALLTYPE Bind(LONG handle, VARIANT_BOOL closeHandle) override {
    lastHandle = handle;
    lastClose = closeHandle;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unbind() override {
    return SafeCall([] { throw platform::Exception(messages::FormatMsg(messages::Msg::UnbindWhileSampling)); });
  }
  HRESULT STDMETHODCALLTYPE GetChannels(IDispatch** channels) override {
    if (AnyNull(channels)) return E_POINTER;
    *channels = this;
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFormat(LONG*) override {
    if (lastHandle == -2) throw std::runtime_error("a method without its boundary");
    return SafeCall([] { throw std::bad_alloc(); });
  }
  HRESULT STDMETHODCALLTYPE GetRate(LONG*) override {
    return SafeCall([] { throw platform::EOleError(E_INVALIDARG, "own code"); });
  }
  HRESULT STDMETHODCALLTYPE GetExpectedSize(LONG* size) override {
    if (AnyNull(size)) return E_POINTER;
    return SafeCall([&] {
      if (lastHandle < 0) throw std::runtime_error("not a platform exception");
      *size = 42;
    });
  }
};

class Automation : public ::testing::Test {
 protected:
  Automation()
      : own_(OwnLib()),
        factory_(server_, own_, own_.CoClasses[0], InstalledTypeLib(),
                 *quelm::InterfaceTypeLib().FindInterface("ISamplerChannel"), &TTestChannel::Create) {
    TTestChannel::lastHandle = 0;
    EXPECT_EQ(factory_.CreateInstance(nullptr, IID_ISamplerChannel, reinterpret_cast<void**>(&channel_)), S_OK);
  }
  ~Automation() override {
    if (channel_) channel_->Release();
  }
  DISPID IdOf(const OLECHAR* name) {
    platform::OleString n = name;
    LPOLESTR names[] = {n.data()};
    DISPID id = 0;
    EXPECT_EQ(channel_->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    return id;
  }
  HRESULT Call(const OLECHAR* name, std::vector<VARIANT> args, VARIANT* result, EXCEPINFO* info = nullptr,
               UINT* argErr = nullptr) {
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    return channel_->Invoke(IdOf(name), IID_NULL, 0, DISPATCH_METHOD, &params, result, info, argErr);
  }

  platform::TComServer server_;
  platform::TTypeLibDesc own_;
  TAutoObjectFactory factory_;
  ISamplerChannel* channel_ = nullptr;
};

VARIANT Long(LONG v) {
  VARIANT r{};
  r.vt = VT_I4;
  r.lVal = v;
  return r;
}

TEST(InterfaceDescription, SlotsFollowTheDeclarationsAndTheFileAgrees) {
  const platform::TTypeLibDesc& compiled = quelm::InterfaceTypeLib();
  ASSERT_EQ(compiled.Interfaces.size(), 5u);
  for (const auto& intf : compiled.Interfaces) {
    int slot = 7;
    for (const auto& m : intf.Methods) EXPECT_EQ(m.Slot, slot++) << intf.Name << "." << m.Name;
    std::string why;
    const platform::TInterfaceDesc* file = InstalledTypeLib().FindInterface(intf.Name);
    ASSERT_NE(file, nullptr) << intf.Name;
    EXPECT_TRUE(platform::SameInterface(*file, intf, why)) << why;
  }
  const auto* sampler = compiled.FindInterface("IKorvoSampler");
  ASSERT_EQ(sampler->Methods.size(), 29u);
  EXPECT_EQ(sampler->Methods.back().Name, "GetVersion");
  EXPECT_EQ(sampler->Methods.back().Slot, 35);
  const auto* status = sampler->FindMethod("getstatus");
  ASSERT_NE(status, nullptr);
  ASSERT_EQ(status->Params.size(), 2u);
  EXPECT_EQ(status->Params[0].Type, VT_BSTR);
  EXPECT_EQ(status->Params[0].Dir, platform::ParamDir::Out);
  EXPECT_EQ(status->Params[1].Type, VT_I4);
  EXPECT_EQ(status->Params[1].Dir, platform::ParamDir::RetVal);
  const auto* modes = sampler->FindMethod("GetModes");
  EXPECT_EQ(modes->Params[0].Type, VT_DISPATCH);
  EXPECT_EQ(modes->Params[0].TypeName, "IEnumSamplerItems");
  EXPECT_FALSE(compiled.FindInterface("IEnumSamplerItems")->FindMethod("Next")->Dispatchable());
  EXPECT_FALSE(compiled.FindInterface("ISamplerChannels")->FindMethod("Next")->Dispatchable());
  const auto* cap = InstalledTypeLib().FindRecord("SAMPLERCAPABILITYINFO");
  ASSERT_NE(cap, nullptr);
  EXPECT_EQ(cap->Size, 24u);
  EXPECT_EQ(cap->Fields.back().Name, "Group");
  EXPECT_EQ(cap->Fields.back().Offset, 20u);
  EXPECT_EQ(*InstalledTypeLib().FindRecord("SAMPLERDIAGNOTORINFO"), *compiled.FindRecord("SAMPLERDIAGNOTORINFO"));
}

TEST(InterfaceDescription, DamagedFilesAreRefusedWithTheLine) {
  std::string good = platform::WriteTypeLibText(quelm::InterfaceTypeLib());
  EXPECT_NO_THROW(platform::ParseTypeLibText(good));
  auto refuses = [](const std::string& text, const std::string& part) {
    try {
      platform::ParseTypeLibText(text);
      ADD_FAILURE() << "accepted: " << text.substr(0, 60);
    } catch (const platform::Exception& e) {
      EXPECT_NE(e.Message().find(part), std::string::npos) << e.Message();
    }
  };
  refuses("", "not a type library");
  refuses("QUELM-TYPELIB 1\nlibrary Q {bad} 1.0 0 \"h\"\n", "line 2");
  refuses("QUELM-TYPELIB 1\nlibrary Q {834A1CC8-261E-46E6-BA7E-E142F4356E82} 1.0 0 \"h\"\n"
          "interface I {834A1CC8-261E-46E6-BA7E-E142F4356E82} IDispatch\n  method 1 7 M\n",
          "has no end");
  refuses(good.substr(0, good.find("param")) + "param sideways 3 - single x\n", "unknown direction");
  // A version or locale that would wrap is refused, not read as another number.
  refuses("QUELM-TYPELIB 1\nlibrary Q {834A1CC8-261E-46E6-BA7E-E142F4356E82} 1.0 -1 \"h\"\n", "line 2: '-1'");
  refuses("QUELM-TYPELIB 1\nlibrary Q {834A1CC8-261E-46E6-BA7E-E142F4356E82} 1.65536 0 \"h\"\n", "out of range");
  comtest::TempDir dir;
  try {
    platform::LoadTypeLibFile(dir.File("absent.tlb"));
    ADD_FAILURE();
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.ErrorCode(), TYPE_E_CANTLOADLIBRARY);
    EXPECT_NE(e.Message().find("absent.tlb"), std::string::npos);
  }
}

TEST(ClassFactory, RefusesAClassWithoutUsableTypeInformation) {
  platform::TComServer server;
  platform::TTypeLibDesc own = OwnLib();
  const auto& compiled = *quelm::InterfaceTypeLib().FindInterface("ISamplerChannel");
  auto message = [&](const platform::TCoClassDesc& coclass, const platform::TTypeLibDesc& lib) {
    try {
      TAutoObjectFactory f(server, own, coclass, lib, compiled, &TTestChannel::Create);
    } catch (const platform::Exception& e) {
      return e.Message();
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message({"SamplerChannel", CLSID_SamplerChannel, "", ""}, InstalledTypeLib()),
            "Incorrect type information for class SamplerChannel");
  platform::TTypeLibDesc without = InstalledTypeLib();
  std::erase_if(without.Interfaces, [](const auto& i) { return i.Name == "ISamplerChannel"; });
  EXPECT_EQ(message(own.CoClasses[0], without), "Incorrect type information for class SamplerChannel");
  platform::TTypeLibDesc changed = InstalledTypeLib();
  for (auto& i : changed.Interfaces)
    if (i.Name == "ISamplerChannel") i.Methods[0].Params[0].Type = VT_BSTR;
  EXPECT_EQ(message(own.CoClasses[0], changed).rfind("Incorrect type information for class SamplerChannel: ", 0), 0u);
}

TEST_F(Automation, FactoryCountsObjectsAndLocksAndRefusesAggregation) {
  EXPECT_EQ(server_.ObjectCount(), 1);
  EXPECT_FALSE(server_.CanUnload());
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory_.CreateInstance(channel_, IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(factory_.CreateInstance(nullptr, IID_IKorvoSampler, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(server_.ObjectCount(), 1) << "a refused interface leaves no object behind";
  EXPECT_EQ(factory_.CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  channel_->Release();
  channel_ = nullptr;
  EXPECT_TRUE(server_.CanUnload());
  factory_.LockServer(TRUE);
  EXPECT_FALSE(server_.CanUnload());
  factory_.LockServer(FALSE);
  EXPECT_TRUE(server_.CanUnload());
  ASSERT_EQ(factory_.CreateObject(false, IID_ISamplerChannel, reinterpret_cast<void**>(&channel_)), S_OK);
  EXPECT_TRUE(server_.CanUnload()) << "objects made for the library's own use are not counted";
}

TEST_F(Automation, QueryInterfaceKeepsOneIdentity) {
  IUnknown* unk = nullptr;
  IDispatch* disp = nullptr;
  ISupportErrorInfo* sei = nullptr;
  ASSERT_EQ(channel_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
  ASSERT_EQ(channel_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
  ASSERT_EQ(channel_->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&sei)), S_OK);
  EXPECT_EQ(static_cast<void*>(unk), static_cast<void*>(channel_));
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_ISamplerChannel), S_OK);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IKorvoSampler), S_FALSE);
  IUnknown* viaSei = nullptr;
  sei->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaSei));
  EXPECT_EQ(viaSei, unk);
  viaSei->Release();
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(channel_->QueryInterface(IID_IEnumDiagnotors, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(channel_->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  unk->Release();
  disp->Release();
  sei->Release();
  EXPECT_EQ(channel_->AddRef(), 2u);
  EXPECT_EQ(channel_->Release(), 1u);
}

TEST_F(Automation, ExceptionsBecomeResultsWithErrorInfo) {
  EXPECT_EQ(channel_->Unbind(), E_UNEXPECTED);
  auto info = comtest::TakeErrorInfo();
  ASSERT_TRUE(info.present);
  EXPECT_EQ(info.description, "E12 - Can not unbound channel - sampling in progress");
  EXPECT_EQ(info.source, "QUELM1.SamplerChannel");
  EXPECT_EQ(info.guid, IID_ISamplerChannel);

  LONG v;
  EXPECT_EQ(channel_->GetFormat(&v), E_OUTOFMEMORY);
  EXPECT_EQ(channel_->GetRate(&v), E_INVALIDARG) << "an exception's own negative code is kept";
  EXPECT_EQ(comtest::TakeErrorInfo().description, "own code");
  channel_->Bind(-1, 0);
  EXPECT_EQ(channel_->GetExpectedSize(&v), E_UNEXPECTED);
  EXPECT_EQ(comtest::TakeErrorInfo().description, "not a platform exception");
  EXPECT_EQ(channel_->GetExpectedSize(nullptr), E_POINTER);
}

TEST_F(Automation, NamesResolveIgnoringCase) {
  platform::OleString m = OLESTR("bInD"), p1 = OLESTR("CLOSEHANDLE"), p2 = OLESTR("nope");
  LPOLESTR names[] = {m.data(), p1.data(), p2.data()};
  DISPID ids[3];
  EXPECT_EQ(channel_->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], IdOf(OLESTR("Bind")));
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);
  platform::OleString unknown = OLESTR("Explode");
  LPOLESTR one[] = {unknown.data()};
  EXPECT_EQ(channel_->GetIDsOfNames(IID_NULL, one, 1, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  EXPECT_EQ(channel_->GetIDsOfNames(IID_IDispatch, one, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);
  UINT count = 9;
  EXPECT_EQ(channel_->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
}

TEST_F(Automation, InvokeConvertsArgumentsByTheDescribedTypes) {
  VARIANT handle{};
  handle.vt = VT_BSTR;
  handle.bstrVal = platform::BstrFromString("12");
  VARIANT close = Long(7);
  // Arguments arrive last first.
  EXPECT_EQ(Call(OLESTR("Bind"), {close, handle}, nullptr), S_OK);
  EXPECT_EQ(TTestChannel::lastHandle, 12);
  EXPECT_EQ(TTestChannel::lastClose, VARIANT_TRUE);

  VARIANT bad{};
  bad.vt = VT_BSTR;
  bad.bstrVal = platform::BstrFromString("twelve");
  UINT argErr = 99;
  EXPECT_EQ(Call(OLESTR("Bind"), {close, bad}, nullptr, nullptr, &argErr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 1u);
  EXPECT_EQ(Call(OLESTR("Bind"), {close}, nullptr), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(OLESTR("Unbind"), {close}, nullptr), DISP_E_BADPARAMCOUNT);
  VariantClear(&handle);
  VariantClear(&bad);
}

TEST_F(Automation, OutParametersComeBackAsResultOrByReference) {
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(Call(OLESTR("GetExpectedSize"), {}, &result), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 42);

  LONG size = 0;
  VARIANT ref{};
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &size;
  ASSERT_EQ(Call(OLESTR("GetExpectedSize"), {ref}, &result), S_OK);
  EXPECT_EQ(size, 42);
  EXPECT_EQ(result.vt, VT_EMPTY);

  BSTR wrong = nullptr;
  VARIANT wrongRef{};
  wrongRef.vt = VT_BYREF | VT_BSTR;
  wrongRef.pbstrVal = &wrong;
  EXPECT_EQ(Call(OLESTR("GetExpectedSize"), {wrongRef}, &result), DISP_E_TYPEMISMATCH);

  VARIANT holder;
  VariantInit(&holder);
  VARIANT varRef{};
  varRef.vt = VT_BYREF | VT_VARIANT;
  varRef.pvarVal = &holder;
  ASSERT_EQ(Call(OLESTR("GetChannels"), {varRef}, nullptr), S_OK);
  ASSERT_EQ(holder.vt, VT_DISPATCH);
  EXPECT_EQ(static_cast<void*>(holder.pdispVal), static_cast<void*>(channel_));
  VariantClear(&holder);
  EXPECT_EQ(channel_->AddRef(), 2u) << "the returned reference was the caller's to release";
  channel_->Release();
}

TEST_F(Automation, InvokeReportsFailuresAndMisuse) {
  EXCEPINFO info{};
  EXPECT_EQ(Call(OLESTR("Unbind"), {}, nullptr, &info), DISP_E_EXCEPTION);
  EXPECT_EQ(info.scode, E_UNEXPECTED);
  EXPECT_EQ(platform::StringFromBstr(info.bstrDescription), "E12 - Can not unbound channel - sampling in progress");
  EXPECT_EQ(platform::StringFromBstr(info.bstrSource), "QUELM1.SamplerChannel");
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrSource);
  comtest::TakeErrorInfo();

  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(channel_->Invoke(9999, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(channel_->Invoke(IdOf(OLESTR("Unbind")), IID_NULL, 0, DISPATCH_PROPERTYPUT, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  TTestChannel::lastHandle = -2;
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(Call(OLESTR("GetFormat"), {}, &result), E_UNEXPECTED) << "even an unguarded method throws nothing into Invoke's caller";
  VARIANT arg = Long(1);
  DISPID named = 0;
  DISPPARAMS withName{&arg, &named, 1, 1};
  EXPECT_EQ(channel_->Invoke(IdOf(OLESTR("Bind")), IID_NULL, 0, DISPATCH_METHOD, &withName, nullptr, nullptr, nullptr),
            DISP_E_NONAMEDARGS);
}

}  // namespace
