#include "asio/render_thread.h"

#include "asio/asio_larkspur.h"
#include "asio/packing.h"
#include "ks/audio_pin.h"

#include <atomic>
#include <cmath>
#include <cstring>

namespace {

// Shared with the render thread.
std::atomic<ASIOLarkspur*> g_renderDriver{nullptr};
std::atomic<bool> g_stopRequested{false};
StreamPacket g_streamPackets[kStreamPackets];
alignas(64) uint8_t g_ringBuffers[kRingSlots][kRingSlotBytes];

// Used by the host's threads only.
HANDLE g_renderThread = nullptr;
// A thread that StopRenderThread stopped waiting for, and the driver it serves.
HANDLE g_drainingThread = nullptr;
ASIOLarkspur* g_drainingDriver = nullptr;

constexpr const char kSchedulerTask[] = "Pro Audio";

bool IsCompletion(DWORD wait) {
    return wait < WAIT_OBJECT_0 + kStreamPackets;
}

// The lower 32 bits of a non-negative value, or 0 when it has none to give.
uint32_t Low32(double value) {
    if (!(value >= 0.0) || !(value < 18446744073709551616.0))
        return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(value));
}

} // namespace

DWORD CompletionWaitMilliseconds(int32_t frames, uint32_t framesPerSecond) {
    if (framesPerSecond == 0 || frames <= 0)
        return kMinimumCompletionWaitMilliseconds;
    const double fourPeriods = std::ceil(4000.0 * frames / framesPerSecond);
    if (fourPeriods <= kMinimumCompletionWaitMilliseconds)
        return kMinimumCompletionWaitMilliseconds;
    if (fourPeriods >= kMaximumCompletionWaitMilliseconds)
        return kMaximumCompletionWaitMilliseconds;
    return static_cast<DWORD>(fourPeriods);
}

void StampSystemTime(ASIOTimeStamp* stamp) {
    const double nanoseconds = timeGetTime() * 1000000.0;
    stamp->hi = static_cast<uint32_t>(nanoseconds * (1.0 / 4294967296.0));
    stamp->lo = static_cast<uint32_t>(nanoseconds - stamp->hi * 4294967296.0);
}

void SwitchWithTimeInfo(ASIOLarkspur* driver, ASIOCallbacks* callbacks) {
    AsioTimeInfo& info = driver->m_asioTime.timeInfo;
    const uint64_t position = driver->m_switchPosition.load(std::memory_order_relaxed);
    info.samplePosition.hi = static_cast<uint32_t>(position >> 32);
    info.samplePosition.lo = static_cast<uint32_t>(position);
    info.systemTime = driver->m_periodTimeStamp.load(std::memory_order_relaxed);
    if (driver->m_timeCodeRead.load(std::memory_order_relaxed)) {
        // The time code runs ten minutes' worth of samples ahead of the position.
        ASIOSamples& code = driver->m_asioTime.timeCode.timeCodeSamples;
        code.hi = 0;
        code.lo = Low32(static_cast<double>(info.samplePosition.lo) + driver->m_sampleRate.load() * 600.0);
    }
    if (callbacks->bufferSwitchTimeInfo)
        callbacks->bufferSwitchTimeInfo(&driver->m_asioTime, driver->m_bufferIndex, ASIOFalse);
    std::atomic_ref<uint32_t>(info.flags)
        .fetch_and(~static_cast<uint32_t>(kSampleRateChanged | kClockSourceChanged));
}

void ASIOLarkspur::PublishSwitch(uint64_t position, ASIOTimeStamp stamp) {
    const uint32_t sequence = m_positionSequence.load(std::memory_order_relaxed);
    m_positionSequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    m_switchPosition.store(position, std::memory_order_relaxed);
    m_periodTimeStamp.store(stamp, std::memory_order_relaxed);
    m_positionSequence.store(sequence + 2, std::memory_order_release);
}

void ProcessPeriod(ASIOLarkspur* driver, uint64_t& period) {
    ASIOCallbacks* callbacks = driver->m_callbacks.load();
    if (!driver->m_running.load() || !callbacks)
        return;
    // The k-th switch after start stands at k buffers, whatever the device reports.
    ASIOTimeStamp stamp;
    StampSystemTime(&stamp);
    driver->PublishSwitch(period * driver->m_streamBufferSamples, stamp);
    if (driver->m_timeInfoMode)
        SwitchWithTimeInfo(driver, callbacks);
    else if (callbacks->bufferSwitch)
        callbacks->bufferSwitch(driver->m_bufferIndex, ASIOFalse);
    driver->m_bufferIndex = driver->m_bufferIndex == 0 ? 1 : 0;
    ++period;
}

DWORD WINAPI RenderThreadProc(LPVOID) {
    ASIOLarkspur* const driver = g_renderDriver.load();
    DWORD taskIndex = 0;
    HANDLE task = AvSetMmThreadCharacteristicsA(kSchedulerTask, &taskIndex);

    const int32_t frames = driver->m_bufferFrames;
    const ULONG bytes = static_cast<ULONG>(frames) * kFrameBytes;
    const DWORD waitLimit = CompletionWaitMilliseconds(frames, driver->m_streamFramesPerSecond);
    CKsAudPin* const pin = driver->m_renderPin.load();
    // The first output buffer the host created is left, the second right; one buffer feeds both.
    auto pack = [driver, frames](int half, uint8_t* slot) {
        const int32_t* left = driver->m_outputBuffers[0] + static_cast<ptrdiff_t>(half) * frames;
        const int32_t* right = driver->m_numOutputBuffers >= 2
                                   ? driver->m_outputBuffers[1] + static_cast<ptrdiff_t>(half) * frames
                                   : left;
        PackHalf(slot, left, right, frames, driver->m_ioFormat);
    };

    uint64_t period = 0;
    HANDLE events[kStreamPackets] = {};
    bool eventsReady = true;
    for (int i = 0; i < kStreamPackets; ++i) {
        StreamPacket& packet = g_streamPackets[i];
        std::memset(&packet, 0, sizeof packet);
        events[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        eventsReady = eventsReady && events[i];
        packet.Header.Size = sizeof(KSSTREAM_HEADER);
        packet.Header.PresentationTime.Numerator = 1;
        packet.Header.PresentationTime.Denominator = 1;
        packet.Header.FrameExtent = bytes;
        packet.Header.DataUsed = bytes;
        packet.Header.Data = g_ringBuffers[0];
        packet.Overlapped.hEvent = events[i];
    }

    // Without its events the thread could never learn of a completion: it streams nothing.
    if (eventsReady && pin) {
        // Priming: two periods, the first write carrying the first period's half 0, a third period
        // refilling half 0. From then on each completion packs the half it is about to hand out, which
        // still holds the period before last: every half the host fills is sent once, in order.
        ProcessPeriod(driver, period);
        ProcessPeriod(driver, period);
        pack(0, g_ringBuffers[1]);
        g_streamPackets[0].Header.Data = g_ringBuffers[1];
        bool inFlight = SUCCEEDED(pin->WriteData(&g_streamPackets[0].Header, &g_streamPackets[0].Overlapped));
        ProcessPeriod(driver, period);

        // Streaming: every completion packs the next half and resubmits the packet that completed.
        int ring = 0;
        while (inFlight) {
            const DWORD wait = WaitForMultipleObjects(kStreamPackets, events, FALSE, waitLimit);
            if (wait == WAIT_FAILED || wait == WAIT_TIMEOUT)
                break;
            if (IsCompletion(wait)) {
                StreamPacket& packet = g_streamPackets[wait - WAIT_OBJECT_0];
                ring = (ring + 1) % kRingSlots;
                pack(driver->m_bufferIndex, g_ringBuffers[ring]);
                packet.Header.Data = g_ringBuffers[ring];
                // A write the device refuses never completes: end the stream instead of waiting for it.
                inFlight = SUCCEEDED(pin->WriteData(&packet.Header, &packet.Overlapped));
                ProcessPeriod(driver, period);
            }
            if (g_stopRequested.load())
                break;
        }

        // Drain: tell the device the stream ends, then follow with silence as far as the device takes it.
        pin->SetDeviceMode(DEVICE_MODE_STREAM_END);
        const bool dsd = driver->m_ioFormat.load() == kASIODSDFormat;
        ring = 0;
        for (int pass = 0; pass < kDrainPasses; ++pass) {
            DWORD wait = WAIT_OBJECT_0;
            if (inFlight) {
                wait = WaitForMultipleObjects(kStreamPackets, events, FALSE, waitLimit);
                if (wait == WAIT_FAILED || wait == WAIT_TIMEOUT)
                    break;
                if (!IsCompletion(wait))
                    continue;
            }
            StreamPacket& packet = g_streamPackets[wait - WAIT_OBJECT_0];
            ring = (ring + 1) % kRingSlots;
            FillSilence(g_ringBuffers[ring], frames, dsd);
            packet.Header.Data = g_ringBuffers[ring];
            inFlight = SUCCEEDED(pin->WriteData(&packet.Header, &packet.Overlapped));
            if (!inFlight)
                break;
            ProcessPeriod(driver, period);
        }
    }

    for (HANDLE& event : events)
        if (event)
            CloseHandle(event);
    if (task)
        AvRevertMmThreadCharacteristics(task);
    if (CKsAudPin* closing = driver->TakePinForClosing())
        closing->ClosePin();
    return 0;
}

bool StartRenderThread(ASIOLarkspur* driver) {
    g_renderDriver.store(driver);
    g_stopRequested.store(false);
    g_renderThread = CreateThread(nullptr, 0, &RenderThreadProc, nullptr, 0, nullptr);
    return g_renderThread != nullptr;
}

ASIOLarkspur* StreamingDriver() {
    if (!g_renderThread)
        return nullptr;
    if (WaitForSingleObject(g_renderThread, 0) == WAIT_OBJECT_0) {
        // The thread ended on its own (the device stopped taking data).
        CloseHandle(g_renderThread);
        g_renderThread = nullptr;
        return nullptr;
    }
    return g_renderDriver.load();
}

void StopRenderThread(ASIOLarkspur* driver) {
    // Another driver object's stream is not this one's to stop.
    if (g_renderDriver.load() != driver)
        return;
    g_stopRequested.store(true);
    if (!g_renderThread)
        return;
    if (WaitForSingleObject(g_renderThread, kStopWaitMilliseconds) == WAIT_OBJECT_0) {
        CloseHandle(g_renderThread);
    } else {
        g_drainingThread = g_renderThread;
        g_drainingDriver = driver;
    }
    g_renderThread = nullptr;
}

void WaitForRenderThreadEnd(ASIOLarkspur* driver) {
    if (!g_drainingThread || (driver && g_drainingDriver != driver))
        return;
    WaitForSingleObject(g_drainingThread, INFINITE);
    CloseHandle(g_drainingThread);
    g_drainingThread = nullptr;
    g_drainingDriver = nullptr;
}
