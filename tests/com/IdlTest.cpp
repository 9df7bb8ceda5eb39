// The IDL of both type libraries, written from the one interface description:
// the files kept in the tree are what the generator writes today (so the
// Windows build's binary type libraries cannot drift from the library), they
// say what the description says, and, where widl is installed, they compile.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "interfaces/QUELM_TLB.h"
#include "interfaces/QUELM_TypeDesc.h"
#include "platform/Guid.h"
#include "platform/SysUtils.h"
#include "platform/TypeLibIdl.h"
#include "tests/support/TempDir.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int RunCommand(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Unbraced(const GUID& g) {
  const std::string s = platform::GuidToString(g);
  return s.substr(1, s.size() - 2);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST(InterfaceIdl, FilesInTheTreeAreWhatTheDescriptionWrites) {
  testsupport::TempDir dir;
  ASSERT_EQ(RunCommand(std::string(QUELM_MAKETLB) + " --idl " + dir.Path()), 0);
  for (const char* name : {"QUELM.idl", "QUELM1.idl"}) {
    const std::string fresh = ReadAll(dir.File(name));
    ASSERT_FALSE(fresh.empty()) << name;
    EXPECT_TRUE(fresh == ReadAll(std::string(QUELM_SOURCE_DIR) + "/interfaces/" + name))
        << "interfaces/" << name << " is out of date: run build/tools-build/MakeTlb --idl interfaces";
  }
}

TEST(InterfaceIdl, StatesEveryInterfaceRecordAndCoclassOfTheDescription) {
  const platform::TTypeLibDesc& interfaces = quelm::InterfaceTypeLib();
  const std::string idl = platform::WriteTypeLibIdl(interfaces);
  EXPECT_NE(idl.find("uuid(" + Unbraced(LIBID_QUELM) + ")"), std::string::npos);
  EXPECT_NE(idl.find("library QUELM\n"), std::string::npos);
  ASSERT_EQ(interfaces.Interfaces.size(), 5u);
  for (const platform::TInterfaceDesc& i : interfaces.Interfaces) {
    EXPECT_NE(idl.find("uuid(" + Unbraced(i.Iid) + "),\n    dual"), std::string::npos) << i.Name;
    EXPECT_NE(idl.find("interface " + i.Name + " : IDispatch\n"), std::string::npos) << i.Name;
    for (const platform::TMethodDesc& m : i.Methods)
      EXPECT_NE(idl.find(platform::Format("[id(%d)] HRESULT %s(", m.DispId, m.Name)), std::string::npos)
          << i.Name << "." << m.Name;
  }
  // Parameters by direction and type, as a host's compiler will see them.
  EXPECT_NE(idl.find("HRESULT GetStatus([out] BSTR* text, [out, retval] long* code);"), std::string::npos);
  EXPECT_NE(idl.find("HRESULT Bind([in] long handle, [in] VARIANT_BOOL closeHandle);"), std::string::npos);
  EXPECT_NE(idl.find("HRESULT GetModes([out, retval] IEnumSamplerItems** modes);"), std::string::npos);
  EXPECT_NE(idl.find("HRESULT Next([in] unsigned long count, [out, "
                     "size_is(count)] ISamplerChannel** channels, "
                     "[out, retval] unsigned long* fetched);"),
            std::string::npos);
  EXPECT_NE(idl.find("typedef struct SAMPLERCAPABILITYINFO {\n    BSTR Name;\n    "
                     "long Id;\n    long Value;\n"
                     "    long Flags;\n    long Group;\n  } SAMPLERCAPABILITYINFO;"),
            std::string::npos);
  EXPECT_EQ(Count(idl, "typedef struct "), 2u);
  EXPECT_EQ(Count(idl, "coclass "), 0u);

  const platform::TTypeLibDesc& classes = quelm::ClassTypeLib();
  const std::string own = platform::WriteTypeLibIdl(classes, {"QUELM.idl"});
  EXPECT_NE(own.find("import \"QUELM.idl\";"), std::string::npos);
  EXPECT_NE(own.find("uuid(" + Unbraced(LIBID_QUELM1) + ")"), std::string::npos);
  EXPECT_NE(own.find("lcid(1033)"), std::string::npos);
  EXPECT_EQ(Count(own, "coclass "), 8u);
  EXPECT_NE(own.find("uuid(" + Unbraced(CLSID_KorvoSampler) +
                     "),\n    helpstring(\"KorvoSampler\")\n  ]\n  coclass "
                     "KorvoSampler\n  {\n"
                     "    [default] interface IKorvoSampler;"),
            std::string::npos);
  // A class without a help text gets no empty helpstring.
  EXPECT_NE(own.find("uuid(" + Unbraced(CLSID_EnumDiagnotors) + ")\n  ]\n  coclass EnumDiagnotors"), std::string::npos);
}

TEST(InterfaceIdl, RefusesWhatIdlCannotState) {
  platform::TTypeLibDesc lib;
  lib.Name = "T";
  platform::TInterfaceDesc i;
  i.Name = "IT";
  platform::TMethodDesc m;
  m.Name = "Take";
  m.Params = {{"value", VT_VARIANT, platform::ParamDir::In, false, ""}};
  i.Methods = {m};
  lib.Interfaces = {i};
  try {
    platform::WriteTypeLibIdl(lib);
    ADD_FAILURE() << "a VARIANT parameter was written";
  } catch (const platform::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("Take.value"), std::string::npos) << e.what();
  }
  // An array whose count does not come first cannot be sized.
  lib.Interfaces[0].Methods[0].Params = {{"items", VT_I4, platform::ParamDir::Out, true, ""}};
  EXPECT_THROW(platform::WriteTypeLibIdl(lib), platform::Exception);
}

#ifdef QUELM_WIDL
// The Windows build's compiler accepts both files and writes binary type
// libraries ("MSFT"); the server's own takes the interfaces from the first.
TEST(InterfaceIdl, WidlCompilesBothIntoTypeLibraries) {
  testsupport::TempDir dir;
  const std::string widl = std::string(QUELM_WIDL) + " --win64 -I" QUELM_WIDL_INCLUDE " -I" QUELM_SOURCE_DIR
                                                     "/interfaces"
                                                     " -L" QUELM_WIDL_LIBS " -t";
  const std::string src = std::string(QUELM_SOURCE_DIR) + "/interfaces/";
  ASSERT_EQ(RunCommand(widl + " -o " + dir.File("QUELM.tlb") + " " + src + "QUELM.idl"), 0);
  ASSERT_EQ(RunCommand(widl + " -o " + dir.File("QUELM1.tlb") + " " + src + "QUELM1.idl"), 0);
  const std::string interfaces = ReadAll(dir.File("QUELM.tlb"));
  const std::string classes = ReadAll(dir.File("QUELM1.tlb"));
  EXPECT_EQ(interfaces.substr(0, 4), "MSFT");
  EXPECT_EQ(classes.substr(0, 4), "MSFT");
  // Names are stored as they are: each interface in both, each coclass in the
  // server's.
  for (const platform::TInterfaceDesc& i : quelm::InterfaceTypeLib().Interfaces) {
    EXPECT_NE(interfaces.find(i.Name), std::string::npos) << i.Name;
    EXPECT_NE(classes.find(i.Name), std::string::npos) << i.Name;
  }
  for (const platform::TCoClassDesc& c : quelm::ClassTypeLib().CoClasses)
    EXPECT_NE(classes.find(c.Name), std::string::npos) << c.Name;
}
#endif

}  // namespace
