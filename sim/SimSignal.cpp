// The virtual sampler's input signals and the byte stream of each mode.
// See SimSignal.h for the packing rules.
#include "sim/SimSignal.h"

#include <algorithm>
#include <cassert>
#include <numeric>

namespace sim {

namespace {

constexpr Ticks kCounterSpan = 65536;  // the 16-bit timing counter

Ticks Period(const std::vector<Ticks>& intervals) {
  return std::accumulate(intervals.begin(), intervals.end(), Ticks{0});
}

bool HasEdges(const InputPattern& p) { return p.lead != 0 || Period(p.intervals) != 0; }

// round(numerator / denominator) without floating point.
Ticks RoundedRatio(std::uint64_t numerator, std::uint64_t denominator) {
  return (2 * numerator + denominator) / (2 * denominator);
}

// A repeating burst on an idle-high line: `edges` are the burst's level changes
// (the first a fall at 0) and `length` where the burst ends; then `gap` of idle.
// A burst returns to idle, so it has an even number of edges and every
// repetition starts from the same level.
InputPattern IdleHighBursts(const std::vector<Ticks>& edges, Ticks length, Ticks gap) {
  assert(!edges.empty() && edges.front() == 0 && edges.size() % 2 == 0);
  assert(edges.back() < length + gap);
  InputPattern p{true, gap, {}, true};
  for (size_t k = 1; k < edges.size(); ++k) p.intervals.push_back(edges[k] - edges[k - 1]);
  p.intervals.push_back(length + gap - edges.back());  // back to the next burst's first edge
  return p;
}

Ticks Millis(DWORD tickRate, unsigned ms) { return Ticks{tickRate} * ms / 1000; }

}  // namespace

bool InputPattern::Level(Ticks t) const {
  if (!HasEdges(*this) || t < lead) return initial;
  const Ticks period = Period(intervals);
  Ticks u = t - lead;
  std::uint64_t edges = 1;  // the one at `lead`
  if (period != 0) {
    if (repeat) {
      edges += (u / period) * intervals.size();
      u %= period;
    }
    Ticks sum = 0;
    for (size_t k = 0; k < intervals.size(); ++k) {
      sum += intervals[k];
      if (sum > u || (repeat && k + 1 == intervals.size())) break;
      ++edges;
    }
  }
  return (edges % 2 == 1) ? !initial : initial;
}

std::optional<Ticks> InputPattern::EdgeAtOrAfter(Ticks t) const {
  if (!HasEdges(*this)) return std::nullopt;
  if (t <= lead) return lead;
  const Ticks period = Period(intervals);
  if (period == 0) return std::nullopt;
  Ticks u = t - lead;
  Ticks base = lead;
  if (repeat) {
    base += (u / period) * period;
    u %= period;
    if (u == 0) return base;
  }
  Ticks sum = 0;
  for (Ticks interval : intervals) {
    sum += interval;
    if (sum >= u) return base + sum;
  }
  return std::nullopt;
}

SignalSource DefaultSignal() {
  SignalSource s;
  s.input[0] = InputPattern{false, 1000, {2500, 1500, 700, 300, 4000, 1000}, true};
  s.input[1] = InputPattern{false, 600, {1200, 800}, true};
  return s;
}

SignalSource IdleSignal() { return SignalSource{}; }

InputPattern UartPattern(const std::string& bytes, unsigned baud, DWORD tickRate, Ticks gapTicks) {
  assert(baud > 0 && tickRate >= baud);  // at least a tick per bit, so no two edges coincide
  if (bytes.empty()) return InputPattern{true, 0, {}, true};
  const auto boundary = [&](std::uint64_t bits) { return RoundedRatio(bits * tickRate, baud); };
  std::vector<Ticks> edges;
  bool level = true;
  for (size_t j = 0; j < bytes.size(); ++j) {
    const Ticks frameStart = boundary(10 * j);  // whole frames keep the long-run character rate exact
    const unsigned frame = 0x200u | static_cast<unsigned>(static_cast<BYTE>(bytes[j])) << 1;  // start 0, data, stop 1
    for (unsigned k = 0; k < 10; ++k) {
      const bool bit = (frame >> k) & 1u;
      if (bit == level) continue;  // equal bits merge: only real changes are edges
      edges.push_back(frameStart + boundary(k));
      level = bit;
    }
  }
  return IdleHighBursts(edges, boundary(10 * bytes.size()), gapTicks);
}

InputPattern NecPattern(BYTE address, BYTE command, DWORD tickRate, Ticks gapTicks) {
  // Times in half microseconds (562.5 us is 1125), rounded to ticks at each edge
  // rather than per interval so that the frame does not drift.
  const auto ticks = [&](std::uint64_t halfMicros) { return RoundedRatio(halfMicros * tickRate, 2000000); };
  constexpr std::uint64_t kLeaderBurst = 18000, kLeaderSpace = 9000, kBurst = 1125, kZeroSpace = 1125,
                          kOneSpace = 3375;
  const std::uint32_t bits = address | (address ^ 0xFFu) << 8 | std::uint32_t{command} << 16 |
                             std::uint32_t(command ^ 0xFFu) << 24;
  std::vector<Ticks> edges;
  std::uint64_t at = 0;
  const auto burst = [&](std::uint64_t low, std::uint64_t high) {
    edges.push_back(ticks(at));
    edges.push_back(ticks(at + low));
    at += low + high;
  };
  burst(kLeaderBurst, kLeaderSpace);
  for (unsigned k = 0; k < 32; ++k) burst(kBurst, (bits >> k) & 1u ? kOneSpace : kZeroSpace);
  burst(kBurst, 0);
  return IdleHighBursts(edges, ticks(at), gapTicks);
}

SignalSource UartSignal(DWORD tickRate) {
  SignalSource s = DefaultSignal();
  s.input[0] = UartPattern("QUELM 9600 8N1\r\n", 9600, tickRate, Millis(tickRate, 2));
  s.input[0].lead = Millis(tickRate, 3);
  return s;
}

SignalSource NecSignal(DWORD tickRate) {
  SignalSource s = DefaultSignal();
  s.input[0] = NecPattern(0x59, 0x16, tickRate, Millis(tickRate, 42));
  s.input[0].lead = Millis(tickRate, 5);
  return s;
}

StreamGenerator::StreamGenerator(const SignalSource& signal, const StreamSpec& spec)
    : signal_(signal), spec_(spec) {
  assert(spec_.divisor <= 255);
  if (!spec_.onActivity) {
    startTick_ = 0;
  } else {
    startTick_ = signal_.input[0].EdgeAtOrAfter(0);
    if (spec_.mode == StreamMode::Dual) {
      auto other = signal_.input[1].EdgeAtOrAfter(0);
      if (other && (!startTick_ || *other < *startTick_)) startTick_ = other;
    }
  }
  start_ = startTick_.value_or(0);
  lastMark_ = start_;
}

std::optional<StreamByte> StreamGenerator::Next() {
  if (!startTick_ || exhausted_) return std::nullopt;
  return spec_.mode == StreamMode::Timing ? NextTimed() : NextSampled();
}

BYTE StreamGenerator::Pack(int input, std::uint64_t firstSample) const {
  unsigned value = 0;
  for (unsigned b = 0; b < 8; ++b) {
    std::uint64_t n = firstSample + b;
    bool inBuffer = spec_.mode != StreamMode::Buffered || n < spec_.bufferSamples;
    if (inBuffer && signal_.input[input].Level(SampleTick(n))) value |= 0x80u >> b;
  }
  return static_cast<BYTE>(value);
}

std::optional<StreamByte> StreamGenerator::NextSampled() {
  const std::uint64_t k = index_;
  StreamByte out{};
  switch (spec_.mode) {
    case StreamMode::Sole:
      out = StreamByte{Pack(0, 8 * k), SampleTick(8 * k + 7)};
      break;
    case StreamMode::Dual: {
      std::uint64_t m = k / 2;
      out = StreamByte{Pack(static_cast<int>(k % 2), 8 * m), SampleTick(8 * m + 7)};
      break;
    }
    case StreamMode::Buffered: {
      const std::uint64_t total = (spec_.bufferSamples + 7) / 8;
      if (k >= total) {
        exhausted_ = true;
        return std::nullopt;
      }
      out = StreamByte{Pack(0, 8 * k), SampleTick(spec_.bufferSamples - 1)};
      break;
    }
    case StreamMode::Timing:
      assert(false);
      return std::nullopt;
  }
  ++index_;
  return out;
}

std::optional<StreamByte> StreamGenerator::NextTimed() {
  if (pendingSecond_) {
    StreamByte out{*pendingSecond_, pendingReady_};
    pendingSecond_.reset();
    ++index_;
    return out;
  }
  auto edge = signal_.input[0].EdgeAtOrAfter(lastMark_ + 1);
  Ticks count = 0;
  if (!edge || *edge - lastMark_ >= kCounterSpan) {
    lastMark_ += kCounterSpan;  // overflow: 0x0000, level unchanged
  } else {
    count = *edge - lastMark_;
    lastMark_ = *edge;
  }
  BYTE low = static_cast<BYTE>(count & 0xFF);
  BYTE high = static_cast<BYTE>((count >> 8) & 0xFF);
  bool lowFirst = spec_.byteOrder == 1234;
  pendingSecond_ = lowFirst ? high : low;
  pendingReady_ = lastMark_;
  ++index_;
  return StreamByte{lowFirst ? low : high, lastMark_};
}

std::vector<BYTE> ExpectedStream(const SignalSource& signal, const StreamSpec& spec, size_t count) {
  StreamGenerator gen(signal, spec);
  std::vector<BYTE> out;
  out.reserve(count);
  while (out.size() < count) {
    auto b = gen.Next();
    if (!b) break;
    out.push_back(b->value);
  }
  return out;
}

}  // namespace sim
