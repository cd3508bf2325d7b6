// A host for streaming tests: callbacks that record every buffer switch and fill the half they are
// handed with a pattern that names the period, so the device's record can be checked bit for bit.
#pragma once

#include "platform/asio.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace sim::larkspur {
class Device;
}

namespace testing_support {

// Polls `condition` every millisecond; false after `timeoutMs`.
bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs = 5000);
// driver->stop() on another thread while the stepped device completes writes, so the drain runs its
// course and stop returns without waiting out its bound.
void StopWhileCompleting(IASIO* driver, sim::larkspur::Device& device);

struct StreamHost {
    static constexpr size_t kRecordCapacity = 100000;

    // What the host answers to kAsioSupportsTimeInfo.
    bool timeInfo = false;
    ASIOCallbacks callbacks{};

    // Filled in createBuffers by the test: the output halves, in creation order.
    std::vector<ASIOBufferInfo> buffers;
    int32_t frames = 0;

    std::atomic<int> switches{0};
    std::atomic<int> resetRequests{0};    // kAsioResetRequest messages
    std::atomic<int> switchesAtReset{-1}; // switches done when the latest reset request came
    std::mutex mutex;
    std::vector<int32_t> indices;          // buffer index of every switch, in order
    std::vector<ASIOTime> times;           // the time info of every bufferSwitchTimeInfo
    std::vector<long> allocationsAtSwitch; // the render thread's allocation count at each switch
    // When set, every switch asks this driver for the sample position, as hosts do, and keeps it.
    std::atomic<IASIO*> askPosition{nullptr};
    std::vector<ASIOSamples> positions;
    std::vector<ASIOTimeStamp> stamps;

    // Called on the render thread inside a switch before the half is filled; may block.
    std::atomic<void (*)(int period)> duringSwitch{nullptr};
    // Called on the render thread inside a reset request.
    std::atomic<void (*)()> duringReset{nullptr};

    StreamHost();
    ~StreamHost();
    StreamHost(const StreamHost&) = delete;
    StreamHost& operator=(const StreamHost&) = delete;

    // The word the host writes at frame j of buffer b in period k.
    static int32_t Word(int period, int buffer, int32_t frame) {
        return static_cast<int32_t>((static_cast<uint32_t>(period) << 20) |
                                    (static_cast<uint32_t>(buffer) << 16) |
                                    static_cast<uint32_t>(frame & 0xFFFF));
    }

    // The period whose pattern the first switch writes: 1 once half 1 was filled before start.
    int firstSwitchPeriod = 0;
    // Writes period `period`'s pattern into half `index` of every buffer.
    void FillHalf(int32_t index, int period);
    // As a host that plays from the first sample: half 1 holds period 0 before start, so the device
    // receives the periods in order from 0.
    void FillFirstHalf();

    // Polls until at least `count` switches happened; false after `timeoutMs`.
    bool WaitForSwitches(int count, unsigned timeoutMs = 5000) const;
    // createBuffers with output channels 0 and 1 and these callbacks; on success the host fills
    // `frames` words of each half (the buffer size in PCM, a 32nd of it in DSD), half 1 at once.
    ASIOError CreateStereo(IASIO* driver, int32_t bufferSize, int32_t frames);
    std::vector<int32_t> Indices();
};

} // namespace testing_support
