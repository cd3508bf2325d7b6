// Output latency measured with marker frames: the host writes a numbered marker into the first frame of
// each half it fills, and finds it again in what the device received. The write that carried a marker
// tells when the half's first frame left the device, whatever the driver queued in front of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace bench {

// A marker's left word has the top bit set and its right word is the left one twisted, top bit clear
// (so channels swapped are no marker). The host's pattern keeps the top bit clear, PCM silence is 0 and
// DSD silence repeats one word in both channels: none of them pairs a word with its twist.
constexpr uint32_t kMarkerBit = 0x80000000u;
constexpr uint32_t kMarkerTwist = 0xDA5A5A5Au;
constexpr uint32_t kMaxMarker = kMarkerBit - 1;

struct Frame {
    uint32_t left;
    uint32_t right;
};

constexpr Frame MarkerFrame(uint32_t number) {
    const uint32_t left = kMarkerBit | (number & kMaxMarker);
    return {left, left ^ kMarkerTwist};
}

// The marker number a frame carries, or -1.
constexpr int64_t MarkerNumber(Frame frame) {
    if (!(frame.left & kMarkerBit) || frame.right != (frame.left ^ kMarkerTwist))
        return -1;
    return frame.left & kMaxMarker;
}

// A word of the host's fill pattern, never part of a marker.
constexpr uint32_t PatternWord(uint64_t period, uint32_t index) {
    return static_cast<uint32_t>(period * 2654435761u + index) & ~kMarkerBit;
}

// Finds markers in the device's frames as they are fed, in order, in chunks of whole 8-byte frames;
// notes the frame index at which each of the first `capacity` marker numbers arrived.
class MarkerScan {
public:
    explicit MarkerScan(size_t capacity) : m_frameOf(capacity, -1) {}

    void Feed(const uint8_t* frames, size_t bytes);
    uint64_t FramesSeen() const { return m_frames; }
    // -1 when marker `number` has not arrived (or lies beyond the capacity).
    int64_t FrameOf(uint32_t number) const { return number < m_frameOf.size() ? m_frameOf[number] : -1; }
    // Markers that arrived more than once: a half the device received twice.
    uint64_t Repeats() const { return m_repeats; }

private:
    std::vector<int64_t> m_frameOf;
    uint64_t m_frames = 0;
    uint64_t m_repeats = 0;
};

struct LatencyInput {
    // When each switch's callback returned (steady-clock ns, 0 unknown): switch k filled the half with
    // marker k + 1 (the half filled before start carries marker 0).
    std::span<const int64_t> switchReturnNs;
    // When write w's first frame left the device buffer (steady-clock ns, 0 unknown).
    std::span<const int64_t> firstFrameLeaveNs;
    uint64_t framesPerWrite = 0;
    // Switches before this one are not measured (they fill while the queue is being primed).
    size_t firstSwitch = 0;
    // The driver's mapping: switch k's half goes out as write k + writeOffset.
    size_t writeOffset = 0;
};

struct LatencySummary {
    size_t measured = 0;   // switches with a latency
    size_t offMapping = 0; // of those, halves carried by another write than the mapping says
    size_t misplaced = 0;  // markers found away from the start of a write (not measured)
    double medianUs = 0;
    double maxUs = 0;
};

// From each switch's return to the moment the first frame of the half it handed out left the device.
LatencySummary MeasureLatency(const LatencyInput& input, const MarkerScan& scan);

} // namespace bench
