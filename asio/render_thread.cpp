#include "asio/render_thread.h"

#include "asio/asio_larkspur.h"
#include "asio/packing.h"
#include "ks/audio_pin.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {

// Shared with the render thread.
std::atomic<ASIOLarkspur*> g_renderDriver{nullptr};
std::atomic<bool> g_stopRequested{false};
// Set by the render thread before it destroys the object it served (a final Release in a callback).
std::atomic<bool> g_ownerGone{false};
StreamPacket g_streamPackets[kStreamPackets];
alignas(64) uint8_t g_ringBuffers[kRingSlots][kRingSlotBytes];
// Made before the thread and closed after it ended, so both sides may use them meanwhile; the stop
// event comes last in the wait array.
HANDLE g_waitEvents[kStreamPackets + 1] = {};
// The driver the calling thread serves as its render thread.
thread_local const ASIOLarkspur* t_servedDriver = nullptr;

// Used by the host's threads only, under g_streamLock.
std::recursive_mutex g_streamLock;
HANDLE g_renderThread = nullptr;
// The object whose thread g_renderThread is (compared, never used: it may be ending).
const ASIOLarkspur* g_threadOwner = nullptr;

constexpr const char kSchedulerTask[] = "Pro Audio";
constexpr DWORD kStopEventIndex = kStreamPackets;

constexpr const char kStoppedTakingAudio[] = "The Larkspur stopped taking audio";
constexpr const char kDisconnected[] = "The Larkspur was disconnected";

bool IsCompletion(DWORD wait) {
    return wait < WAIT_OBJECT_0 + kStreamPackets;
}

// The lower 32 bits of a non-negative value, or 0 when it has none to give.
uint32_t Low32(double value) {
    if (!(value >= 0.0) || !(value < 18446744073709551616.0))
        return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(value));
}

void CloseWaitEvents() {
    for (HANDLE& event : g_waitEvents) {
        if (event)
            CloseHandle(event);
        event = nullptr;
    }
}

// Under g_streamLock, with the thread ended: its handle and events go.
void ReapThread() {
    CloseHandle(g_renderThread);
    g_renderThread = nullptr;
    g_threadOwner = nullptr;
    CloseWaitEvents();
}

bool ThreadEnded(DWORD milliseconds) {
    return WaitForSingleObject(g_renderThread, milliseconds) == WAIT_OBJECT_0;
}

// How a stream ended on its own, for the host's error text.
enum class StreamEnd { Running, StoppedTakingAudio, Disconnected };

StreamEnd Failure(uint64_t code) {
    return MeansDeviceGone(code) ? StreamEnd::Disconnected : StreamEnd::StoppedTakingAudio;
}

// Asks the host to tear the stream down and set it up again, at its own pace.
void RequestReset(ASIOCallbacks* callbacks) {
    if (callbacks && callbacks->asioMessage)
        callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
}

} // namespace

StreamLock::StreamLock() {
    g_streamLock.lock();
}

StreamLock::~StreamLock() {
    g_streamLock.unlock();
}

bool MeansDeviceGone(uint64_t code) {
    switch (code) {
    case 55:         // ERROR_DEV_NOT_EXIST
    case 433:        // ERROR_NO_SUCH_DEVICE
    case 1167:       // ERROR_DEVICE_NOT_CONNECTED
    case 1617:       // ERROR_DEVICE_REMOVED
    case 0xC000000E: // STATUS_NO_SUCH_DEVICE
    case 0xC000009D: // STATUS_DEVICE_NOT_CONNECTED
    case 0xC00000C0: // STATUS_DEVICE_DOES_NOT_EXIST
    case 0xC00002B6: // STATUS_DEVICE_REMOVED
        return true;
    default:
        return false;
    }
}

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

DWORD DrainWaitMilliseconds(int32_t frames, uint32_t framesPerSecond) {
    const DWORD limit = CompletionWaitMilliseconds(frames, framesPerSecond);
    if (framesPerSecond == 0 || frames <= 0)
        return kMinimumDrainWaitMilliseconds;
    const double twoPeriods = std::ceil(2000.0 * frames / framesPerSecond);
    if (twoPeriods <= kMinimumDrainWaitMilliseconds)
        return kMinimumDrainWaitMilliseconds;
    return twoPeriods >= limit ? limit : static_cast<DWORD>(twoPeriods);
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
    // Sequentially consistent throughout: a reader that saw the same even count before and after its
    // reads has read one switch's pair. Once per period, so the cost does not matter.
    const uint32_t sequence = m_positionSequence.load();
    m_positionSequence.store(sequence + 1);
    m_switchPosition.store(position);
    m_periodTimeStamp.store(stamp);
    m_positionSequence.store(sequence + 2);
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
    t_servedDriver = driver;
    DWORD taskIndex = 0;
    HANDLE task = AvSetMmThreadCharacteristicsA(kSchedulerTask, &taskIndex);

    const int32_t frames = driver->m_bufferFrames;
    const ULONG bytes = static_cast<ULONG>(frames) * kFrameBytes;
    const DWORD waitLimit = CompletionWaitMilliseconds(frames, driver->m_streamFramesPerSecond);
    const DWORD drainLimit = DrainWaitMilliseconds(frames, driver->m_streamFramesPerSecond);
    CKsAudPin* const pin = driver->m_renderPin.load();
    // The first output buffer the host created is left, the second right; one buffer feeds both.
    auto pack = [driver, frames](int half, uint8_t* slot) {
        const int32_t* left = driver->m_outputBuffers[0] + static_cast<ptrdiff_t>(half) * frames;
        const int32_t* right = driver->m_numOutputBuffers >= 2
                                   ? driver->m_outputBuffers[1] + static_cast<ptrdiff_t>(half) * frames
                                   : left;
        PackHalf(slot, left, right, frames, driver->m_ioFormat);
    };
    // The packet of the write in flight, if any.
    StreamPacket* pending = nullptr;
    auto submit = [pin, &pending](StreamPacket& packet, uint8_t* slot) {
        packet.Header.Data = slot;
        if (FAILED(pin->WriteData(&packet.Header, &packet.Overlapped)))
            return false;
        pending = &packet;
        return true;
    };
    auto stopAsked = [] { return g_stopRequested.load(); };

    for (int i = 0; i < kStreamPackets; ++i) {
        StreamPacket& packet = g_streamPackets[i];
        std::memset(&packet, 0, sizeof packet);
        packet.Header.Size = sizeof(KSSTREAM_HEADER);
        packet.Header.PresentationTime.Numerator = 1;
        packet.Header.PresentationTime.Denominator = 1;
        packet.Header.FrameExtent = bytes;
        packet.Header.DataUsed = bytes;
        packet.Header.Data = g_ringBuffers[0];
        packet.Overlapped.hEvent = g_waitEvents[i];
    }

    uint64_t period = 0;
    StreamEnd end = StreamEnd::Running;
    bool resetSent = false;
    bool inFlight = false;
    bool deviceAnswers = true;
    int ring = 0;

    // Priming: two periods, the first write carrying the first period's half 0, a third period
    // refilling half 0. From then on each completion packs the half it is about to hand out, which
    // still holds the period before last: every half the host fills is sent once, in order.
    ProcessPeriod(driver, period);
    ProcessPeriod(driver, period);
    pack(0, g_ringBuffers[1]);
    if (submit(g_streamPackets[0], g_ringBuffers[1])) {
        inFlight = true;
        ProcessPeriod(driver, period);
    } else {
        end = Failure(GetLastError());
    }

    // Streaming: every completion packs the next half and resubmits the packet that completed. Every
    // way out of the wait but a completion that went well ends the loop, so it never spins.
    while (end == StreamEnd::Running && !stopAsked()) {
        const DWORD wait = WaitForMultipleObjects(kStreamPackets + 1, g_waitEvents, FALSE, waitLimit);
        if (wait == WAIT_OBJECT_0 + kStopEventIndex)
            break;
        if (!IsCompletion(wait)) {
            // Timed out, failed or abandoned: the device no longer answers.
            end = StreamEnd::StoppedTakingAudio;
            deviceAnswers = false;
            break;
        }
        StreamPacket& packet = g_streamPackets[wait - WAIT_OBJECT_0];
        inFlight = false;
        pending = nullptr;
        if (packet.Overlapped.Internal != 0) {
            end = Failure(packet.Overlapped.Internal);
            break;
        }
        ring = (ring + 1) % kRingSlots;
        pack(driver->m_bufferIndex, g_ringBuffers[ring]);
        if (!submit(packet, g_ringBuffers[ring])) {
            end = Failure(GetLastError());
            break;
        }
        inFlight = true;
        ProcessPeriod(driver, period);
        // A rate the host set while streaming needs a new stream: ask the host, between periods.
        if (driver->m_rateChangePending.exchange(false) && !resetSent && driver->m_running.load()) {
            resetSent = true;
            RequestReset(driver->m_callbacks.load());
        }
    }

    if (end != StreamEnd::Running) {
        // The stream died: the host stops hearing from us but for one reset request, and learns why.
        driver->m_deviceUnresponsive.store(!deviceAnswers);
        driver->m_streamError.store(end == StreamEnd::Disconnected ? kDisconnected : kStoppedTakingAudio);
        ASIOCallbacks* callbacks = driver->m_callbacks.load();
        const bool hostListening = driver->m_running.exchange(false);
        if (hostListening && !resetSent)
            RequestReset(callbacks);
    } else {
        // Stopped: once the write in flight is back, tell the device the stream ends and follow with
        // silence as far as it takes it. A device that does not answer is not drained.
        const bool dsd = driver->m_ioFormat.load() == kASIODSDFormat;
        bool draining = true;
        auto awaitWrite = [&]() -> StreamPacket* {
            const DWORD wait = WaitForMultipleObjects(kStreamPackets, g_waitEvents, FALSE, drainLimit);
            if (!IsCompletion(wait)) {
                deviceAnswers = false;
                return nullptr;
            }
            StreamPacket* packet = &g_streamPackets[wait - WAIT_OBJECT_0];
            pending = nullptr;
            return packet->Overlapped.Internal == 0 ? packet : nullptr;
        };
        StreamPacket* packet = &g_streamPackets[0];
        if (inFlight)
            packet = awaitWrite();
        if (packet) {
            pin->SetDeviceMode(DEVICE_MODE_STREAM_END);
            ring = 0;
            for (int pass = 0; pass < kDrainPasses && draining; ++pass) {
                if (pass > 0)
                    packet = awaitWrite();
                if (!packet)
                    break;
                ring = (ring + 1) % kRingSlots;
                FillSilence(g_ringBuffers[ring], frames, dsd);
                draining = submit(*packet, g_ringBuffers[ring]);
            }
        }
        driver->m_deviceUnresponsive.store(!deviceAnswers);
    }

    // A write the device never completed is cancelled before the pin closes: its OVERLAPPED and ring
    // slot are the next stream's, and a late completion must not land there.
    if (pending && pin->CancelWrite(&pending->Overlapped))
        WaitForSingleObject(pending->Overlapped.hEvent, kCancelWaitMilliseconds);

    if (task)
        AvRevertMmThreadCharacteristics(task);
    if (CKsAudPin* closing = driver->TakePinForClosing())
        closing->ClosePin();
    if (driver->m_destroyPending.load()) {
        // The host's final Release came from inside a callback: destroy the object now that nothing
        // of the stream uses it. The handles are cleaned up by the next host call that starts a stream.
        g_ownerGone.store(true);
        driver->DestroyDeferred();
    }
    t_servedDriver = nullptr;
    return 0;
}

bool IsRenderThreadOf(const ASIOLarkspur* driver) {
    return driver && t_servedDriver == driver;
}

StreamSlot ClaimStreamSlot(ASIOLarkspur* driver) {
    std::lock_guard lock(g_streamLock);
    if (!g_renderThread)
        return StreamSlot::Free;
    if (!ThreadEnded(0)) {
        const bool ours = g_threadOwner == driver && !g_ownerGone.load();
        if (ours && !g_stopRequested.load() && driver->m_running.load())
            return StreamSlot::OursRunning;
        if (ours) {
            // Our own thread, stopped or ended by the device and still finishing: the ring and the
            // packets are shared, so the new stream waits for it.
            ThreadEnded(INFINITE);
        } else if (g_ownerGone.load()) {
            // The thread of a destroyed object, in its last steps.
            if (!ThreadEnded(kOrphanWaitMilliseconds))
                return StreamSlot::OtherDriver;
        } else {
            return StreamSlot::OtherDriver;
        }
    }
    ReapThread();
    return StreamSlot::Free;
}

ThreadStart StartRenderThread(ASIOLarkspur* driver) {
    std::lock_guard lock(g_streamLock);
    for (int i = 0; i < kStreamPackets; ++i)
        g_waitEvents[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Manual reset: once stop is asked, every later wait sees it.
    g_waitEvents[kStopEventIndex] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (HANDLE event : g_waitEvents) {
        if (!event) {
            CloseWaitEvents();
            return ThreadStart::NoEvents;
        }
    }
    g_renderDriver.store(driver);
    g_stopRequested.store(false);
    g_ownerGone.store(false);
    g_renderThread = CreateThread(nullptr, 0, &RenderThreadProc, nullptr, 0, nullptr);
    if (!g_renderThread) {
        CloseWaitEvents();
        return ThreadStart::NoThread;
    }
    g_threadOwner = driver;
    return ThreadStart::Started;
}

void StopRenderThread(ASIOLarkspur* driver) {
    if (IsRenderThreadOf(driver)) {
        // Inside a callback: the loop sees the flag as soon as the callback returns.
        g_stopRequested.store(true);
        return;
    }
    std::lock_guard lock(g_streamLock);
    // Another driver object's stream is not this one's to stop.
    if (!g_renderThread || g_threadOwner != driver || g_ownerGone.load())
        return;
    g_stopRequested.store(true);
    SetEvent(g_waitEvents[kStopEventIndex]);
    // A thread that outlives the wait (a host callback that does not return) is cleaned up later.
    if (ThreadEnded(kStopWaitMilliseconds))
        ReapThread();
}

void WaitForRenderThreadEnd(ASIOLarkspur* driver) {
    if (IsRenderThreadOf(driver))
        return;
    std::lock_guard lock(g_streamLock);
    if (!g_renderThread || (driver && (g_threadOwner != driver || g_ownerGone.load())))
        return;
    ThreadEnded(INFINITE);
    ReapThread();
}
