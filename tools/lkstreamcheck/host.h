// The ASIO host side of lkstreamcheck: callbacks that fill each half with the next frames of the test
// stream (half 1 before start, as hosts do), check the positions, indices and input buffers they are
// handed, and count the driver's messages; and one played stream from format selection to
// disposeBuffers.
#pragma once

#include "platform/asio.h"

#include <atomic>
#include <cstdint>

namespace lkcheck {

struct HostState {
    ASIOBufferInfo infos[2]{};
    int32_t words = 0;             // 32-bit words per half and channel
    int32_t samples = 0;           // the buffer size, in samples of the mode
    uint32_t silence = 0;          // the mode's silence word
    std::atomic<uint64_t> next{0}; // frames of the test stream handed out
    std::atomic<int> switches{0};
    std::atomic<int> resets{0};
    std::atomic<int> overloads{0};
    // Faults seen in the callbacks since the last start.
    std::atomic<int> positionFaults{0}; // a switch not one buffer after the one before (or not at 0)
    std::atomic<int> indexFaults{0};    // the first index not 0, or indices that do not alternate
    std::atomic<int> noisyInputs{0};    // input halves that were not the mode's silence
    int64_t lastPosition = -1;          // render thread only, reset before start
    int32_t lastIndex = -1;
    int target = 0; // buffer switches after which `done` is signalled
    HANDLE done = nullptr;
};
extern HostState g_host;
extern ASIOCallbacks g_callbacks;

struct StreamPlan {
    const char* name;
    bool dsd;
    double rate;
    int periods;
};

// Safety buffers the run expects the driver to use (the registry's value unless given on the command
// line); the checks of latency, lead-in and writes queued follow it.
extern int g_safety;
// The model's device buffer, which the driver reads as the device's latency.
constexpr int64_t kDeviceLatency100ns = 20000;

// Plays one stream through `driver` and checks what the model received; true when all passed.
bool PlayStream(IASIO* driver, const StreamPlan& plan);
// createBuffers for two outputs (or two inputs only) in the current format; the words per half in g_host.
ASIOError CreateOutputs(IASIO* driver);
ASIOError CreateInputs(IASIO* driver);
// Hands out half 1 and clears the counts of the last stream, as a host does before start.
void PrepareStart(int target);
// The samples the device holds at `rate`, rounded up.
int32_t DeviceShare(double rate);

// What meters and recorders do: a stream with input buffers only; its callbacks come at the stream's
// pace and its inputs are silent (the Larkspur has no capture path).
bool PlayInputOnly(IASIO* driver, const StreamPlan& plan);
// The I/O format selectors take PCM and DSD only; values that name no format change nothing.
void CheckIoFormats(IASIO* driver);

} // namespace lkcheck
