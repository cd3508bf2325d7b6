// The device's own buffer in front of the converter: a write completes once all its frames have
// entered the buffer; the buffer drains at the stream's rate; when it runs empty before the next write
// arrives the device plays silence and counts an underrun. Times are nanoseconds on one clock.
#pragma once

#include "sim/larkspur/stream_stats.h"

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
    // The stream left the running state: the buffer is empty and the next write starts afresh.
    void Reset();

    const StreamStats& Stats() const { return m_stats; }

private:
    const int64_t m_capacityNs;
    bool m_running = false;
    int64_t m_emptyAt = 0; // when the buffer runs empty with what has entered so far
    int64_t m_lastCompletion = -1;
    int64_t m_lastDue = -1; // when that completion was due
    StreamStats m_stats;
};

} // namespace sim::larkspur
