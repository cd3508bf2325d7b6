// What the device saw of one stream's timing: underruns of its buffer, and how long after each
// completion the next write arrived. Fixed size, so recording never allocates.
#pragma once

#include <cstdint>

namespace sim::larkspur {

// One time the buffer ran empty: the completion before it (due, and when the device reported it), when
// the buffer played its last frame, and when the next write's frames began to enter.
struct Underrun {
    int64_t dueNs = 0;
    int64_t reportedNs = 0;
    int64_t emptyNs = 0;
    int64_t arrivedNs = 0;
};

struct StreamStats {
    // 1 µs steps up to 1024 µs, then 64 steps per doubling up to about 68 s.
    static constexpr int kLinearBuckets = 1024;
    static constexpr int kStepsPerDoubling = 64;
    static constexpr int kDoublings = 26;
    static constexpr int kBuckets = kLinearBuckets + kDoublings * kStepsPerDoubling;

    uint64_t writes = 0;      // writes the device took while running
    int64_t firstWriteNs = 0; // steady-clock time the first of them was sent
    uint64_t underruns = 0;   // times its buffer ran empty before the next write arrived
    // Of those, the ones that ran empty while the host streamed, and those after the stream's end (the
    // driver's stream-end mode code) while the driver drained.
    uint64_t underrunsStreaming = 0;
    uint64_t underrunsDrain = 0;
    // Of those, the ones the host's write would have prevented had the device reported the completion
    // before it on time: the simulation's lateness, not the driver's.
    uint64_t underrunsAfterLateCompletion = 0;
    uint64_t gaps = 0; // completion-to-next-write times recorded
    uint64_t maxGapNs = 0;
    uint64_t totalGapNs = 0;
    // How much later than due the device itself reported completions (its clock thread's wake-up): what
    // the simulation, not the driver, takes from the buffer's margin.
    uint64_t maxLateNs = 0;
    uint64_t lateOver100us = 0;
    uint32_t histogram[kBuckets] = {};
    // The first underruns of the stream, so that a tool can tell when they struck.
    static constexpr int kKeptUnderruns = 256;
    Underrun kept[kKeptUnderruns] = {};

    // The underruns whose times are in `kept`.
    uint64_t KeptUnderruns() const { return underruns < kKeptUnderruns ? underruns : kKeptUnderruns; }

    void AddGap(uint64_t nanoseconds);
    void CountUnderrun(bool draining) {
        ++underruns;
        ++(draining ? underrunsDrain : underrunsStreaming);
    }
    // The time below which `fraction` (0..1) of the recorded gaps lie, to the histogram's resolution
    // (never above the largest gap); 0 without gaps.
    uint64_t GapPercentileNs(double fraction) const;

    static int Bucket(uint64_t microseconds);
    // The largest time in µs that falls into `bucket`.
    static uint64_t BucketTopMicroseconds(int bucket);
};

} // namespace sim::larkspur
