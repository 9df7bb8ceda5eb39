// The enumerators over fixed lists: modes, rates and diagnotors copied from the
// adapter, and the connection list probed from the ports COM1..COM4 map to.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../serial_platform/HeldTerminal.h"
#include "EnumTestSupport.h"
#include "enumerators/SEnumConfig1.h"
#include "enumerators/SEnumDiagnotors1.h"
#include "enumerators/SEnumModes1.h"
#include "enumerators/SEnumRates1.h"
#include "platform/WinSerial.h"

namespace {

using enumtest::Drain;
using enumtest::Names;
using enumtest::TRef;

class Lists : public ::testing::Test {
 protected:
  IEnumSamplerItems* Modes(const protocol::TSampler* adapter) {
    return enumerators::CreateModeEnumerator(classes_.Factory("EnumModes"), adapter);
  }
  IEnumSamplerItems* Rates(const protocol::TSampler* adapter) {
    return enumerators::CreateRateEnumerator(classes_.Factory("EnumRates"), adapter);
  }
  IEnumDiagnotors* Diagnotors(const protocol::TSampler* adapter, bool hasPort = true) {
    return enumerators::CreateDiagnotorEnumerator(classes_.Factory("EnumDiagnotors"), adapter, hasPort);
  }
  static std::unique_ptr<protocol::TSampler> Adapter(const std::string& letters) {
    return protocol::TSampler::CreateAdapter(enumtest::Reply(letters));
  }

  enumtest::TCompanionClasses classes_;
};

TEST_F(Lists, ModesInTheAdaptersOrderWithTheirNumbers) {
  auto adapter = Adapter("J(10) M X S");
  TRef<IEnumSamplerItems> modes(Modes(adapter.get()));
  auto items = Drain(modes.Get(), 2);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(Names(items), (std::vector<std::string>{"Sampling &sole channel", "Sampling &dual channel",
                                                    "&Timing sole channel (16-bit)", "&Buffering 128 samples"}));
  const LONG numbers[] = {1, 2, 5, 32769};
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].Value, numbers[i]);
    EXPECT_EQ(items[i].Flags, 0x103);
    EXPECT_EQ(items[i].Id, 0);
    EXPECT_EQ(items[i].Group, 0);
  }

  TRef<IEnumSamplerItems> none(Modes(nullptr));
  EXPECT_TRUE(Drain(none.Get()).empty());
  TRef<IEnumSamplerItems> unknown(Modes(protocol::TSampler::CreateAdapter("some device answered\r\n").get()));
  EXPECT_TRUE(Drain(unknown.Get()).empty()) << "the base adapter offers no modes";
}

TEST_F(Lists, ModeAndDiagnotorClonesOutliveTheAdapter) {
  auto adapter = Adapter("S X U");
  TRef<IEnumSamplerItems> modes(Modes(adapter.get()));
  TRef<IEnumDiagnotors> tests(Diagnotors(adapter.get()));
  SAMPLERCAPABILITYINFO rec[2] = {};
  ULONG fetched = 0;
  ASSERT_EQ(modes->Next(2, rec, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  for (auto& r : rec) SysFreeString(r.Name);
  adapter.reset();  // the host closed the port

  TRef<IEnumSamplerItems> modesClone;
  ASSERT_EQ(modes->Clone(modesClone.Out()), S_OK);
  auto items = Drain(modesClone.Get());
  ASSERT_EQ(items.size(), 2u) << "cloned from the list, with its own cursor at 0";
  EXPECT_EQ(items[0].Value, 1);
  ASSERT_EQ(modes->Next(1, rec, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u) << "the original's cursor is its own";

  TRef<IEnumDiagnotors> testsClone;
  ASSERT_EQ(tests->Clone(testsClone.Out()), S_OK);
  LONG count = 0;
  ASSERT_EQ(testsClone->GetCount(&count), S_OK);
  EXPECT_EQ(count, 1);
}

TEST_F(Lists, RatesAreClassedByTheStandardTable) {
  for (LONG r : {5000000, 3000000, 1000000, 750000, 7500, 1000, 750}) EXPECT_TRUE(enumerators::IsStandardRate(r)) << r;
  for (LONG r : {999999, 4000000, 751, 0, -1, 500}) EXPECT_FALSE(enumerators::IsStandardRate(r)) << r;

  auto adapter = Adapter("S X M");
  adapter->BaudRate = 115200;  // written by the sampler when it opens the port; limits the rates
  adapter->SetMode(1);
  TRef<IEnumSamplerItems> rates(Rates(adapter.get()));
  std::vector<SAMPLERCAPABILITYINFO> buf(200);
  for (auto& r : buf) r.Group = 0x5555;  // whatever the host's buffer held
  ULONG fetched = 0;
  ASSERT_EQ(rates->Next(static_cast<ULONG>(buf.size()), buf.data(), &fetched), S_OK);
  ASSERT_GT(fetched, 1u);
  bool sawStandard = false, sawOther = false;
  for (ULONG i = 0; i < fetched; ++i) {
    const auto& r = buf[i];
    EXPECT_EQ(platform::StringFromBstr(r.Name), std::to_string(r.Value) + "/s");
    EXPECT_EQ(r.Flags, enumerators::IsStandardRate(r.Value) ? 0x103 : 0x203) << r.Value;
    EXPECT_EQ(r.Group, 0);
    EXPECT_EQ(r.Id, 0);
    (r.Flags == 0x103 ? sawStandard : sawOther) = true;
    SysFreeString(r.Name);
  }
  EXPECT_TRUE(sawStandard);
  EXPECT_TRUE(sawOther);
}

TEST_F(Lists, ASoleRateIsStandardWhateverItsValue) {
  auto adapter = Adapter("S M");
  adapter->SetMode(5);  // timing offers exactly one rate
  TRef<IEnumSamplerItems> rates(Rates(adapter.get()));
  auto items = Drain(rates.Get());
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].Value, 5000000);
  EXPECT_EQ(items[0].Flags, 0x103);
  EXPECT_NE(items[0].Name.find("ns/bit"), std::string::npos) << items[0].Name;

  // Made from the list, not from the adapter: later mode changes do not show.
  adapter->SetMode(1);
  TRef<IEnumSamplerItems> clone;
  ASSERT_EQ(rates->Clone(clone.Out()), S_OK);
  adapter.reset();
  EXPECT_EQ(Drain(clone.Get()).size(), 1u);
  TRef<IEnumSamplerItems> none(Rates(nullptr));
  EXPECT_TRUE(Drain(none.Get()).empty());
}

TEST_F(Lists, DiagnotorsListTheReceiverTestWhenTheHardwareHasU) {
  auto adapter = Adapter("S U");
  TRef<IEnumDiagnotors> tests(Diagnotors(adapter.get()));
  SAMPLERDIAGNOTORINFO rec[2] = {};
  ULONG fetched = 0;
  ASSERT_EQ(tests->Next(2, rec, &fetched), S_OK);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(platform::StringFromBstr(rec[0].Name), "Test RS232 reciever");
  EXPECT_EQ(platform::StringFromBstr(rec[0].Description),
            "PIC will send sequence of characters using various baudrates to determine maximal reliable baud rate");
  EXPECT_EQ(rec[0].Id, 200);
  EXPECT_EQ(rec[0].Flags, 1);
  SysFreeString(rec[0].Name);
  SysFreeString(rec[0].Description);

  ASSERT_EQ(tests->Next(2, rec, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u);
  ASSERT_EQ(tests->Reset(), S_OK);
  ASSERT_EQ(tests->Skip(1), S_OK);
  ASSERT_EQ(tests->Next(1, rec, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u);
  ASSERT_EQ(tests->Seek(0), S_OK);
  ASSERT_EQ(tests->Next(1, rec, &fetched), S_OK);
  EXPECT_EQ(fetched, 1u);
  enumerators::FreeRecord(rec[0]);

  auto withoutU = Adapter("S X");
  TRef<IEnumDiagnotors> none(Diagnotors(withoutU.get()));
  LONG count = -1;
  ASSERT_EQ(none->GetCount(&count), S_OK);
  EXPECT_EQ(count, 0);
  TRef<IEnumDiagnotors> noAdapter(Diagnotors(nullptr));
  ASSERT_EQ(noAdapter->GetCount(&count), S_OK);
  EXPECT_EQ(count, 0);
}

TEST_F(Lists, ClonedDiagnotorEnumeratorKeepsThePortFlag) {
  auto adapter = Adapter("S U");
  for (bool hasPort : {false, true}) {
    auto* made = new enumerators::TEnumDiagnotors(classes_.Factory("EnumDiagnotors"),
                                                  enumerators::ListDiagnotors(adapter.get()), hasPort);
    made->ObjAddRef();
    TRef<IEnumDiagnotors> original(made);
    TRef<IEnumDiagnotors> clone;
    ASSERT_EQ(original->Clone(clone.Out()), S_OK);
    EXPECT_EQ(static_cast<enumerators::TEnumDiagnotors*>(clone.Get())->HadPort(), hasPort);
  }
}

// Every kind of enumerator refuses missing outputs instead of writing through them.
TEST_F(Lists, NullOutputsAreRefusedByEveryEnumerator) {
  auto adapter = Adapter("S X U");
  TRef<IEnumSamplerItems> items[] = {
      TRef<IEnumSamplerItems>(Modes(adapter.get())), TRef<IEnumSamplerItems>(Rates(adapter.get())),
      TRef<IEnumSamplerItems>(enumerators::CreateConnectionEnumerator(classes_.Factory("EnumSamplerConfigurations")))};
  for (auto& e : items) {
    ULONG fetched = 7;
    SAMPLERCAPABILITYINFO rec{};
    EXPECT_EQ(e->Next(1, &rec, nullptr), E_POINTER);
    EXPECT_EQ(e->Next(1, nullptr, &fetched), E_POINTER);
    EXPECT_EQ(e->Next(0, nullptr, &fetched), S_OK);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(e->Clone(nullptr), E_POINTER);
    EXPECT_EQ(e->GetCount(nullptr), E_POINTER);
  }
  TRef<IEnumDiagnotors> tests(Diagnotors(adapter.get()));
  ULONG fetched = 0;
  SAMPLERDIAGNOTORINFO rec{};
  EXPECT_EQ(tests->Next(1, &rec, nullptr), E_POINTER);
  EXPECT_EQ(tests->Next(1, nullptr, &fetched), E_POINTER);
  EXPECT_EQ(tests->Clone(nullptr), E_POINTER);
  EXPECT_EQ(tests->GetCount(nullptr), E_POINTER);
}

TEST_F(Lists, EnumeratorsAnswerIDispatchFromTheirTypeInformation) {
  auto adapter = Adapter("S X U");
  TRef<IEnumSamplerItems> modes(Modes(adapter.get()));
  TRef<IEnumDiagnotors> tests(Diagnotors(adapter.get()));
  auto countThroughDispatch = [](IDispatch* d) {
    platform::OleString name = OLESTR("getcount");  // names resolve ignoring case
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
    return result.vt == VT_I4 ? result.lVal : -1;
  };
  EXPECT_EQ(countThroughDispatch(modes.Get()), 2);
  EXPECT_EQ(countThroughDispatch(tests.Get()), 1);
  TRef<IEnumDiagnotors> asTests;
  EXPECT_EQ(tests->QueryInterface(IID_IEnumDiagnotors, reinterpret_cast<void**>(asTests.Out())), S_OK);
  TRef<IEnumSamplerItems> wrong;
  EXPECT_EQ(tests->QueryInterface(IID_IEnumSamplerItems, reinterpret_cast<void**>(wrong.Out())), E_NOINTERFACE);
}

// ---- connections ----------------------------------------------------------------

// A pseudo-terminal whose slave stands in for a COM port.
class TPty {
 public:
  TPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slave_ = ptsname(master_);
  }
  ~TPty() {
    if (master_ >= 0) close(master_);
  }
  const std::string& Slave() const { return slave_; }
  int Master() const { return master_; }

 private:
  int master_ = -1;
  std::string slave_;
};

class Connections : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(free_.Slave().empty());
    ASSERT_FALSE(held_.Slave().empty());
    std::ofstream(plainFile_) << "not a terminal";
  }
  void TearDown() override {
    for (int n = 1; n <= 4; ++n) unsetenv(("QUELM_COM" + std::to_string(n)).c_str());
    std::filesystem::remove(plainFile_);
  }
  void Map(int n, const std::string& path) { setenv(("QUELM_COM" + std::to_string(n)).c_str(), path.c_str(), 1); }
  TRef<IEnumSamplerItems> Probe() {
    return TRef<IEnumSamplerItems>(
        enumerators::CreateConnectionEnumerator(classes_.Factory("EnumSamplerConfigurations")));
  }
  static std::vector<std::string> Unprobed() {
    return {"\\\\.\\COM5", "\\\\.\\COM6", "\\\\.\\COM7", "\\\\.\\COM8", "\\\\.\\COM9", "\\\\.\\COM10"};
  }

  enumtest::TCompanionClasses classes_;
  TPty free_, held_;
  std::string plainFile_ = (std::filesystem::temp_directory_path() / ("quelm-enum-" + std::to_string(getpid()))).string();
  std::string missing_ = "/nonexistent/quelm-port";
};

TEST_F(Connections, ListsPortsThatOpenThenTheUnprobedNames) {
  Map(1, free_.Slave());
  Map(2, held_.Slave());
  Map(3, missing_);
  Map(4, plainFile_);
  HANDLE holder = CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE) << "another user of COM2";

  auto list = Probe();
  auto items = Drain(list.Get());
  std::vector<std::string> expected = {"COM1"};
  for (auto& n : Unprobed()) expected.push_back(n);
  EXPECT_EQ(Names(items), expected);
  ASSERT_EQ(items.size(), 7u);
  EXPECT_EQ(items[0].Flags, 0x104);
  for (size_t i = 1; i < items.size(); ++i) EXPECT_EQ(items[i].Flags, 0x204);
  for (const auto& r : items) {
    EXPECT_EQ(r.Id, 0);
    EXPECT_EQ(r.Value, 0);
    EXPECT_EQ(r.Group, 0);
  }

  // The probe left COM1 closed, and the holder of COM2 undisturbed.
  HANDLE again = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(holder, "ok", 2, &written, nullptr));
  char buf[8] = {};
  EXPECT_EQ(read(held_.Master(), buf, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "ok");
  CloseHandle(holder);
}

// Listing is only looking: the probe changes no setting on a free port, and a
// port held in any of the three ways is left out, its flag and settings as its
// holder left them. Root passes the exclusive flag, so COM2 checks its reading.
TEST_F(Connections, TheProbeLeavesOutHeldPortsAndChangesNothing) {
  heldterminal::Pty ports[4];
  heldterminal::LockDir lockDir;
  ASSERT_TRUE(lockDir.Ok());
  for (int n = 0; n < 4; ++n) {
    ASSERT_TRUE(ports[n].Ok());
    ASSERT_TRUE(ports[n].GiveOwnerSettings());
    Map(n + 1, ports[n].Slave());
  }
  ASSERT_TRUE(ports[1].SetExclusive(true));
  heldterminal::OtherProcess flockHolder(ports[2].Slave());
  ASSERT_TRUE(flockHolder.Holding());
  heldterminal::OtherProcess lockOwner;
  ASSERT_TRUE(lockOwner.Holding());
  lockDir.WriteText(ports[3].LockName(), lockOwner.Pid());
  heldterminal::TerminalState before[4];
  for (int n = 0; n < 4; ++n) before[n] = ports[n].State();

  auto items = Drain(Probe().Get());
  std::vector<std::string> expected = {"COM1"};
  for (auto& n : Unprobed()) expected.push_back(n);
  EXPECT_EQ(Names(items), expected);
  for (int n = 0; n < 4; ++n) EXPECT_EQ(ports[n].State(), before[n]) << "COM" << n + 1;
  EXPECT_EQ(before[0].exclusive, 0);
  EXPECT_EQ(before[1].exclusive, 1);
}

TEST_F(Connections, ResetAndCloneKeepTheFirstProbe) {
  for (int n = 1; n <= 4; ++n) Map(n, missing_);
  auto list = Probe();
  EXPECT_EQ(Names(Drain(list.Get())), Unprobed()) << "no ports: the six unprobed names remain";

  Map(3, free_.Slave());  // a port appears
  ASSERT_EQ(list->Reset(), S_OK);
  EXPECT_EQ(Drain(list.Get()).size(), 6u) << "Reset does not probe again";
  TRef<IEnumSamplerItems> clone;
  ASSERT_EQ(list->Clone(clone.Out()), S_OK);
  EXPECT_EQ(Drain(clone.Get()).size(), 6u);

  auto fresh = Probe();
  auto items = Drain(fresh.Get());
  ASSERT_EQ(items.size(), 7u);
  EXPECT_EQ(items[0].Name, "COM3");
  EXPECT_EQ(items[0].Flags, 0x104);
}

}  // namespace
