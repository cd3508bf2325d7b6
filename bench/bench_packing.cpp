// The render thread's packing step for one half of N frames, beside a plain copy of the same N × 8
// bytes. Every size runs repeatedly; the table at the end compares the medians of this one run.
#include "asio/packing.h"
#include "platform/asio.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kRepetitions = 9;

// The sources as the driver allocates a host buffer (new[]); the slot aligned like the render thread's ring.
struct Half {
    std::vector<int32_t> left;
    std::vector<int32_t> right;
    struct alignas(64) Slot {
        uint8_t bytes[2048 * kFrameBytes];
        uint8_t* data() { return bytes; }
        size_t size() const { return sizeof bytes; }
    };
    std::unique_ptr<Slot> slot = std::make_unique<Slot>();
    explicit Half(int32_t frames) : left(frames), right(frames) {
        for (int32_t i = 0; i < frames; ++i) {
            left[i] = i * 7919;
            right[i] = -i * 104729;
        }
    }
};

void Pack(benchmark::State& state, int32_t format) {
    const auto frames = static_cast<int32_t>(state.range(0));
    Half half(frames);
    std::atomic<int32_t> ioFormat{format};
    for (auto _ : state) {
        PackHalf(half.slot->data(), half.left.data(), half.right.data(), frames, ioFormat);
        benchmark::DoNotOptimize(half.slot->data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * frames * kFrameBytes);
}

// One path explicitly, to see what the processor's wider path gains.
void PackOn(benchmark::State& state, PackPath path, bool dsd) {
    const auto frames = static_cast<int32_t>(state.range(0));
    if (!PackPathAvailable(path)) {
        state.SkipWithError("path not available on this processor");
        return;
    }
    Half half(frames);
    for (auto _ : state) {
        PackHalfOn(path, half.slot->data(), half.left.data(), half.right.data(), frames, dsd);
        benchmark::DoNotOptimize(half.slot->data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * frames * kFrameBytes);
}

void BM_PackPcm(benchmark::State& state) {
    Pack(state, kASIOPCMFormat);
}
void BM_PackDsd(benchmark::State& state) {
    Pack(state, kASIODSDFormat);
}
void BM_PackPcmBaseline(benchmark::State& state) {
    PackOn(state, PackPath::Baseline, false);
}
void BM_PackDsdBaseline(benchmark::State& state) {
    PackOn(state, PackPath::Baseline, true);
}
void BM_PackPcmAvx2(benchmark::State& state) {
    PackOn(state, PackPath::Avx2, false);
}
void BM_PackDsdAvx2(benchmark::State& state) {
    PackOn(state, PackPath::Avx2, true);
}

void BM_Memcpy(benchmark::State& state) {
    const auto frames = static_cast<int32_t>(state.range(0));
    Half half(frames);
    std::vector<uint8_t> source(static_cast<size_t>(frames) * kFrameBytes, 0x5A);
    for (auto _ : state) {
        std::memcpy(half.slot->data(), source.data(), source.size());
        benchmark::DoNotOptimize(half.slot->data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * frames * kFrameBytes);
}

#define LK_HALVES RangeMultiplier(2)->Range(32, 2048)->Repetitions(kRepetitions)->DisplayAggregatesOnly(true)
BENCHMARK(BM_Memcpy)->LK_HALVES;
BENCHMARK(BM_PackPcm)->LK_HALVES;
BENCHMARK(BM_PackDsd)->LK_HALVES;
BENCHMARK(BM_PackPcmBaseline)->LK_HALVES;
BENCHMARK(BM_PackDsdBaseline)->LK_HALVES;
BENCHMARK(BM_PackPcmAvx2)->LK_HALVES;
BENCHMARK(BM_PackDsdAvx2)->LK_HALVES;

const char* PathName(PackPath path) {
    switch (path) {
    case PackPath::Avx512:
        return "AVX-512 (VBMI2)";
    case PackPath::Avx2:
        return "AVX2";
    default:
        return "SSE2";
    }
}

// Prints as usual and keeps the medians for the comparison table.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" && !run.error_occurred)
                medians[run.run_name.args][run.run_name.function_name] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    // frames -> benchmark -> median time
    std::map<std::string, std::map<std::string, double>> medians;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf(
        "\npath: %s\nmedians over %d repetitions (CPU time), relative to BM_Memcpy of the same bytes\n",
        PathName(SelectedPackPath()), kRepetitions);
    std::printf("%8s %10s %10s %10s %12s %12s\n", "frames", "PackPcm", "PackDsd", "Memcpy", "PackPcm/cp",
                "PackDsd/cp");
    std::vector<std::pair<long, std::map<std::string, double>*>> rows;
    for (auto& [frames, times] : reporter.medians)
        rows.emplace_back(std::stol(frames), &times);
    std::sort(rows.begin(), rows.end());
    for (auto& [frames, times] : rows) {
        auto& t = *times;
        const double copy = t["BM_Memcpy"];
        if (copy <= 0)
            continue;
        std::printf("%8ld %10.1f %10.1f %10.1f %12.2f %12.2f\n", frames, t["BM_PackPcm"], t["BM_PackDsd"],
                    copy, t["BM_PackPcm"] / copy, t["BM_PackDsd"] / copy);
    }
    return 0;
}
