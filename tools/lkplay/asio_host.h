// The ASIO host side of lkplay: sets the driver up for one file, feeds its output buffers from the
// queue in the buffer-switch callbacks, and takes it down again. ASIO callbacks carry no context, so
// one host is active per process (as there is one driver).
#pragma once

#include "tools/common/asio_names.h"

#include "platform/asio.h"
#include "tools/lkplay/frame.h"
#include "tools/lkplay/spsc_queue.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace lkplay {

struct HostSettings {
    bool dsd = false;
    double rate = 44100;    // PCM sample rate, or DSD bit rate
    int32_t bufferSize = 0; // samples per channel; 0 takes the driver's preferred size
    bool timeInfo = true;   // take bufferSwitchTimeInfo when the driver offers it
    // Silence before the file, for a driver that drops or repeats what the host writes while it
    // primes. None: every half from the first period on must reach the device.
    int leadInPeriods = 0;
    // Silence after the file, so its last frames reach the device before the stream stops.
    int tailPeriods = 4;
};

enum class HostStep { Init, Channels, IoFormat, SampleRate, BufferSize, ChannelType, CreateBuffers, Start };

struct HostFailure {
    HostStep step = HostStep::Init;
    ASIOError code = ASE_OK;
    std::string message; // what went wrong, with the driver's own error text when it gave one
};

struct HostStats {
    uint64_t callbacks = 0;
    uint64_t timeInfoCallbacks = 0;
    uint64_t framesPlayed = 0;  // frames of the file handed to the driver
    uint64_t latePeriods = 0;   // periods short of audio: the decoder had not filled them in time
    uint64_t lateCallbacks = 0; // callbacks that came more than half a period after they were due
    uint64_t overloads = 0;     // kAsioOverload messages from the driver
    uint64_t resetRequests = 0; // kAsioResetRequest, kAsioBufferSizeChange
    uint64_t rateChanges = 0;   // sampleRateDidChange calls
};

class AsioHost {
public:
    AsioHost(IASIO* driver, SpscQueue<Frame>* queue);
    ~AsioHost();
    AsioHost(const AsioHost&) = delete;
    AsioHost& operator=(const AsioHost&) = delete;

    // init, the channels and the I/O format of settings.dsd: then the driver answers for rates.
    bool Open(const HostSettings& settings, HostFailure* failure);
    // canSampleRate, once open.
    ASIOError CanSampleRate(double rate);
    // Open as far as not done, then sample rate, buffer size, output type check, createBuffers.
    bool Prepare(const HostSettings& settings, HostFailure* failure);
    bool Start(HostFailure* failure);
    // The decoder has pushed its last frame; once the queue is empty the host plays silence.
    void EndOfInput() { m_inputEnded.store(true, std::memory_order_release); }
    // The file and the silence after it have been handed to the driver.
    bool Finished() const { return m_finished.load(std::memory_order_acquire); }
    // The driver asked for a reset (kAsioResetRequest): the stream cannot go on as it is.
    bool ResetRequested() const { return m_resetRequested.load(std::memory_order_acquire); }
    // stop and disposeBuffers, as far as they are due; safe to call more than once.
    void Shutdown();

    HostStats Stats() const;
    int32_t bufferSize() const { return m_bufferSize; }
    int32_t halfFrames() const { return m_halfFrames; }
    // Monotonic nanoseconds of the latest callback, 0 before the first.
    int64_t lastCallbackNs() const { return m_lastCallbackNs.load(std::memory_order_relaxed); }
    std::string DriverMessage() const;

    // The callback entry points (public for the trampolines).
    void OnBufferSwitch(int32_t index, bool timeInfo);
    int32_t OnMessage(int32_t selector, int32_t value);
    void OnRateChange();

private:
    bool Fail(HostFailure* failure, HostStep step, ASIOError code, const std::string& what);

    IASIO* m_driver;
    SpscQueue<Frame>* m_queue;
    HostSettings m_settings;
    ASIOCallbacks m_callbacks{};
    uint32_t* m_out[2][2]{}; // [channel][half]
    int32_t m_bufferSize = 0;
    int32_t m_halfFrames = 0;
    int64_t m_periodNs = 0;
    bool m_opened = false;
    bool m_buffersCreated = false;
    bool m_started = false;

    // Render-thread only.
    int m_leadInLeft = 0;
    int m_tailDone = 0;
    bool m_drained = false;
    int64_t m_previousCallbackNs = 0;

    std::atomic<bool> m_inputEnded{false};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_resetRequested{false};
    std::atomic<int64_t> m_lastCallbackNs{0};
    std::atomic<uint64_t> m_callbacksCount{0}, m_timeInfoCount{0}, m_framesPlayed{0}, m_latePeriods{0},
        m_lateCallbacks{0}, m_overloads{0}, m_resetRequests{0}, m_rateChanges{0};
};

using lktool::AsioErrorName;
const char* HostStepName(HostStep step);

} // namespace lkplay
