// Hexadecimal bytes in the device's byte order, and the capability list read
// under each byte order.
#include <gtest/gtest.h>

#include "Devices.h"

namespace protocol {
namespace {

struct OrderedSampler : TSampler {
  explicit OrderedSampler(uint16_t order) : TSampler(AStrings{}) { ByteOrder = order; }
};

TEST(ProtocolByteOrder, ByteToHexPutsTheLowNibbleFirstOnlyUnder1234) {
  EXPECT_EQ(OrderedSampler(1234).ByteToHex(0x1F), "F1");
  EXPECT_EQ(OrderedSampler(1234).ByteToHex(0x05), "50");
  EXPECT_EQ(OrderedSampler(2143).ByteToHex(0x1F), "1F");
  EXPECT_EQ(OrderedSampler(4321).ByteToHex(0x05), "05");
  EXPECT_EQ(OrderedSampler(4321).ByteToHex(0xA0), "A0");
  EXPECT_EQ(OrderedSampler(7).ByteToHex(0x1F), "");
}

TEST(ProtocolByteOrder, HexToByteSwapsOnlyTwoDigitValuesUnder1234) {
  const OrderedSampler plain(1234);
  EXPECT_EQ(plain.HexToByte("50"), 0x05);
  EXPECT_EQ(plain.HexToByte("5"), 0x05);
  EXPECT_EQ(plain.HexToByte("05"), 0x05);
  EXPECT_EQ(plain.HexToByte("f1"), 0x1F);
  const OrderedSampler swapped(4321);
  EXPECT_EQ(swapped.HexToByte("50"), 0x50);
  EXPECT_EQ(swapped.HexToByte("1F"), 0x1F);
  EXPECT_EQ(OrderedSampler(2143).HexToByte("50"), 0x50);
  EXPECT_EQ(OrderedSampler(7).HexToByte("50"), 0x50);
}

TEST(ProtocolByteOrder, HexToByteOfBadTextIsZero) {
  const OrderedSampler s(4321);
  EXPECT_EQ(s.HexToByte(""), 0);
  EXPECT_EQ(s.HexToByte("G1"), 0);
  EXPECT_EQ(s.HexToByte("1 "), 0);
  EXPECT_EQ(s.HexToByte("0x1F"), 0);
}

TEST(ProtocolByteOrder, HexToByteOfMoreThanTwoDigitsKeepsTheLowEightBits) {
  EXPECT_EQ(OrderedSampler(4321).HexToByte("123"), 0x23);
  EXPECT_EQ(OrderedSampler(1234).HexToByte("123"), 0x32);
  EXPECT_EQ(OrderedSampler(1234).HexToByte("105"), 0x05);  // low byte 05: not swapped
  EXPECT_EQ(OrderedSampler(4321).HexToByte("100"), 0x00);
  EXPECT_EQ(OrderedSampler(4321).HexToByte("FFFFFFFFFFFFFFFFFFFFFFFF1"), 0xF1);
  EXPECT_EQ(OrderedSampler(4321).HexToByte(std::string(10000, '7')), 0x77);
}

TEST(ProtocolByteOrder, RoundTripUnderEveryKnownOrder) {
  for (uint16_t order : {2143, 4321}) {
    const OrderedSampler s(order);
    for (int b = 0; b < 256; ++b) ASSERT_EQ(s.HexToByte(s.ByteToHex(static_cast<uint8_t>(b))), b) << order;
  }
  // Under 1234 a byte whose low nibble is 0 is written as "0x", which reads
  // back as the single-digit value x: those values are never swapped.
  const OrderedSampler plain(1234);
  for (int b = 0; b < 256; ++b) {
    const int expected = (b & 0x0F) == 0 ? b >> 4 : b;
    ASSERT_EQ(plain.HexToByte(plain.ByteToHex(static_cast<uint8_t>(b))), expected) << b;
  }
}

TEST(ProtocolByteOrder, CapabilityListUnderBothOrders) {
  const ACapabilityInfo swapped = OrderedSampler(4321).ParseCapabilities("S(10)X1");
  ASSERT_EQ(swapped.size(), 2u);
  EXPECT_EQ(swapped[0], (TCapabilityInfo{'S', 1, 0, 0x10}));
  EXPECT_EQ(swapped[1], (TCapabilityInfo{'X', 1, 1, 0}));
  const ACapabilityInfo plain = OrderedSampler(1234).ParseCapabilities("S(10)X1");
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0], (TCapabilityInfo{'S', 1, 0, 0x01}));

  EXPECT_EQ(OrderedSampler(4321).ParseCapabilities("S1(20)")[0], (TCapabilityInfo{'S', 1, 1, 0x20}));
  EXPECT_EQ(OrderedSampler(1234).ParseCapabilities("S1(20)")[0], (TCapabilityInfo{'S', 1, 1, 0x02}));
}

TEST(ProtocolByteOrder, CapabilityDigitsBeforeTheFirstLetterBelongToIt) {
  const OrderedSampler s(4321);
  EXPECT_EQ(s.ParseCapabilities("7S")[0], (TCapabilityInfo{'S', 1, 7, 0}));
  EXPECT_EQ(s.ParseCapabilities("(10)S")[0], (TCapabilityInfo{'S', 1, 0, 0x10}));
  // A-F are digits, never letters.
  EXPECT_EQ(s.ParseCapabilities("ABS")[0], (TCapabilityInfo{'S', 1, 0xAB, 0x00}));
  const ACapabilityInfo c = s.ParseCapabilities("SE");
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0], (TCapabilityInfo{'S', 1, 0x0E, 0x00}));
  EXPECT_EQ(s.ParseCapabilities("AB").size(), 0u);
}

TEST(ProtocolByteOrder, CapabilityLetterListedTwiceGivesTwoEntries) {
  const ACapabilityInfo c = OrderedSampler(4321).ParseCapabilities("S1S2");
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].Param1, 1);
  EXPECT_EQ(c[1].Param1, 2);
  test::Detected d = test::Detect(test::Reply("S1S2"));
  EXPECT_EQ(d->GetCapabilityInfo('S').Param1, 1);  // the first entry counts
}

TEST(ProtocolByteOrder, CapabilityBracketsAndSeparators) {
  const OrderedSampler s(4321);
  // Deeper levels are never used; a closing bracket raises the level too.
  EXPECT_EQ(s.ParseCapabilities("S1(2(3(4(5")[0], (TCapabilityInfo{'S', 1, 1, 2}));
  EXPECT_EQ(s.ParseCapabilities("S1)2")[0], (TCapabilityInfo{'S', 1, 1, 2}));
  EXPECT_TRUE(s.ParseCapabilities("{7}").empty());  // no letter: nothing at all
  const ACapabilityInfo c = s.ParseCapabilities("S 1, X:2-\x01 o{0B}");
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[1], (TCapabilityInfo{'X', 1, 2, 0}));
  EXPECT_EQ(c[2], (TCapabilityInfo{'o', 1, 0, 0x0B}));
  // The level returns to 0 after each letter.
  EXPECT_EQ(s.ParseCapabilities("S(1)X2")[1], (TCapabilityInfo{'X', 1, 2, 0}));
}

TEST(ProtocolByteOrder, ByteOrderKeepsTheLowSixteenBitsOfY1) {
  EXPECT_EQ(test::Detect(test::Reply("S", "66770"))->ByteOrder, 1234);  // 0x104D2
  test::Detected minus = test::Detect(test::Reply("S", "-1"));
  EXPECT_EQ(minus->ByteOrder, 0xFFFF);
  EXPECT_EQ(minus->ByteToHex(0x12), "");
  EXPECT_EQ(test::Detect(test::Reply("S", "4294967296"))->ByteOrder, 1234);  // no integer: default
  EXPECT_EQ(test::Detect(test::Reply("S", "7"))->ByteToHex(0x12), "");
}

}  // namespace
}  // namespace protocol
