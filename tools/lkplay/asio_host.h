// The ASIO host side of lkplay: sets the driver up for one file, fills output half 1 with the first
// period before start and then one half per buffer-switch callback from the queue, and takes the
// driver down again. With a replay history it can go on with the same stream on a new driver object
// from an earlier frame. ASIO callbacks carry no context, so one host is active per process (as there
// is one driver).
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
    uint64_t framesPlayed = 0;  // the stream's frames handed to the driver: where it stands in the stream
    uint64_t latePeriods = 0;   // periods short of audio: the decoder had not filled them in time
    uint64_t lateCallbacks = 0; // callbacks that came more than half a period after they were due
    uint64_t overloads = 0;     // kAsioOverload messages: the device ran out of audio (drop-outs)
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
    // Keeps the last `frames` frames taken from the queue, so that ResumeAt can go back to them.
    bool EnableReplay(size_t frames);
    // For a new driver object after Shutdown: Open or Prepare sets it up from the start.
    void SetDriver(IASIO* driver);
    // The next Start plays on from stream frame `frame`, without lead-in; false when the history no
    // longer holds it (or it lies ahead of what was handed out).
    bool ResumeAt(uint64_t frame);
    // The oldest stream frame ResumeAt can go back to.
    uint64_t OldestReplayable() const;
    // The stream frame that follows the first `halves` halves handed out since the latest Start;
    // false when the record of those halves is gone.
    bool StreamFrameAfterHalves(uint64_t halves, uint64_t* frame) const;
    // Since the latest Start: the halves handed out, and those handed out before the first reset
    // request.
    uint64_t HalvesOut() const { return m_halvesOut.load(std::memory_order_acquire); }
    uint64_t HalvesBeforeReset() const { return m_halvesAtReset.load(std::memory_order_acquire); }
    // Since the latest Start: the index of the first frame other than silence among the frames handed
    // out (halves one after the other), or -1.
    int64_t FirstSoundOut() const { return m_firstSoundOut.load(std::memory_order_acquire); }
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
    // Fills half `index` with the next period: lead-in, replayed or queued frames, silence after.
    void FillHalf(int32_t index);

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

    // Frames taken from the queue, kept for a resume; indexed by stream frame modulo the capacity.
    Frame* m_history = nullptr;
    size_t m_historyCapacity = 0;
    // The stream frame after each half handed out since Start, by half number modulo kHalfLog.
    static constexpr size_t kHalfLog = 1024;
    uint64_t m_halfEnds[kHalfLog]{};
    uint64_t m_sessionStart = 0; // the stream frame the latest Start began with
    bool m_resuming = false;     // the next Start plays on: no lead-in

    // The filling side: the main thread before start, then the render thread.
    int m_leadInLeft = 0;
    int m_tailDone = 0;
    bool m_drained = false;
    int64_t m_previousCallbackNs = 0;
    uint64_t m_position = 0; // the next stream frame to hand out
    uint64_t m_consumed = 0; // stream frames taken from the queue; above m_position while replaying

    std::atomic<bool> m_inputEnded{false};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_resetRequested{false};
    std::atomic<int64_t> m_lastCallbackNs{0};
    std::atomic<uint64_t> m_halvesOut{0}, m_halvesAtReset{0};
    std::atomic<int64_t> m_firstSoundOut{-1};
    std::atomic<uint64_t> m_callbacksCount{0}, m_timeInfoCount{0}, m_framesPlayed{0}, m_latePeriods{0},
        m_lateCallbacks{0}, m_overloads{0}, m_resetRequests{0}, m_rateChanges{0};
};

using lktool::AsioErrorName;
const char* HostStepName(HostStep step);

} // namespace lkplay
