// Codec micro-benchmarks: frame build and parse, hex conversion, allocation parsing.
#include <benchmark/benchmark.h>

#include <array>
#include <string>

#include "abus/uABus.h"
#include "vars/uTavexVars.h"

using namespace tavex;

static void BM_BuildFrame(benchmark::State& state) {
  std::array<uint8_t, kMaxRequestFrame> buf{};
  for (auto _ : state) {
    uint16_t len = 606;
    benchmark::DoNotOptimize(BuildFrame(1, 1000, 52, 0, 0, buf, len, 0x1234));
    benchmark::DoNotOptimize(buf);
  }
}
BENCHMARK(BM_BuildFrame);

static void BM_ParseFrame(benchmark::State& state) {
  std::array<uint8_t, kMaxRequestFrame> buf{};
  uint16_t len = 256 + 4;
  BuildFrame(1000, 1, 0, 1, 0, buf, len, 0);
  const std::string text = BytesToHex(buf.data(), len);
  for (auto _ : state) {
    std::string rx = text, frame, payload;
    uint32_t s, d;
    uint8_t di, a;
    benchmark::DoNotOptimize(ParseFrame(rx, frame, s, d, di, a, payload));
  }
}
BENCHMARK(BM_ParseFrame);

static void BM_HexToBytes(benchmark::State& state) {
  const std::string text(2044, 'A');
  std::array<uint8_t, kFrameBufSize> buf;
  for (auto _ : state) {
    int n = 0;
    HexToBytes(text, buf, n, false);
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_HexToBytes);

static void BM_LoadFromAlc(benchmark::State& state) {
  std::string text = ";CPU Tavex-2 BENCH\n;Addr Flags Count Offset Step Scope Type Name Comment\n";
  for (int i = 0; i < 1000; ++i)
    text += "0" + std::to_string(100 + 2 * i) + " 0 1 0 2 global word var" + std::to_string(i) +
            " Some comment text\n";
  for (auto _ : state) {
    TTavexVarList list;
    list.LoadFromAlcText(text, 1);
    benchmark::DoNotOptimize(list.Count());
  }
}
BENCHMARK(BM_LoadFromAlc);

BENCHMARK_MAIN();
