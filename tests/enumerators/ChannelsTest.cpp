// The channel collection and its channels driven as the sampler drives them:
// counts per mode, surviving bindings, binding rules, enumeration, sizes, lifetimes.
#include <gtest/gtest.h>

#include "EnumTestSupport.h"
#include "enumerators/SChannels1.h"

namespace {

using enumerators::TChannels;
using enumtest::TakeErrorText;
using enumtest::TRef;

class Channels : public ::testing::Test {
 protected:
  Channels() {
    owner_ = std::make_unique<enumtest::TFakeOwner>();
    channels_ = enumerators::CreateSamplerChannels(classes_.Factory("SamplerChannels"),
                                                   classes_.Factory("SamplerChannel"), *owner_);
  }
  ~Channels() override {
    if (channels_) channels_->ObjRelease();
  }
  // What the sampler does after a successful SetMode.
  void SelectMode(LONG mode) {
    owner_->adapter->SetMode(mode);
    channels_->Refresh();
  }
  ISamplerChannels* Intf() { return channels_; }
  ISamplerChannel* ItemAt(LONG index) {  // borrowed: the collection keeps its reference
    return channels_->Channel(index);
  }

  enumtest::TCompanionClasses classes_;
  std::unique_ptr<enumtest::TFakeOwner> owner_;
  TChannels* channels_ = nullptr;
};

TEST_F(Channels, CountFollowsTheModeAndSurvivingChannelsKeepTheirBindings) {
  LONG count = -1;
  ASSERT_EQ(Intf()->GetCount(&count), S_OK);
  EXPECT_EQ(count, 0);

  owner_->Open(enumtest::Reply("S X M"));
  channels_->Refresh();  // a mode-less adapter still has no channels
  EXPECT_EQ(channels_->ChannelCount(), 0);
  SelectMode(1);
  EXPECT_EQ(channels_->ChannelCount(), 1);
  SelectMode(2);
  ASSERT_EQ(channels_->ChannelCount(), 2);
  ISamplerChannel* first = ItemAt(0);
  ASSERT_EQ(first->Bind(7, -1), S_OK);
  ASSERT_EQ(ItemAt(1)->Bind(8, 0), S_OK);

  TRef<ISamplerChannel> dropped;
  ASSERT_EQ(Intf()->Item(1, dropped.Out()), S_OK);
  SelectMode(1);
  ASSERT_EQ(channels_->ChannelCount(), 1);
  EXPECT_EQ(ItemAt(0), first) << "channel 0 survives the change";
  EXPECT_EQ(channels_->Channel(0)->BoundHandle(), 7);
  EXPECT_TRUE(channels_->Channel(0)->ClosesHandle());

  SelectMode(2);
  ASSERT_EQ(channels_->ChannelCount(), 2);
  EXPECT_NE(ItemAt(1), dropped.Get()) << "a fresh channel replaces the dropped one";
  EXPECT_EQ(channels_->Channel(1)->BoundHandle(), 0);

  SelectMode(5);  // timing: one channel
  EXPECT_EQ(channels_->ChannelCount(), 1);
}

TEST_F(Channels, ChannelsPerModeAndFormats) {
  const struct {
    LONG mode, channels, format;
  } table[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 1}, {3, 4, 0}, {4, 1, 4}, {5, 1, 5},
               {6, 1, 0}, {7, 0, 0}, {32769, 1, 1}, {-1, 0, 0}, {32768, 0, 0}};
  for (const auto& row : table) {
    EXPECT_EQ(enumerators::ChannelsOfMode(row.mode), row.channels) << row.mode;
    EXPECT_EQ(enumerators::FormatOfMode(row.mode), row.format) << row.mode;
  }
}

TEST_F(Channels, DroppedChannelHeldByAHostStaysUsableAndSafe) {
  owner_->Open(enumtest::Reply("S X"));
  SelectMode(2);
  TRef<ISamplerChannel> held;
  ASSERT_EQ(Intf()->Item(1, held.Out()), S_OK);
  ASSERT_EQ(held->Bind(9, 0), S_OK);
  SelectMode(1);

  // Detached, but still working: it answers through its collection and sampler.
  TRef<IDispatch> back;
  EXPECT_EQ(held->GetChannels(back.Out()), S_OK);
  EXPECT_TRUE(back);
  LONG format = -5, rate = -5, size = -5;
  EXPECT_EQ(held->GetFormat(&format), S_OK);
  EXPECT_EQ(held->GetRate(&rate), S_OK);
  EXPECT_EQ(held->GetExpectedSize(&size), S_OK);
  EXPECT_EQ(format, 1);
  EXPECT_EQ(rate, owner_->CurrentRate());
  owner_->sampling = true;  // it no longer takes part in runs: unbinding is its own business
  EXPECT_EQ(held->Unbind(), S_OK);
  EXPECT_EQ(held->Bind(10, 0), S_OK);
  owner_->sampling = false;
  EXPECT_EQ(Intf()->GetCount(&size), S_OK);
  EXPECT_EQ(size, 1);  // and the collection does not count it

  // Once the collection is gone, the held channel has nowhere to reach: no crash.
  back.Reset();
  channels_->ObjRelease();
  channels_ = nullptr;
  TRef<IDispatch> none;
  EXPECT_NE(held->GetChannels(none.Out()), S_OK);
  EXPECT_FALSE(none);
  EXPECT_EQ(TakeErrorText(), "This channel no longer belongs to a channel collection");
  EXPECT_EQ(held->GetRate(&rate), S_OK);
  EXPECT_EQ(rate, -1);
}

TEST_F(Channels, BindRefusesTheInvalidHandleAndUnbindsDuringNoRun) {
  owner_->Open(enumtest::Reply("S"));
  SelectMode(1);
  ISamplerChannel* ch = ItemAt(0);
  ASSERT_EQ(ch->Bind(5, 1), S_OK);
  EXPECT_EQ(channels_->Channel(0)->BoundHandle(), 5);
  EXPECT_TRUE(channels_->Channel(0)->ClosesHandle()) << "any non-zero flag is true";

  EXPECT_EQ(ch->Bind(-1, 0), E_UNEXPECTED);
  EXPECT_EQ(TakeErrorText(), "E16 - Can not bound channel to invalid handle");
  EXPECT_EQ(channels_->Channel(0)->BoundHandle(), 0) << "the old binding went before the refusal";

  EXPECT_EQ(ch->Bind(0, -1), S_OK);
  EXPECT_EQ(channels_->Channel(0)->BoundHandle(), 0);
  ASSERT_EQ(ch->Bind(6, 0), S_OK);
  EXPECT_FALSE(channels_->Channel(0)->ClosesHandle());
  ASSERT_EQ(ch->Unbind(), S_OK);
  EXPECT_EQ(channels_->Channel(0)->BoundHandle(), 0);
  EXPECT_FALSE(channels_->Channel(0)->ClosesHandle()) << "Unbind leaves the flag as it was";
}

TEST_F(Channels, DuringARunBoundChannelsKeepTheirBindings) {
  owner_->Open(enumtest::Reply("S X"));
  SelectMode(2);
  ASSERT_EQ(ItemAt(0)->Bind(5, -1), S_OK);
  owner_->sampling = true;

  EXPECT_EQ(ItemAt(0)->Unbind(), E_UNEXPECTED);
  EXPECT_EQ(TakeErrorText(), "E12 - Can not unbound channel - sampling in progress");
  EXPECT_EQ(ItemAt(0)->Bind(6, 0), E_UNEXPECTED);
  EXPECT_EQ(TakeErrorText(), "E12 - Can not unbound channel - sampling in progress");
  EXPECT_EQ(channels_->Channel(0)->BoundHandle(), 5);
  EXPECT_TRUE(channels_->Channel(0)->ClosesHandle());
  EXPECT_EQ(ItemAt(1)->Bind(6, 0), S_OK) << "an unbound channel may be bound for the next run";

  EXPECT_THROW(channels_->ClearChannels(), protocol::ESamplerError);
  EXPECT_EQ(channels_->ChannelCount(), 2) << "clearing stops at the highest channel";

  owner_->sampling = false;
  TRef<ISamplerChannel> held;
  ASSERT_EQ(Intf()->Item(0, held.Out()), S_OK);
  channels_->ClearChannels();
  EXPECT_EQ(channels_->ChannelCount(), 0);
  LONG format = -1;
  EXPECT_EQ(held->GetFormat(&format), S_OK) << "a cleared channel a host holds still answers";
}

TEST_F(Channels, ItemChecksItsBounds) {
  TRef<ISamplerChannel> ch;
  EXPECT_EQ(Intf()->Item(0, ch.Out()), E_UNEXPECTED);
  EXPECT_EQ(TakeErrorText(), "E11 - Index (0) out of bounds [0..-1]");
  EXPECT_FALSE(ch);

  owner_->Open(enumtest::Reply("S X"));
  SelectMode(2);
  EXPECT_EQ(Intf()->Item(-1, ch.Out()), E_UNEXPECTED);
  EXPECT_EQ(TakeErrorText(), "E11 - Index (-1) out of bounds [0..1]");
  EXPECT_EQ(Intf()->Item(2, ch.Out()), E_UNEXPECTED);
  EXPECT_EQ(TakeErrorText(), "E11 - Index (2) out of bounds [0..1]");
  ASSERT_EQ(Intf()->Item(1, ch.Out()), S_OK);
  EXPECT_EQ(ch.Get(), ItemAt(1));
  EXPECT_EQ(Intf()->Item(0, nullptr), E_POINTER);
}

TEST_F(Channels, NextSkipAndResetWalkTheChannels) {
  owner_->Open(enumtest::Reply("S X"));
  SelectMode(2);
  ISamplerChannel* out[3] = {ItemAt(0), ItemAt(0), ItemAt(0)};  // stale values to be overwritten
  ULONG fetched = 99;
  ASSERT_EQ(Intf()->Next(3, out, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(out[0], ItemAt(0));
  EXPECT_EQ(out[1], ItemAt(1));
  out[0]->Release();
  out[1]->Release();

  out[0] = ItemAt(0);
  ASSERT_EQ(Intf()->Next(1, out, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(out[0], nullptr) << "the first entry is cleared";

  ASSERT_EQ(Intf()->Reset(), S_OK);
  ASSERT_EQ(Intf()->Skip(1), S_OK);
  ASSERT_EQ(Intf()->Next(2, out, &fetched), S_OK);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(out[0], ItemAt(1));
  out[0]->Release();

  ASSERT_EQ(Intf()->Reset(), S_OK);
  ASSERT_EQ(Intf()->Skip(-1), S_OK);  // before the start lies past the end (unsigned)
  ASSERT_EQ(Intf()->Next(2, out, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u);

  EXPECT_EQ(Intf()->Next(1, out, nullptr), E_POINTER);
  EXPECT_EQ(Intf()->Next(1, nullptr, &fetched), E_POINTER);
  EXPECT_EQ(Intf()->Next(0, nullptr, &fetched), S_OK);
  EXPECT_EQ(Intf()->GetCount(nullptr), E_POINTER);
}

TEST_F(Channels, ExpectedSizeFollowsTheStopSettings) {
  owner_->Open(enumtest::Reply("S"));
  SelectMode(1);
  auto size = [&] {
    LONG s = -7;
    EXPECT_EQ(ItemAt(0)->GetExpectedSize(&s), S_OK);
    return s;
  };
  protocol::TSamplerSettings& st = owner_->adapter->Settings;
  st.StopMode = 2;
  // The count is taken as unsigned 32-bit, the sum wrapping as it did on the device's host.
  const std::pair<LONG, LONG> byCount[] = {{1, 1}, {8, 1}, {9, 2}, {0, 0}, {-9, 0x1FFFFFFF}, {-1, 0}};
  for (auto [count, bytes] : byCount) {
    st.SampleCount = count;
    EXPECT_EQ(size(), bytes) << count;
  }
  st.StopMode = 3;
  st.SampleTime = 1000;
  owner_->adapter->Rate = 10000;
  EXPECT_EQ(size(), 1250);
  st.SampleTime = 0x7FFFFFFF;  // 64-bit product, then taken as 32-bit
  owner_->adapter->Rate = 5000000;
  EXPECT_EQ(size(), static_cast<LONG>(static_cast<uint32_t>((0x7FFFFFFFLL * 5000000 / 1000 + 7) / 8)));
  st.StopMode = 1;
  EXPECT_EQ(size(), 0);
  st.StopMode = 0;
  EXPECT_EQ(size(), 0);
}

TEST_F(Channels, RateAndFormatComeFromTheSampler) {
  owner_->Open(enumtest::Reply("S X"));
  SelectMode(2);
  ISamplerChannel* ch = ItemAt(0);
  owner_->adapter->Rate = 250000;
  LONG rate = 0, format = 0;
  ASSERT_EQ(ch->GetRate(&rate), S_OK);
  ASSERT_EQ(ch->GetFormat(&format), S_OK);
  EXPECT_EQ(rate, 250000);
  EXPECT_EQ(format, 1);

  owner_->adapter.reset();  // the sampler closed its port
  ASSERT_EQ(ch->GetRate(&rate), S_OK);
  ASSERT_EQ(ch->GetFormat(&format), S_OK);
  EXPECT_EQ(rate, -1);
  EXPECT_EQ(format, 0);
  EXPECT_EQ(ch->GetRate(nullptr), E_POINTER);
  EXPECT_EQ(ch->GetFormat(nullptr), E_POINTER);
  EXPECT_EQ(ch->GetExpectedSize(nullptr), E_POINTER);
}

TEST_F(Channels, BackReferencesHandOutCountedDispatchInterfaces) {
  owner_->Open(enumtest::Reply("S"));
  SelectMode(1);
  TRef<IDispatch> sampler;
  ASSERT_EQ(Intf()->GetSampler(sampler.Out()), S_OK);
  EXPECT_EQ(sampler.Get(), &owner_->dispatch);
  EXPECT_EQ(owner_->dispatch.refs, 2u);
  sampler.Reset();
  EXPECT_EQ(owner_->dispatch.refs, 1u);

  TRef<IDispatch> collection;
  ASSERT_EQ(ItemAt(0)->GetChannels(collection.Out()), S_OK);
  TRef<ISamplerChannels> asChannels;
  ASSERT_EQ(collection->QueryInterface(IID_ISamplerChannels, reinterpret_cast<void**>(asChannels.Out())), S_OK);
  EXPECT_EQ(asChannels.Get(), Intf());
  EXPECT_EQ(Intf()->GetSampler(nullptr), E_POINTER);
  EXPECT_EQ(ItemAt(0)->GetChannels(nullptr), E_POINTER);
}

TEST_F(Channels, CollectionAndChannelsOutliveTheirSampler) {
  owner_->Open(enumtest::Reply("S X"));
  SelectMode(2);
  TRef<ISamplerChannels> collection(channels_->OwnInterface());
  TRef<ISamplerChannel> channel;
  ASSERT_EQ(Intf()->Item(1, channel.Out()), S_OK);
  ASSERT_EQ(channel->Bind(4, -1), S_OK);

  // The sampler goes first, dropping its reference; the host keeps both objects.
  channels_->ObjRelease();
  channels_ = nullptr;
  owner_.reset();

  TRef<IDispatch> sampler;
  EXPECT_NE(collection->GetSampler(sampler.Out()), S_OK);
  EXPECT_EQ(TakeErrorText(), "The sampler of this channel collection no longer exists");
  LONG count = 0, format = -1;
  ASSERT_EQ(collection->GetCount(&count), S_OK);
  EXPECT_EQ(count, 2);
  ASSERT_EQ(channel->GetFormat(&format), S_OK);
  EXPECT_EQ(format, 0);
  EXPECT_EQ(channel->Unbind(), S_OK);

  collection.Reset();  // the collection goes while the host still holds a channel
  TRef<IDispatch> back;
  EXPECT_NE(channel->GetChannels(back.Out()), S_OK);
  EXPECT_EQ(channel->Bind(3, 0), S_OK);
}

TEST_F(Channels, EveryObjectCountsInTheServerUntilReleased) {
  owner_->Open(enumtest::Reply("S X"));
  SelectMode(2);
  EXPECT_EQ(classes_.Server().ObjectCount(), 3);
  TRef<ISamplerChannel> held;
  ASSERT_EQ(Intf()->Item(1, held.Out()), S_OK);
  SelectMode(1);
  EXPECT_EQ(classes_.Server().ObjectCount(), 3) << "the host's channel is still alive";
  held.Reset();
  EXPECT_EQ(classes_.Server().ObjectCount(), 2);
  channels_->ObjRelease();
  channels_ = nullptr;
  EXPECT_EQ(classes_.Server().ObjectCount(), 0);
}

TEST_F(Channels, AnswersIDispatchFromItsTypeInformation) {
  owner_->Open(enumtest::Reply("S X"));
  SelectMode(2);
  platform::OleString name = OLESTR("GetCount");
  LPOLESTR names[] = {name.data()};
  DISPID id = 0;
  ASSERT_EQ(Intf()->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(Intf()->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 2);

  TRef<ISupportErrorInfo> support;
  ASSERT_EQ(ItemAt(0)->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.Out())), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_ISamplerChannel), S_OK);
}

}  // namespace
