// How long the device-reply parsing takes: identification replies and start
// replies are parsed on every Open and Start, capability lists once per Open.
#include <benchmark/benchmark.h>

#include "protocol/SAdapters.h"
#include "protocol/SCommon.h"

namespace {

const char kIdentification[] =
    "QUELM1 pulse sampler v2.1\r\n.Y1: 4321\r\n.Y2: S1 X1 M1 J1(10) r o(FF)(0B) U(00)(07)\r\n.Y3: 20 MHz\r\n";

void BM_ParseResponseText(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(protocol::ParseResponseText(kIdentification));
}
BENCHMARK(BM_ParseResponseText);

void BM_CreateAdapter(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(protocol::TSampler::CreateAdapter(kIdentification));
}
BENCHMARK(BM_CreateAdapter);

void BM_StartCommandRoundTrip(benchmark::State& state) {
  auto adapter = protocol::TSampler::CreateAdapter(kIdentification);
  adapter->SetMode(1);
  adapter->SetRate(1000000);
  for (auto _ : state) {
    benchmark::DoNotOptimize(adapter->BuildStartCommand(protocol::skCarriageReturn));
    benchmark::DoNotOptimize(adapter->ParseCommandResponse(".Y4: baud=115200 parity=N data=8 stop=1 dtr=on\r\n"));
  }
}
BENCHMARK(BM_StartCommandRoundTrip);

}  // namespace
