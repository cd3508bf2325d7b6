#include "asio/render_loop.h"

#include "asio/device_watch.h"
#include "asio/packing.h"
#include "ks/audio_pin.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace {

constexpr const char kStoppedTakingAudio[] = "The Larkspur stopped taking audio";
constexpr const char kDisconnected[] = "The Larkspur was disconnected";

// The bound for any one wait of the host's own clock, so a lost timer never stalls the host for good.
constexpr DWORD kOwnClockWaitMilliseconds = 1000;
// A host this many periods behind its own clock (a callback that took long) resumes the pace from now.
constexpr int64_t kMostPeriodsCaughtUp = 4;

constexpr DWORD kMinimumCompletionWaitMilliseconds = 1000;
constexpr DWORD kMaximumCompletionWaitMilliseconds = 60000;
constexpr DWORD kMinimumDrainWaitMilliseconds = 250;

int64_t Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t Frequency() {
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
        return 1000;
    return frequency.QuadPart;
}

} // namespace

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

bool MeansRanDry(const KSAUDIO_POSITION& position) {
    return position.WriteOffset > 0 && position.PlayOffset >= position.WriteOffset;
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

int64_t SwitchDueTicks(uint64_t period, int32_t frames, uint32_t framesPerSecond, int64_t frequency) {
    if (framesPerSecond == 0 || frames <= 0)
        return 0;
    // Exact in integers, so the pace does not drift however long the stream runs.
    const __int128 ticks = static_cast<__int128>(period) * frames * frequency / framesPerSecond;
    return ticks > INT64_MAX ? INT64_MAX : static_cast<int64_t>(ticks);
}

void WriteQueue::Reset(StreamMemory* memory, const StreamHandles* handles, ULONG bytes) {
    m_memory = memory;
    m_handles = handles;
    m_head = 0;
    m_count = 0;
    for (int i = 0; i < kStreamPackets; ++i) {
        StreamPacket& packet = memory->packets[i];
        std::memset(&packet, 0, sizeof packet);
        packet.Header.Size = sizeof(KSSTREAM_HEADER);
        packet.Header.PresentationTime.Numerator = 1;
        packet.Header.PresentationTime.Denominator = 1;
        packet.Header.FrameExtent = bytes;
        packet.Header.DataUsed = bytes;
        packet.Header.Data = memory->slots[i];
        packet.Overlapped.hEvent = handles->writes[i];
    }
}

bool WriteQueue::Submit(CKsAudPin* pin) {
    if (m_count >= kStreamPackets) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    StreamPacket& packet = m_memory->packets[Index(m_count)];
    if (FAILED(pin->WriteData(&packet.Header, &packet.Overlapped)))
        return false;
    ++m_count;
    return true;
}

void WriteQueue::RetireOldest() {
    if (m_count == 0)
        return;
    m_head = Index(1);
    --m_count;
}

void WriteQueue::CancelAll(CKsAudPin* pin, DWORD milliseconds) {
    // A write the device never completed is cancelled before the pin closes: its OVERLAPPED and slot are
    // the next stream's, and a late completion must not land there.
    while (m_count > 0) {
        StreamPacket& packet = Oldest();
        if (pin->CancelWrite(&packet.Overlapped))
            WaitForSingleObject(OldestEvent(), milliseconds);
        RetireOldest();
    }
}

RenderLoop::RenderLoop(RenderClient& client, const StreamSetup& setup, const StreamHandles& handles,
                       StreamMemory& memory, const std::atomic<bool>& stopRequested)
    : m_client(client), m_setup(setup), m_handles(handles), m_memory(memory), m_stopRequested(stopRequested),
      m_pin(setup.pin), m_waitLimit(CompletionWaitMilliseconds(setup.frames, setup.framesPerSecond)),
      m_drainLimit(DrainWaitMilliseconds(setup.frames, setup.framesPerSecond)), m_frequency(Frequency()) {
    m_queue.Reset(&memory, &handles, static_cast<ULONG>(setup.frames) * kFrameBytes);
    memory.probe.Attach(m_pin, handles.position);
}

void RenderLoop::Run() {
    const Outcome outcome = Prime() ? Stream() : Outcome::Failed;
    if (outcome == Outcome::Stopped)
        Drain();
    else
        RunOwnClock();
    ClosePin();
}

void RenderLoop::Fill(int half, uint8_t* slot) const {
    if (!m_setup.left[half])
        FillSilence(slot, m_setup.frames, m_setup.dsd);
    else
        PackHalf(slot, m_setup.left[half], m_setup.right[half], m_setup.frames,
                 m_setup.dsd ? kASIODSDFormat : kASIOPCMFormat);
}

bool RenderLoop::StopAsked() const {
    return m_stopRequested.load() || !m_client.HostListening();
}

void RenderLoop::Switch() {
    m_client.BufferSwitch(m_period, m_index);
    ++m_period;
}

// The standard double buffer: half 1 as the host left it goes first, behind the safety writes of
// silence, and the host fills half 0 while it plays.
bool RenderLoop::Prime() {
    m_startTicks = Ticks();
    for (int32_t i = 0; i < m_setup.safety; ++i) {
        FillSilence(m_queue.NextSlot(), m_setup.frames, m_setup.dsd);
        if (!m_queue.Submit(m_pin)) {
            LoseDevice(GetLastError(), true);
            return false;
        }
    }
    Fill(1, m_queue.NextSlot());
    if (!m_queue.Submit(m_pin)) {
        LoseDevice(GetLastError(), true);
        return false;
    }
    m_index = 0;
    Switch();
    return true;
}

// Each completion sends the half the host filled in its latest switch and hands it the other one. Every
// way out of the wait but a completion that went well ends the stream, so the loop never spins.
RenderLoop::Outcome RenderLoop::Stream() {
    while (!StopAsked()) {
        const HANDLE waits[2] = {m_queue.OldestEvent(), m_handles.stop};
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, m_waitLimit);
        if (wait == WAIT_OBJECT_0 + 1)
            break;
        if (wait != WAIT_OBJECT_0) {
            // Timed out, failed or abandoned: the device no longer answers.
            LoseDevice(0, false);
            return Outcome::Failed;
        }
        const ULONG_PTR status = m_queue.Oldest().Overlapped.Internal;
        m_queue.RetireOldest();
        if (status != 0) {
            LoseDevice(status, true);
            return Outcome::Failed;
        }
        const bool dry = DeviceRanDry();
        Fill(m_index, m_queue.NextSlot());
        if (!m_queue.Submit(m_pin)) {
            LoseDevice(GetLastError(), true);
            return Outcome::Failed;
        }
        m_index ^= 1;
        Switch();
        if (dry && m_client.HostListening()) {
            m_client.CountOverload();
            m_client.Message(kAsioOverload);
        }
        CheckRateChange();
    }
    return Outcome::Stopped;
}

bool RenderLoop::DeviceRanDry() {
    KSAUDIO_POSITION position;
    return m_memory.probe.Read(&position) == CKsPositionProbe::Reading::Known && MeansRanDry(position);
}

void RenderLoop::CheckRateChange() {
    // A rate the host set while streaming needs a new stream: ask the host, between periods.
    if (m_client.TakeRateChange() && !m_resetSent && m_client.HostListening()) {
        m_resetSent = true;
        m_client.Message(kAsioResetRequest);
    }
}

// Stopped: once the queued writes are back, tell the device the stream ends and follow with silence as
// far as it takes it. A device that does not answer is not drained.
void RenderLoop::Drain() {
    auto awaitOldest = [this] {
        if (WaitForSingleObject(m_queue.OldestEvent(), m_drainLimit) != WAIT_OBJECT_0) {
            m_deviceAnswers = false;
            return false;
        }
        const bool done = m_queue.Oldest().Overlapped.Internal == 0;
        m_queue.RetireOldest();
        return done;
    };
    bool draining = true;
    while (draining && m_queue.Count() > 0)
        draining = awaitOldest();
    if (draining) {
        m_pin->SetDeviceMode(DEVICE_MODE_STREAM_END);
        for (int pass = 0; pass < kDrainPasses && draining; ++pass) {
            FillSilence(m_queue.NextSlot(), m_setup.frames, m_setup.dsd);
            draining = m_queue.Submit(m_pin) && awaitOldest();
        }
    }
    m_client.SetDeviceUnresponsive(!m_deviceAnswers);
}

void RenderLoop::LoseDevice(uint64_t code, bool answering) {
    m_deviceAnswers = answering;
    m_client.SetDeviceUnresponsive(!answering);
    m_disconnected = MeansDeviceGone(code);
    m_client.StreamLost(m_disconnected ? kDisconnected : kStoppedTakingAudio);
    ClosePin();
    if (!m_resetSent && m_client.HostListening()) {
        m_resetSent = true;
        m_client.Message(kAsioResetRequest);
    }
}

void RenderLoop::ClosePin() {
    if (!m_pin)
        return;
    m_memory.probe.Cancel(kCancelWaitMilliseconds);
    m_queue.CancelAll(m_pin, kCancelWaitMilliseconds);
    if (CKsAudPin* closing = m_client.TakePin())
        closing->ClosePin();
    m_pin = nullptr;
}

// The device is gone but the host's clock is not: switches go on at the stream's pace, counted from the
// stream's start, until the host stops. Periods lost while the failure was found are not caught up.
void RenderLoop::RunOwnClock() {
    const int64_t period =
        std::max<int64_t>(1, SwitchDueTicks(1, m_setup.frames, m_setup.framesPerSecond, m_frequency));
    auto due = [this](uint64_t switchIndex) {
        return m_startTicks +
               SwitchDueTicks(switchIndex, m_setup.frames, m_setup.framesPerSecond, m_frequency);
    };
    int64_t shift = std::max<int64_t>(0, Ticks() - due(m_period));
    DeviceWatch watch(m_handles.watchQuit);
    watch.Start(m_disconnected);
    bool backReported = false;
    while (!StopAsked()) {
        const int64_t at = due(m_period) + shift;
        const int64_t ahead = at - Ticks();
        if (ahead > 0) {
            LARGE_INTEGER relative;
            relative.QuadPart = -std::max<int64_t>(
                1, static_cast<int64_t>(static_cast<__int128>(ahead) * 10000000 / m_frequency));
            const HANDLE waits[2] = {m_handles.stop, m_handles.timer};
            if (SetWaitableTimer(m_handles.timer, &relative, 0, nullptr, nullptr, FALSE)) {
                if (WaitForMultipleObjects(2, waits, FALSE, kOwnClockWaitMilliseconds) == WAIT_OBJECT_0)
                    break;
            } else if (WaitForSingleObject(m_handles.stop, static_cast<DWORD>(ahead * 1000 / m_frequency +
                                                                              1)) == WAIT_OBJECT_0) {
                break;
            }
            if (StopAsked())
                break;
            if (Ticks() < at)
                continue;
        } else if (-ahead > kMostPeriodsCaughtUp * period) {
            shift += -ahead;
        }
        if (m_period > 0)
            m_index ^= 1;
        Switch();
        // The lost device is back: a host that acts on the request resumes on it by itself.
        if (!backReported && watch.Found() && m_client.HostListening()) {
            backReported = true;
            m_client.Message(kAsioResetRequest);
        }
        CheckRateChange();
    }
    CancelWaitableTimer(m_handles.timer);
    watch.Stop();
}
