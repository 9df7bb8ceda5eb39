// Reply grammar: line splitting, codes, payloads, frequencies, banner lines
// and the checked integer conversion.
#include <gtest/gtest.h>

#include "protocol/SCommon.h"

namespace protocol {
namespace {

TEST(ProtocolReplyGrammar, CodesFromOneAndTwoCharacterLinesIgnoreTheFullStop) {
  EXPECT_EQ(ParseResponse("N").Code, 0x004E);
  EXPECT_EQ(ParseResponse("N5 motor stalled").Code, 0x4E35);
  EXPECT_EQ(ParseResponse("").Code, 0);
  EXPECT_EQ(ParseResponse(".").Code, 0);
  EXPECT_EQ(ParseResponse(".N").Code, 0x004E);

  const TResponse r = ParseResponse(".Y4: abc ");
  EXPECT_EQ(r.Code, 0x5934);
  EXPECT_EQ(r.Text, "abc");
  EXPECT_EQ(r.Line, ".Y4: abc ");
  EXPECT_EQ(r.Value, 0);
}

TEST(ProtocolReplyGrammar, CodesAreCaseSensitive) {
  const TResponse r = ParseResponse("y1:4321");
  EXPECT_EQ(r.Code, 0x7931);
  EXPECT_EQ(r.Value, 0);  // not a byte-order line, so no payload
  EXPECT_EQ(ParseResponse("Y2:S1").Text, "S1");
  EXPECT_EQ(ParseResponse("y2:S1").Text, "");
}

TEST(ProtocolReplyGrammar, ByteOrderPayloadDefaultsTo1234) {
  EXPECT_EQ(ParseResponse("Y1:4321").Value, 4321);
  EXPECT_EQ(ParseResponse("Y1: 2143 \t").Value, 2143);
  EXPECT_EQ(ParseResponse("Y1").Value, 1234);
  EXPECT_EQ(ParseResponse("Y1:abc").Value, 1234);
  EXPECT_EQ(ParseResponse("Y1:").Value, 1234);
  EXPECT_EQ(ParseResponse("Y1:99999999999").Value, 1234);
  EXPECT_EQ(ParseResponse("Y1:4321").Text, "");
}

TEST(ProtocolReplyGrammar, FrequencyPayloadsWithAndWithoutUnits) {
  EXPECT_EQ(ParseResponse("Y3:20MHZ").Value, 20000000);
  EXPECT_EQ(ParseResponse("Y3: 20 MHZ").Text, "20 MHZ");
  EXPECT_EQ(ParseFrequency("20mhz"), 20000000);
  EXPECT_EQ(ParseFrequency("20 M"), 20000000);
  EXPECT_EQ(ParseFrequency("4000 kHz"), 4000000);
  EXPECT_EQ(ParseFrequency("12K"), 12000);
  EXPECT_EQ(ParseFrequency("20"), 20);
  EXPECT_EQ(ParseFrequency("20 Hz"), 20);
  EXPECT_EQ(ParseFrequency(""), 10000000);
  EXPECT_EQ(ParseFrequency("MHz"), 10000000);
  EXPECT_EQ(ParseFrequency("3.6864MHz"), 3);  // no fractions: the full stop starts the unit
  EXPECT_EQ(ParseResponse("Y3").Value, 10000000);
}

TEST(ProtocolReplyGrammar, FrequencyBeyond32BitsGivesTheDefault) {
  EXPECT_EQ(ParseFrequency("2147483647"), 2147483647);
  EXPECT_EQ(ParseFrequency("2147 MHz"), 2147000000);
  EXPECT_EQ(ParseFrequency("2147483 K"), 2147483000);
  EXPECT_EQ(ParseFrequency("2148 MHz"), 10000000);
  EXPECT_EQ(ParseFrequency("5000 MHz"), 10000000);
  EXPECT_EQ(ParseFrequency("2147484 kHz"), 10000000);
  EXPECT_EQ(ParseFrequency("99999999999"), 10000000);
  EXPECT_EQ(ParseFrequency("99999999999999999999999 MHz"), 10000000);
}

TEST(ProtocolReplyGrammar, TextAfterColonIsTrimmedFromTheFirstColon) {
  EXPECT_EQ(TextAfterColon("Y4: 9600:n:8 \r"), "9600:n:8");
  EXPECT_EQ(TextAfterColon("Y4 no colon"), "");
  EXPECT_EQ(TextAfterColon("Y2:\t\x01 x \x7f"), "x \x7f");
  EXPECT_EQ(TextAfterColon("Y2:"), "");
}

TEST(ProtocolReplyGrammar, SplitLinesDropsBlankLinesWhateverTheMixOfCrAndLf) {
  EXPECT_EQ(SplitLines("A\r\n\r\nB\n\rC"), (AStrings{"A", "B", "C"}));
  EXPECT_EQ(SplitLines("\r\r\n\n\n"), AStrings{});
  EXPECT_EQ(SplitLines(""), AStrings{});
  EXPECT_EQ(SplitLines("one"), AStrings{"one"});
  EXPECT_EQ(SplitLines("\n\rX\r"), AStrings{"X"});
}

TEST(ProtocolReplyGrammar, SplitLinesStopsAtAnEmbeddedNul) {
  const std::string text("Y1:4321\r\nY2:S\0X\r\nY3:20MHz", 25);
  EXPECT_EQ(SplitLines(text), (AStrings{"Y1:4321", "Y2:S"}));
  EXPECT_EQ(SplitLines(std::string("\0abc", 4)), AStrings{});
}

TEST(ProtocolReplyGrammar, BannerLinesAreDroppedButY2DashCIsKept) {
  const AResponses rs = ParseResponses(
      {"QUELM 1.0", "VOKTAR", "DELMORA x", ".MIRSOL", "MI", "", "Y2-C", "MX", "QUx", "Q1 failed", "Y1:2143"});
  ASSERT_EQ(rs.size(), 4u);
  EXPECT_EQ(rs[0].Line, "Y2-C");
  EXPECT_EQ(rs[0].Code, 0x5932);
  EXPECT_EQ(rs[0].Text, "");  // no colon, no payload
  EXPECT_EQ(rs[1].Line, "MX");
  EXPECT_EQ(rs[2].Code, 0x5131);
  EXPECT_EQ(rs[3].Value, 2143);
}

TEST(ProtocolReplyGrammar, ParseResponseTextSplitsThenParses) {
  const AResponses rs = ParseResponseText("QUELM sampler\r\n.Y4:115200,n,8,1\r\n\r\nQ2 busy\n");
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].Text, "115200,n,8,1");
  EXPECT_EQ(rs[1].Line, "Q2 busy");
  EXPECT_TRUE(ParseResponseText("\r\n").empty());
}

TEST(ProtocolReplyGrammar, StrToIntCheckedRaisesE09WithTheConversionMessageAndTheText) {
  EXPECT_EQ(StrToIntChecked("-15"), -15);
  EXPECT_EQ(StrToIntChecked("2147483647"), 2147483647);
  try {
    StrToIntChecked("12x");
    FAIL() << "no E09";
  } catch (const ESamplerError& e) {
    EXPECT_EQ(e.Message(), "E09 - '12x' is not a valid integer value 12x");
  }
  EXPECT_THROW(StrToIntChecked(""), ESamplerError);
  EXPECT_THROW(StrToIntChecked("2147483648"), ESamplerError);
  EXPECT_THROW(StrToIntChecked(" 5"), ESamplerError);
}

TEST(ProtocolReplyGrammar, CapabilityInfoAsItsThirtyTwoBitValue) {
  const TCapabilityInfo c{'S', 1, 0x02, 0x80};
  EXPECT_EQ(c.ToValue(), 0x80020153u);
  EXPECT_EQ(TCapabilityInfo::FromValue(0x80020153u), c);
  EXPECT_GT(c.ToValue(), 255u);                  // how callers test presence
  EXPECT_EQ(c.ToValue() / 16777216u, 0x80u);     // and read Param2
  EXPECT_EQ((TCapabilityInfo{'U', 0, 0, 0}).ToValue(), static_cast<uint32_t>('U'));
}

}  // namespace
}  // namespace protocol
