// The sampler object's state codes and the status text of each.
#include <gtest/gtest.h>

#include <stdexcept>

#include "ComTestSupport.h"
#include "messages/SMessages.h"
#include "sampler/QUELM1Server.h"
#include "sampler/SSampler1.h"

namespace {

class SamplerStatus : public ::testing::Test {
 protected:
  SamplerStatus() {
    // The server finds QUELM.tlb beside this test program, as the library finds it beside itself.
    platform::TAutoObjectFactory* factory = sampler::TQuelmServer::Instance().Factory("KorvoSampler");
    if (!factory) throw std::runtime_error(sampler::TQuelmServer::Instance().InitError());
    IKorvoSampler* intf = nullptr;
    EXPECT_EQ(factory->CreateObject(false, IID_IKorvoSampler, reinterpret_cast<void**>(&intf)), S_OK);
    sampler_ = static_cast<sampler::TKorvoSampler*>(intf);
  }
  ~SamplerStatus() override { sampler_->Release(); }

  std::string StatusIn(WORD state, LONG& code) {
    sampler_->SetState(state);
    platform::BStr text;
    EXPECT_EQ(sampler_->GetStatus(text.Out(), &code), S_OK);
    return text.Str();
  }

  sampler::TKorvoSampler* sampler_ = nullptr;
};

// The run states (769, 1024, 3840, 3841) are described from the run itself; the run tests cover them.
TEST_F(SamplerStatus, EveryTableStateHasItsText) {
  const std::pair<WORD, const char*> table[] = {
      {0, "Inactive"},
      {1, "Error accessing hardware"},
      {2, "No hardware detected"},
      {3, "Unknown hardware detected"},
      {256, "Open (max baud rate is 0)"},  // no adapter records a rate yet
      {257, "Performing hardware diagnostic"},
      {258, "Performing COM port diagnostic"},
      {259, "Operating mode is not specified"},
      {260, "Sampling rate is not specified"},
      {261, "Stop mode is not specified"},
      {262, "Idle time is not specified"},
      {263, "Sample count is not specified"},
      {264, "Sample time is not specified"},
      {512, "Ready to start sampling"},
      {513, "Sending command to hardware"},
      {768, "Starting"},
      {1025, "Sampling completed"},
      {1280, "Stopping"},
  };
  for (const auto& [state, text] : table) {
    LONG code = -1;
    EXPECT_EQ(StatusIn(state, code), text) << state;
    EXPECT_EQ(code, state);
  }
}

TEST_F(SamplerStatus, FailureStatesCarryTheLastErrorAndUnknownCodesGiveBangs) {
  sampler_->SetLastErrorText(messages::LoadStr(messages::Msg::NoResponse));
  LONG code = 0;
  EXPECT_EQ(StatusIn(3842, code), "Last command failed. E23 - Hardware did not respond");
  EXPECT_EQ(code, 3842);
  for (WORD odd : {4, 255, 514, 1026, 3843, 65535}) {
    EXPECT_EQ(StatusIn(odd, code), "!!!") << odd;
    EXPECT_EQ(code, odd);
  }
}

TEST_F(SamplerStatus, DescriptionAndVersionWorkInAnyState) {
  sampler_->SetState(SST_RUN_FAILED);
  platform::BStr d;
  ASSERT_EQ(sampler_->GetDescription(d.Out()), S_OK);
  EXPECT_EQ(d.Str(), "Korvo Sampler on COM port");
  LONG v = 0;
  EXPECT_EQ(sampler_->GetVersion(&v), S_OK);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(sampler_->GetVersion(nullptr), E_POINTER);
  EXPECT_EQ(sampler_->GetDescription(nullptr), E_POINTER);
}

}  // namespace
