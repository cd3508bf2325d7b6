#include "bench/latency_markers.h"

#include <algorithm>
#include <cstring>

namespace bench {

void MarkerScan::Feed(const uint8_t* frames, size_t bytes) {
    for (size_t at = 0; at + 8 <= bytes; at += 8, ++m_frames) {
        Frame frame;
        std::memcpy(&frame.left, frames + at, 4);
        std::memcpy(&frame.right, frames + at + 4, 4);
        const int64_t number = MarkerNumber(frame);
        if (number < 0 || static_cast<uint64_t>(number) >= m_frameOf.size())
            continue;
        if (m_frameOf[number] >= 0)
            ++m_repeats;
        else
            m_frameOf[number] = static_cast<int64_t>(m_frames);
    }
}

LatencySummary MeasureLatency(const LatencyInput& input, const MarkerScan& scan) {
    LatencySummary summary;
    if (input.framesPerWrite == 0)
        return summary;
    std::vector<int64_t> latencies;
    for (size_t k = input.firstSwitch; k < input.switchReturnNs.size(); ++k) {
        const int64_t returned = input.switchReturnNs[k];
        const int64_t frame = scan.FrameOf(static_cast<uint32_t>(k + 1));
        if (returned <= 0 || frame < 0)
            continue;
        if (static_cast<uint64_t>(frame) % input.framesPerWrite != 0) {
            ++summary.misplaced;
            continue;
        }
        const uint64_t write = static_cast<uint64_t>(frame) / input.framesPerWrite;
        if (write >= input.firstFrameLeaveNs.size() || input.firstFrameLeaveNs[write] <= 0)
            continue;
        if (write != k + input.writeOffset)
            ++summary.offMapping;
        latencies.push_back(input.firstFrameLeaveNs[write] - returned);
    }
    summary.measured = latencies.size();
    if (latencies.empty())
        return summary;
    std::sort(latencies.begin(), latencies.end());
    const size_t n = latencies.size();
    const double median = n % 2 ? static_cast<double>(latencies[n / 2])
                                : (static_cast<double>(latencies[n / 2 - 1]) + latencies[n / 2]) / 2;
    summary.medianUs = median / 1e3;
    summary.maxUs = static_cast<double>(latencies.back()) / 1e3;
    return summary;
}

} // namespace bench
