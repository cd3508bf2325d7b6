// The streaming benchmark's marker frames: found again in what the device received, and the latency
// from a switch's return to its half's first frame leaving the device.
#include "bench/latency_markers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using bench::Frame;
using bench::MarkerFrame;
using bench::MarkerNumber;
using bench::MarkerScan;

namespace {

constexpr uint64_t kFrames = 4; // frames per write

void Put(std::vector<uint8_t>& audio, Frame frame) {
    const size_t at = audio.size();
    audio.resize(at + 8);
    std::memcpy(audio.data() + at, &frame.left, 4);
    std::memcpy(audio.data() + at + 4, &frame.right, 4);
}

// What the device receives: `silent` writes of silence, then the halves numbered 0, 1, ... in order,
// each with its marker in its first frame and the host's pattern after it.
std::vector<uint8_t> Stream(size_t silent, size_t halves, uint32_t silence) {
    std::vector<uint8_t> audio;
    for (size_t w = 0; w < silent * kFrames; ++w)
        Put(audio, {silence, silence});
    for (uint32_t n = 0; n < halves; ++n) {
        Put(audio, MarkerFrame(n));
        for (uint32_t j = 1; j < kFrames; ++j)
            Put(audio, {bench::PatternWord(n, j), bench::PatternWord(n, j)});
    }
    return audio;
}

TEST(LatencyMarkers, AMarkerIsNeverTheHostsPatternNorEitherModesSilence) {
    for (uint32_t n : {0u, 1u, 4097u, bench::kMaxMarker})
        EXPECT_EQ(MarkerNumber(MarkerFrame(n)), n);
    EXPECT_EQ(MarkerNumber({0, 0}), -1);
    EXPECT_EQ(MarkerNumber({0xAAAAAAAAu, 0xAAAAAAAAu}), -1); // DSD silence as the host wrote it
    EXPECT_EQ(MarkerNumber({0x69696969u, 0x69696969u}), -1);
    for (uint64_t period = 0; period < 5000; ++period)
        for (uint32_t j = 0; j < 4; ++j) {
            const uint32_t word = bench::PatternWord(period, j);
            ASSERT_EQ(MarkerNumber({word, word ^ bench::kMarkerTwist}), -1) << period << ":" << j;
        }
    // Only the two words together make a marker.
    const Frame marker = MarkerFrame(7);
    EXPECT_EQ(MarkerNumber({marker.left, marker.left}), -1);
    EXPECT_EQ(MarkerNumber({marker.right, marker.left}), -1);
}

TEST(LatencyMarkers, TheScanCountsFramesAcrossChunksAndNotesRepeats) {
    const std::vector<uint8_t> audio = Stream(2, 5, 0xAAAAAAAAu);
    MarkerScan scan(4); // markers 0 to 3 kept, 4 beyond the capacity
    // Chunks of 3 frames and 1 frame, as a tap takes them.
    for (size_t at = 0; at < audio.size();) {
        const size_t bytes = std::min(audio.size() - at, size_t{(at / 8) % 2 ? 8u : 24u});
        scan.Feed(audio.data() + at, bytes);
        at += bytes;
    }
    EXPECT_EQ(scan.FramesSeen(), 7 * kFrames);
    for (uint32_t n = 0; n < 4; ++n)
        EXPECT_EQ(scan.FrameOf(n), static_cast<int64_t>((2 + n) * kFrames)) << n;
    EXPECT_EQ(scan.FrameOf(4), -1);
    EXPECT_EQ(scan.Repeats(), 0u);

    // A half the device got twice keeps its first arrival.
    std::vector<uint8_t> again;
    Put(again, MarkerFrame(1));
    scan.Feed(again.data(), again.size());
    EXPECT_EQ(scan.Repeats(), 1u);
    EXPECT_EQ(scan.FrameOf(1), static_cast<int64_t>(3 * kFrames));
}

// A stream with S safety buffers: S silent writes, half 1 (marker 0), then switch k's half (marker
// k + 1) as write k + 1 + S. Switch k returns at k ms; write w's first frame leaves at w ms + 500 µs.
struct Pipeline {
    explicit Pipeline(size_t safety, size_t switches) : scan(switches + 2) {
        const std::vector<uint8_t> audio = Stream(safety, switches + 1, 0);
        scan.Feed(audio.data(), audio.size());
        for (size_t k = 0; k < switches; ++k)
            returns.push_back(static_cast<int64_t>(k) * 1000000 + 1);
        for (size_t w = 0; w < safety + switches + 1; ++w)
            leaves.push_back(static_cast<int64_t>(w) * 1000000 + 500001);
        input.switchReturnNs = returns;
        input.firstFrameLeaveNs = leaves;
        input.framesPerWrite = kFrames;
        input.firstSwitch = 1 + safety;
        input.writeOffset = 1 + safety;
    }
    MarkerScan scan;
    std::vector<int64_t> returns, leaves;
    bench::LatencyInput input;
};

TEST(LatencyMarkers, EachSwitchIsMeasuredToTheWriteThatCarriedItsHalf) {
    for (size_t safety : {0u, 1u, 2u}) {
        Pipeline p(safety, 20);
        const bench::LatencySummary s = bench::MeasureLatency(p.input, p.scan);
        // (1 + S) periods of 1 ms, plus the 500 µs the first frame takes to leave.
        EXPECT_EQ(s.measured, 20 - 1 - safety) << safety;
        EXPECT_EQ(s.offMapping, 0u) << safety;
        EXPECT_DOUBLE_EQ(s.medianUs, 1000.0 * (1 + safety) + 500) << safety;
        EXPECT_DOUBLE_EQ(s.maxUs, 1000.0 * (1 + safety) + 500) << safety;
    }
}

TEST(LatencyMarkers, MedianAndMaxFollowLateLeavesAndUnknownTimesAreSkipped) {
    Pipeline p(1, 10);
    p.leaves[6] += 3000000; // switch 4's half left 3 ms late
    p.leaves[7] += 1000000; // switch 5's
    p.returns[8] = 0;       // switch 8's return not noted
    p.leaves[11] = 0;       // switch 9's half has no leave time
    const bench::LatencySummary s = bench::MeasureLatency(p.input, p.scan);
    ASSERT_EQ(s.measured, 6u); // switches 2 to 7
    EXPECT_DOUBLE_EQ(s.maxUs, 5500);
    EXPECT_DOUBLE_EQ(s.medianUs, 2500); // 2500 ×4, 3500, 5500
}

TEST(LatencyMarkers, AHalfAwayFromTheMappingIsCountedAndStillMeasured) {
    // Without the leading silence the driver claimed: every half one write earlier than mapped.
    Pipeline p(0, 10);
    p.input.writeOffset = 2;
    p.input.firstSwitch = 2;
    const bench::LatencySummary s = bench::MeasureLatency(p.input, p.scan);
    EXPECT_EQ(s.measured, 8u);
    EXPECT_EQ(s.offMapping, 8u);
    EXPECT_DOUBLE_EQ(s.medianUs, 1500);

    // A write of another size: the markers no longer start writes.
    p.input.framesPerWrite = kFrames + 1;
    p.input.writeOffset = 1;
    const bench::LatencySummary odd = bench::MeasureLatency(p.input, p.scan);
    EXPECT_GT(odd.misplaced, 0u);
    EXPECT_EQ(odd.measured + odd.misplaced, 8u);
}

} // namespace
