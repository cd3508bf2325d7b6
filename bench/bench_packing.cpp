// The render thread's packing step for one 2048-frame half, beside a plain copy of the same bytes.
#include "asio/packing.h"
#include "platform/asio.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr int32_t kFrames = 2048;

struct Half {
    std::vector<int32_t> left = std::vector<int32_t>(kFrames);
    std::vector<int32_t> right = std::vector<int32_t>(kFrames);
    std::vector<uint8_t> slot = std::vector<uint8_t>(kFrames * kFrameBytes);
    Half() {
        for (int32_t i = 0; i < kFrames; ++i) {
            left[i] = i * 7919;
            right[i] = -i * 104729;
        }
    }
};

void Pack(benchmark::State& state, int32_t format) {
    Half half;
    std::atomic<int32_t> ioFormat{format};
    for (auto _ : state) {
        PackHalf(half.slot.data(), half.left.data(), half.right.data(), kFrames, ioFormat);
        benchmark::DoNotOptimize(half.slot.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kFrames * kFrameBytes);
}

void BM_PackPcm(benchmark::State& state) {
    Pack(state, kASIOPCMFormat);
}
void BM_PackDsd(benchmark::State& state) {
    Pack(state, kASIODSDFormat);
}

void BM_Memcpy(benchmark::State& state) {
    Half half;
    std::vector<uint8_t> source(kFrames * kFrameBytes, 0x5A);
    for (auto _ : state) {
        std::memcpy(half.slot.data(), source.data(), source.size());
        benchmark::DoNotOptimize(half.slot.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kFrames * kFrameBytes);
}

BENCHMARK(BM_PackPcm);
BENCHMARK(BM_PackDsd);
BENCHMARK(BM_Memcpy);

} // namespace

BENCHMARK_MAIN();
