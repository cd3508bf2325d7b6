// The device's own buffer in front of the converter: a write completes once all its frames have
// entered the buffer; the buffer drains at the stream's rate; when it runs empty before the next write
// arrives the device plays silence and counts an underrun. Times are nanoseconds on one clock.
#pragma once

#include "sim/larkspur/stream_stats.h"

#include <array>
#include <cstddef>

namespace sim::larkspur {

constexpr uint32_t kDefaultFifoMicroseconds = 2000;

class FifoModel {
public:
    explicit FifoModel(uint32_t capacityMicroseconds = kDefaultFifoMicroseconds)
        : m_capacityNs(int64_t{capacityMicroseconds} * 1000) {}

    // A write of `frames` at `framesPerSecond` whose frames start to enter the buffer at `at`;
    // `written` is when the host sent it. Returns when its last frame has entered the buffer.
    int64_t Enter(int64_t at, int64_t written, uint64_t frames, uint64_t framesPerSecond);
    // The earliest a write of `frames` could complete if it came now: later than now only while the
    // buffer is full.
    int64_t EarliestCompletion(uint64_t frames, uint64_t framesPerSecond) const;
    // The device reported a completion to the host at `at`, due at `due`.
    void Completed(int64_t at, int64_t due = -1);
    // The stream left the running state: the buffer is empty and the next write starts afresh; a drain
    // ends with it.
    void Reset();
    // The driver's stream end arrived at `at`: a buffer that runs empty from then on underruns in the
    // drain. EndDrain: a new stream's mode code.
    void StartDrain(int64_t at);
    void EndDrain() { m_drainSince = -1; }
    bool Draining() const { return m_drainSince >= 0; }
    // An underrun the stepped clock decided (it ran the device dry).
    void CountUnderrun(bool draining) { m_stats.CountUnderrun(draining); }
    // The frames still in the buffer at `now` (of the write entering too), rounded up.
    uint64_t HeldFrames(int64_t now) const;
    int64_t CapacityNanoseconds() const { return m_capacityNs; }

    const StreamStats& Stats() const { return m_stats; }
    // When each of the first kKeptLeaveTimes writes' first frame leaves the buffer, write k at [k].
    static constexpr size_t kKeptLeaveTimes = 8192;
    const int64_t* LeaveTimes() const { return m_leaveTimes.data(); }
    size_t LeaveCount() const { return m_stats.writes < kKeptLeaveTimes ? m_stats.writes : kKeptLeaveTimes; }

private:
    const int64_t m_capacityNs;
    bool m_running = false;
    int64_t m_emptyAt = 0; // when the buffer runs empty with what has entered so far
    int64_t m_lastCompletion = -1;
    int64_t m_lastDue = -1; // when that completion was due
    int64_t m_drainSince = -1;
    uint64_t m_rate = 0; // frames per second of the latest write
    StreamStats m_stats;
    std::array<int64_t, kKeptLeaveTimes> m_leaveTimes{};
};

} // namespace sim::larkspur
