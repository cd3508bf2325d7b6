// The streaming benchmark's attribution of underruns to the machine's stalls, and its probe.
#include "bench/machine_stalls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using bench::Stall;
using sim::larkspur::StreamStats;

namespace {

constexpr int64_t kUs = 1000;

// An underrun 2 ms after a completion due at 0: the buffer ran empty at 2 ms, the write came at `arrived`.
StreamStats OneUnderrun(int64_t arrived) {
    StreamStats stats;
    stats.underruns = 1;
    stats.kept[0] = {0, 0, 2000 * kUs, arrived};
    return stats;
}

TEST(MachineStalls, AnUnderrunIsTheMachinesOnlyIfItsStallAloneMadeTheWriteLate) {
    const Stall stall[] = {{500 * kUs, 1500 * kUs}}; // 1 ms standing still
    // 2.9 ms after the completion: 1.9 ms without the stall, in time.
    EXPECT_EQ(bench::UnderrunsInStalls(OneUnderrun(2900 * kUs), stall), 1u);
    // Exactly on time once the stall is given back.
    EXPECT_EQ(bench::UnderrunsInStalls(OneUnderrun(3000 * kUs), stall), 1u);
    // 2.1 ms without the stall: the writer was late on its own as well.
    EXPECT_EQ(bench::UnderrunsInStalls(OneUnderrun(3100 * kUs), stall), 0u);
    // Only the part of a stall inside the window from the due time to the write counts.
    const Stall straddling[] = {{-5000 * kUs, 500 * kUs}, {2500 * kUs, 9000 * kUs}};
    EXPECT_EQ(bench::StoodStillNs(OneUnderrun(3000 * kUs).kept[0], straddling), 1000 * kUs);
    EXPECT_EQ(bench::UnderrunsInStalls(OneUnderrun(3000 * kUs), straddling), 1u);
    EXPECT_EQ(bench::UnderrunsInStalls(OneUnderrun(3000 * kUs), {}), 0u);
}

TEST(MachineStalls, StallsOfSeveralProcessorsAreJoinedNotCountedTwice) {
    const auto joined = bench::JoinStalls({{3, 5}, {0, 2}, {1, 4}, {7, 8}, {8, 9}});
    ASSERT_EQ(joined.size(), 2u);
    EXPECT_EQ(joined[0].fromNs, 0);
    EXPECT_EQ(joined[0].toNs, 5);
    EXPECT_EQ(joined[1].fromNs, 7);
    EXPECT_EQ(joined[1].toNs, 9);
    // Both processors stood still for the same millisecond: one millisecond, so this write was late.
    const auto same = bench::JoinStalls({{500 * kUs, 1500 * kUs}, {500 * kUs, 1500 * kUs}});
    EXPECT_EQ(bench::UnderrunsInStalls(OneUnderrun(3500 * kUs), same), 0u);
}

TEST(MachineStalls, OnlyKeptUnderrunsAreAttributed) {
    StreamStats stats;
    stats.underruns = StreamStats::kKeptUnderruns + 10;
    for (auto& u : stats.kept)
        u = {0, 0, 2000 * kUs, 2500 * kUs};
    const Stall stall[] = {{0, 1000 * kUs}};
    EXPECT_EQ(bench::UnderrunsInStalls(stats, stall), static_cast<uint64_t>(StreamStats::kKeptUnderruns));
}

TEST(MachineStalls, TheProbeStopsWithItsStallsJoinedAndInOrder) {
    bench::StallProbe probe;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    probe.Stop();
    probe.Stop(); // twice is harmless
    const auto stalls = probe.Stalls();
    for (size_t i = 0; i < stalls.size(); ++i) {
        EXPECT_GT(stalls[i].toNs - stalls[i].fromNs, bench::StallProbe::kThresholdNs);
        if (i > 0) {
            EXPECT_GT(stalls[i].fromNs, stalls[i - 1].toNs);
        }
    }
    if (!probe.RealTime())
        GTEST_SKIP() << "real-time scheduling not permitted here: the probe's stalls prove nothing";
}

} // namespace
