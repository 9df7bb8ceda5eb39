// The capability table, the id check and the sampler's capability enumerator:
// rebuilt from the adapter on Reset, pins first, shared cursor, clones, lifetimes.
#include <gtest/gtest.h>

#include "EnumTestSupport.h"
#include "enumerators/SEnumCapbl1.h"
#include "protocol/SCommon.h"

namespace {

using enumtest::Drain;
using enumtest::TRef;

std::string CheckError(LONG id) {
  try {
    enumerators::CheckCapabilityId(id);
  } catch (const protocol::ESamplerError& e) {
    return e.Message();
  }
  return "<accepted>";
}

TEST(CapabilityId, AcceptsPinsAndTableIdsOnly) {
  for (LONG id : {80, 83, 87, 100, 101, 110, 111, 112, 113, 114, 115, 200, 201})
    EXPECT_EQ(CheckError(id), "<accepted>") << id;
  for (LONG id : {0, 79, 88, 99, 102, 109, 116, 199, 202, -80})
    EXPECT_EQ(CheckError(id), "E06 - Capability " + std::to_string(id) + " is not supported");
}

class Capabilities : public ::testing::Test {
 protected:
  Capabilities() {
    caps_ = enumerators::CreateSamplerCapabilities(classes_.Factory("EnumSamplerCapabilities"), owner_);
  }
  ~Capabilities() override {
    if (caps_) caps_->ObjRelease();
  }
  IEnumSamplerItems* Intf() { return caps_; }
  LONG Count() {
    LONG n = -1;
    EXPECT_EQ(Intf()->GetCount(&n), S_OK);
    return n;
  }

  enumtest::TCompanionClasses classes_;
  enumtest::TFakeOwner owner_;
  enumerators::TCapabilities* caps_ = nullptr;
};

TEST_F(Capabilities, EmptyWithoutHardwareAndUntilTheFirstReset) {
  EXPECT_EQ(Count(), 0);
  EXPECT_TRUE(Drain(Intf()).empty());
  EXPECT_EQ(Intf()->Reset(), S_OK);
  EXPECT_EQ(Count(), 0);

  owner_.Open(enumtest::Reply("S X"));
  EXPECT_EQ(Count(), 0) << "detection alone does not fill the list";
  caps_->Refresh();
  EXPECT_EQ(Count(), 10);
}

TEST_F(Capabilities, ListIsTheTableWithLabelsKindsAndGroups) {
  owner_.Open(enumtest::Reply("S X M"));
  ASSERT_EQ(Intf()->Reset(), S_OK);
  auto items = Drain(Intf());
  ASSERT_EQ(items.size(), 10u);
  const struct {
    LONG id;
    const char* label;
    LONG flags, group, value;
  } expected[] = {
      {100, "Start sampling immediatelly", 0x102, 100, 1},
      {101, "Start sampling with activity on input", 0x102, 100, 0},
      {110, "Stop sampling after idle period expired", 0x102, 110, 0},
      {111, "Idle period (ms):", 0x103, 110, 0},
      {112, "Stop after number of samples recieved", 0x102, 110, 0},
      {113, "Samples to recieve:", 0x103, 110, 0},
      {114, "Stop after sampling timer expired", 0x102, 110, 0},
      {115, "Sampling timer (ms):", 0x103, 110, 0},
      {200, "Excecute custom command", 0x201, 200, 0},
      {201, "Command:", 0x204, 200, 0},
  };
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].Id, expected[i].id) << i;
    EXPECT_EQ(items[i].Name, expected[i].label) << i;
    EXPECT_EQ(items[i].Flags, expected[i].flags) << i;
    EXPECT_EQ(items[i].Group, expected[i].group) << i;
    EXPECT_EQ(items[i].Value, expected[i].value) << i;
  }
  auto table = enumerators::CapabilityTable();
  ASSERT_EQ(table.size(), 10u);
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].Name, nullptr);
    EXPECT_EQ(table[i].Value, 0);
  }
}

TEST_F(Capabilities, PinsComeFirstAndValuesFollowTheAdapterAsOfTheLastReset) {
  owner_.Open(enumtest::Reply("S X o5(B0)"));
  owner_.adapter->SetMode(1);
  owner_.adapter->SetCapabilityBool(SCAP_ACTUATE_PIN, true);
  owner_.adapter->SetCapabilityBool(SCAP_STOP_ON_COUNT, true);
  owner_.adapter->SetCapabilityText(SCAP_COMMAND, "X");  // also switches the custom command on
  ASSERT_EQ(Intf()->Reset(), S_OK);
  auto items = Drain(Intf());
  ASSERT_EQ(items.size(), 12u);
  EXPECT_EQ(items[0].Id, 80);
  EXPECT_EQ(items[0].Name, "Actuate pin B0 on start");
  EXPECT_EQ(items[1].Id, 82);
  EXPECT_EQ(items[1].Name, "Actuate pin B2 on start");
  for (int i : {0, 1}) {
    EXPECT_EQ(items[i].Flags, 0x201);
    EXPECT_EQ(items[i].Group, 80);
    EXPECT_EQ(items[i].Value, 0) << "pin entries keep the template's value";
  }
  auto valueOf = [&](LONG id) {
    for (const auto& r : items)
      if (r.Id == id) return r.Value;
    return -1;
  };
  EXPECT_EQ(valueOf(112), 1);
  EXPECT_EQ(valueOf(110), 0);
  EXPECT_EQ(valueOf(114), 0);
  EXPECT_EQ(valueOf(200), 1);
  EXPECT_EQ(valueOf(201), 0) << "the text item has no on/off value";

  owner_.adapter->SetCapabilityBool(SCAP_STOP_ON_TIMER, true);
  ASSERT_EQ(Intf()->Seek(0), S_OK);  // walks again without rebuilding
  EXPECT_EQ(Drain(Intf())[6].Value, 1) << "112 still on until the next Reset";
  caps_->Refresh();
  auto now = Drain(Intf());
  EXPECT_EQ(now[6].Id, 112);
  EXPECT_EQ(now[6].Value, 0);
  EXPECT_EQ(now[8].Id, 114);
  EXPECT_EQ(now[8].Value, 1);
}

TEST_F(Capabilities, CursorMovesWithoutBoundsAndIsSharedByEveryHolder) {
  owner_.Open(enumtest::Reply("S"));
  ASSERT_EQ(Intf()->Reset(), S_OK);
  TRef<IEnumSamplerItems> other(caps_->OwnInterface());  // a second host's reference
  SAMPLERCAPABILITYINFO rec[2] = {};
  ULONG fetched = 9;
  ASSERT_EQ(Intf()->Next(0, rec, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u);
  ASSERT_EQ(other->Next(1, rec, &fetched), S_OK);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(rec[0].Id, 100) << "Next with count 0 did not move the cursor";
  SysFreeString(rec[0].Name);
  ASSERT_EQ(Intf()->Next(1, rec, &fetched), S_OK);
  EXPECT_EQ(rec[0].Id, 101) << "both holders share one cursor";
  SysFreeString(rec[0].Name);

  ASSERT_EQ(Intf()->Skip(100), S_OK);
  ASSERT_EQ(Intf()->Next(2, rec, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u);
  ASSERT_EQ(Intf()->Seek(-1), S_OK);
  ASSERT_EQ(Intf()->Next(2, rec, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u);
  ASSERT_EQ(Intf()->Seek(9), S_OK);
  ASSERT_EQ(Intf()->Next(2, rec, &fetched), S_OK);
  ASSERT_EQ(fetched, 1u) << "a count beyond what remains returns the rest";
  EXPECT_EQ(rec[0].Id, 201);
  SysFreeString(rec[0].Name);
  ASSERT_EQ(Intf()->Seek(0x7FFFFFFF), S_OK);
  ASSERT_EQ(Intf()->Skip(1), S_OK);  // wraps without overflow
  ASSERT_EQ(Intf()->Next(1, rec, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u);
}

TEST_F(Capabilities, EachRecordCarriesItsOwnNewString) {
  owner_.Open(enumtest::Reply("S"));
  ASSERT_EQ(Intf()->Reset(), S_OK);
  SAMPLERCAPABILITYINFO a{}, b{};
  ULONG fetched = 0;
  ASSERT_EQ(Intf()->Next(1, &a, &fetched), S_OK);
  ASSERT_EQ(Intf()->Seek(0), S_OK);
  ASSERT_EQ(Intf()->Next(1, &b, &fetched), S_OK);
  ASSERT_NE(a.Name, nullptr);
  EXPECT_NE(a.Name, b.Name);
  SysFreeString(a.Name);  // the host frees one; the other stays intact
  EXPECT_EQ(platform::StringFromBstr(b.Name), "Start sampling immediatelly");
  SysFreeString(b.Name);
}

TEST_F(Capabilities, NullOutputsAreRefused) {
  ULONG fetched = 0;
  SAMPLERCAPABILITYINFO rec{};
  EXPECT_EQ(Intf()->Next(1, &rec, nullptr), E_POINTER);
  EXPECT_EQ(Intf()->Next(1, nullptr, &fetched), E_POINTER);
  EXPECT_EQ(Intf()->Clone(nullptr), E_POINTER);
  EXPECT_EQ(Intf()->GetCount(nullptr), E_POINTER);
}

TEST_F(Capabilities, CloneStartsWithTheSameItemsAndRebuildsFromTheSameSampler) {
  owner_.Open(enumtest::Reply("S"));
  ASSERT_EQ(Intf()->Reset(), S_OK);
  SAMPLERCAPABILITYINFO rec[2] = {};
  ULONG fetched = 0;
  ASSERT_EQ(Intf()->Next(2, rec, &fetched), S_OK);
  for (auto& r : rec) SysFreeString(r.Name);

  TRef<IEnumSamplerItems> clone;
  ASSERT_EQ(Intf()->Clone(clone.Out()), S_OK);
  auto cloned = Drain(clone.Get());
  ASSERT_EQ(cloned.size(), 10u);
  EXPECT_EQ(cloned[0].Id, 100) << "the clone's cursor starts at 0";

  owner_.adapter->SetCapabilityBool(SCAP_START_ON_ACTIVITY, true);
  ASSERT_EQ(clone->Reset(), S_OK);
  auto rebuilt = Drain(clone.Get());
  EXPECT_EQ(rebuilt[0].Value, 0);
  EXPECT_EQ(rebuilt[1].Value, 1);
  EXPECT_EQ(classes_.Server().ObjectCount(), 2);
}

TEST_F(Capabilities, EnumeratorsAHostKeepsSurviveTheSampler) {
  auto owner = std::make_unique<enumtest::TFakeOwner>();
  owner->Open(enumtest::Reply("S"));
  TRef<IEnumSamplerItems> mine(
      enumerators::CreateSamplerCapabilities(classes_.Factory("EnumSamplerCapabilities"), *owner));
  ASSERT_EQ(mine->Reset(), S_OK);
  TRef<IEnumSamplerItems> clone;
  ASSERT_EQ(mine->Clone(clone.Out()), S_OK);
  owner.reset();  // the sampler and its adapter are gone

  LONG count = 0;
  ASSERT_EQ(clone->GetCount(&count), S_OK);
  EXPECT_EQ(count, 10) << "the clone keeps what it was given";
  EXPECT_EQ(mine->Reset(), S_OK);
  EXPECT_EQ(clone->Reset(), S_OK);
  ASSERT_EQ(clone->GetCount(&count), S_OK);
  EXPECT_EQ(count, 0) << "without a sampler a rebuild yields nothing";
  TRef<IEnumSamplerItems> late;
  ASSERT_EQ(clone->Clone(late.Out()), S_OK);
}

TEST_F(Capabilities, ReleasedByTheSamplerItAnswersAsWithoutHardware) {
  owner_.Open(enumtest::Reply("S"));
  caps_->ReleaseOwner();
  ASSERT_EQ(Intf()->Reset(), S_OK);
  EXPECT_EQ(Count(), 0);
}

}  // namespace
