// Line pacing of the virtual lines: characters follow each other at the exact
// line rate, with no drift from rounding each character to whole microseconds.
#include <gtest/gtest.h>

#include "platform/VirtualPort.h"

namespace {

platform::LineSettings Line(DWORD baud, BYTE parity = NOPARITY, BYTE stopBits = ONESTOPBIT) {
  platform::LineSettings s;
  s.baudRate = baud;
  s.parity = parity;
  s.stopBits = stopBits;
  return s;
}

}  // namespace

TEST(LinePacer, BackToBackCharactersTakeExactlyTheirBitTimes) {
  struct Rate {
    DWORD baud;
    std::uint64_t chars;
    platform::Micros micros;  // what those characters take on the wire, 10 bits each
  };
  // 3,333.3 ns, 4,340.3 ns, 86.8 us per character: none is a whole number of microseconds.
  for (const Rate r : {Rate{3000000, 300000, 1000000}, Rate{2304000, 2304000, 10000000}, Rate{115200, 11520, 1000000}}) {
    platform::LinePacer pacer;
    pacer.Reset(500);
    platform::Micros last = 0;
    for (std::uint64_t i = 0; i < r.chars; ++i) last = pacer.Next(0, Line(r.baud));
    EXPECT_EQ(last, 500 + r.micros) << r.baud;
    EXPECT_EQ(pacer.FreeAt(), 500 + r.micros) << r.baud;
  }
  // Many characters at once, and 11-bit framing: 2 stop bits, or a parity bit.
  platform::LinePacer pacer;
  EXPECT_EQ(pacer.Next(0, Line(3000000, NOPARITY, TWOSTOPBITS), 3000000), 11000000u);
  pacer.Reset(0);
  EXPECT_EQ(pacer.Next(0, Line(1100000, EVENPARITY), 100000), 1000000u);
}

TEST(LinePacer, IdleLineStartsAtNotBeforeAndARateChangeCarriesOver) {
  platform::LinePacer pacer;
  pacer.Reset(0);
  // A character that may start only later arrives one character time after that.
  EXPECT_EQ(pacer.Next(1000, Line(100000)), 1100u);
  // The next one follows the first, not its own (earlier) start.
  EXPECT_EQ(pacer.Next(1050, Line(100000)), 1200u);
  // Partial microseconds round up for the arrival, but do not accumulate.
  EXPECT_EQ(pacer.Next(0, Line(3000000)), 1204u);  // 1203.33
  EXPECT_EQ(pacer.Next(0, Line(3000000)), 1207u);  // 1206.67
  EXPECT_EQ(pacer.Next(0, Line(3000000)), 1210u);  // 1210.00
  // Another rate starts from the (rounded) end of the last character.
  EXPECT_EQ(pacer.Next(0, Line(1000000)), 1220u);
  // Without a rate, characters take no time.
  EXPECT_EQ(pacer.Next(0, Line(0)), 1220u);
  EXPECT_EQ(pacer.Next(5000, Line(0)), 5000u);
}
