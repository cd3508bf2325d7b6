// The machine's own stalls while a stream plays: on each processor a thread above every thread of the
// stream sleeps a millisecond at a time and notes each wake-up that came late. What stops it stops that
// processor (a virtual machine's host taking it away, the kernel), not the driver; underruns inside such
// stalls are the machine's. A probe sees a stall only from its next tick on, up to 1 ms after it began,
// so stalls are counted short and the attribution errs toward blaming the driver.
#pragma once

#include "sim/larkspur/stream_stats.h"

#include <atomic>
#include <cstdint>
#include <span>
#include <thread>
#include <vector>

namespace bench {

struct Stall {
    int64_t fromNs; // when the probe should have woken (steady clock)
    int64_t toNs;   // when it did
};

class StallProbe {
public:
    // Wake-ups later than this count as stalls; below it is ordinary scheduling jitter.
    static constexpr int64_t kThresholdNs = 250000;

    StallProbe();
    ~StallProbe();
    StallProbe(const StallProbe&) = delete;
    StallProbe& operator=(const StallProbe&) = delete;

    // Stops the probes; the stalls are complete after this.
    void Stop();
    // The times some processor stood still, in order, overlaps joined.
    std::span<const Stall> Stalls() const { return m_stalls; }
    int64_t LongestNs() const;
    size_t CountLongerThan(int64_t ns) const;
    // Whether every probe ran above the stream's threads, pinned to its processor; if not, what they saw
    // proves nothing.
    bool RealTime() const { return m_realTime.load() == m_probes.size() && !m_probes.empty(); }

private:
    struct Probe {
        int cpu;
        std::vector<Stall> stalls;
        std::thread thread;
    };
    void Run(Probe& probe);

    std::vector<Probe> m_probes;
    std::vector<Stall> m_stalls;
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_realTime{0};
};

// Stalls in order of their start, overlapping ones joined.
std::vector<Stall> JoinStalls(std::vector<Stall> stalls);

// How long the machine stood still between the completion's due time before `underrun` and the write's
// arrival.
int64_t StoodStillNs(const sim::larkspur::Underrun& underrun, std::span<const Stall> stalls);

// The kept underruns that the stalls explain: a write that would have found the buffer still playing
// had the time the machine stood still between the completion's due time and the write's arrival been
// given back.
uint64_t UnderrunsInStalls(const sim::larkspur::StreamStats& stats, std::span<const Stall> stalls);

} // namespace bench
