#include "sim/larkspur/fifo_model.h"

#include <algorithm>
#include <bit>

namespace sim::larkspur {

int StreamStats::Bucket(uint64_t microseconds) {
    if (microseconds < kLinearBuckets)
        return static_cast<int>(microseconds);
    const int doubling = std::bit_width(microseconds) - 1 - 10; // 0 for 1024..2047
    if (doubling >= kDoublings)
        return kBuckets - 1;
    const int step = static_cast<int>((microseconds >> (doubling + 10 - 6)) & (kStepsPerDoubling - 1));
    return kLinearBuckets + doubling * kStepsPerDoubling + step;
}

uint64_t StreamStats::BucketTopMicroseconds(int bucket) {
    if (bucket < kLinearBuckets)
        return static_cast<uint64_t>(bucket);
    const int doubling = (bucket - kLinearBuckets) / kStepsPerDoubling;
    const int step = (bucket - kLinearBuckets) % kStepsPerDoubling;
    const uint64_t width = uint64_t{1} << (doubling + 10 - 6);
    return (uint64_t{1} << (doubling + 10)) + (step + 1) * width - 1;
}

void StreamStats::AddGap(uint64_t nanoseconds) {
    ++histogram[Bucket(nanoseconds / 1000)];
    ++gaps;
    totalGapNs += nanoseconds;
    maxGapNs = std::max(maxGapNs, nanoseconds);
}

uint64_t StreamStats::GapPercentileNs(double fraction) const {
    if (gaps == 0)
        return 0;
    const double wanted = std::clamp(fraction, 0.0, 1.0) * static_cast<double>(gaps);
    uint64_t seen = 0;
    for (int b = 0; b < kBuckets; ++b) {
        seen += histogram[b];
        if (histogram[b] != 0 && static_cast<double>(seen) >= wanted)
            return std::min(maxGapNs, (BucketTopMicroseconds(b) + 1) * 1000 - 1);
    }
    return maxGapNs;
}

namespace {
int64_t Duration(uint64_t frames, uint64_t framesPerSecond) {
    return framesPerSecond ? static_cast<int64_t>(frames * 1000000000ull / framesPerSecond) : 0;
}
} // namespace

int64_t FifoModel::EarliestCompletion(uint64_t frames, uint64_t framesPerSecond) const {
    return m_running ? m_emptyAt + Duration(frames, framesPerSecond) - m_capacityNs : 0;
}

int64_t FifoModel::Enter(int64_t at, int64_t written, uint64_t frames, uint64_t framesPerSecond) {
    if (m_stats.writes++ == 0)
        m_stats.firstWriteNs = written;
    if (m_lastCompletion >= 0 && written >= m_lastCompletion)
        m_stats.AddGap(static_cast<uint64_t>(written - m_lastCompletion));
    m_rate = framesPerSecond;
    if (!m_running) {
        m_running = true;
        m_emptyAt = at;
    } else if (at > m_emptyAt) {
        // Played out before this write came: the converter had nothing for the time between.
        m_stats.CountUnderrun(m_drainSince >= 0 && m_emptyAt >= m_drainSince);
        if (m_stats.underruns <= StreamStats::kKeptUnderruns)
            m_stats.kept[m_stats.underruns - 1] = {m_lastCompletion >= 0 ? m_lastDue : m_emptyAt,
                                                   m_lastCompletion >= 0 ? m_lastCompletion : m_emptyAt,
                                                   m_emptyAt, at};
        // Had the device reported on time, would the host's write have come before the buffer ran out?
        if (m_lastCompletion >= 0 && written - m_lastCompletion <= m_emptyAt - m_lastDue)
            ++m_stats.underrunsAfterLateCompletion;
        m_emptyAt = at;
    }
    // Its first frame leaves once everything before it has: when the buffer would have run empty.
    if (m_stats.writes <= kKeptLeaveTimes)
        m_leaveTimes[m_stats.writes - 1] = std::max(at, m_emptyAt);
    m_emptyAt += Duration(frames, framesPerSecond);
    // The last frame enters once the buffer has room for it: when what is queued ahead of the buffer's
    // far end drains to its capacity.
    return std::max(at, m_emptyAt - m_capacityNs);
}

void FifoModel::Completed(int64_t at, int64_t due) {
    m_lastCompletion = at;
    m_lastDue = due >= 0 ? due : at;
    if (due >= 0 && at > due) {
        const auto late = static_cast<uint64_t>(at - due);
        m_stats.maxLateNs = std::max(m_stats.maxLateNs, late);
        m_stats.lateOver100us += late > 100000 ? 1 : 0;
    }
}

void FifoModel::Reset() {
    m_running = false;
    m_lastCompletion = -1;
    m_drainSince = -1;
}

void FifoModel::StartDrain(int64_t at) {
    if (m_drainSince < 0)
        m_drainSince = at;
}

uint64_t FifoModel::HeldFrames(int64_t now) const {
    if (!m_running || m_emptyAt <= now || m_rate == 0)
        return 0;
    const auto ns = static_cast<uint64_t>(m_emptyAt - now);
    return (ns * m_rate + 999999999ull) / 1000000000ull;
}

} // namespace sim::larkspur
