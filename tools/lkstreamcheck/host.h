// The ASIO host side of lkstreamcheck: callbacks that fill each half with the next frames of the test
// stream, and one played stream from format selection to disposeBuffers.
#pragma once

#include "platform/asio.h"

#include <atomic>
#include <cstdint>

namespace lkcheck {

struct HostState {
    ASIOBufferInfo infos[2]{};
    int32_t words = 0;             // 32-bit words per half and channel
    std::atomic<uint64_t> next{0}; // frames of the test stream handed out
    std::atomic<int> switches{0};
    std::atomic<int> resets{0};
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

// Plays one stream through `driver` and checks what the model received; true when all passed.
bool PlayStream(IASIO* driver, const StreamPlan& plan);
// createBuffers for two outputs in the current format; the words per half in g_host.
ASIOError CreateOutputs(IASIO* driver);

} // namespace lkcheck
