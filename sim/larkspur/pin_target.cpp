// A created pin of the device: state, stream position, the vendor mode request and write-stream packets.
#include "sim/larkspur/targets.h"

#include "sim/threads.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sim::larkspur {

PinTarget::PinTarget(std::shared_ptr<Device> device, ULONG pinId, ULONG samplesPerSec, Clock clock)
    : m_device(std::move(device)), m_pinId(pinId), m_samplesPerSec(samplesPerSec), m_clock(clock),
      m_createdUnplugs(m_device->Unplugs()), m_rawPosition(m_device->Descriptor().rawPosition),
      m_fifo(m_device->FifoMicroseconds()) {
    if (clock == Clock::RealTime)
        m_clockThread = std::thread([this] { RunClock(); });
}

PinTarget::~PinTarget() {
    Shutdown();
}

void PinTarget::OnClose() {
    Shutdown();
}

void PinTarget::Shutdown() {
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return;
        m_closed = true;
        m_quit = true;
        m_state = KSSTATE_STOP;
    }
    m_wake.notify_all();
    if (m_clockThread.joinable())
        m_clockThread.join();
    // Closing a pin cancels what it still holds (a device that ignores cancellation keeps it).
    m_device->CancelHeld(this, nullptr);
    CancelAll();
    m_held.CancelAll();
    m_device->RunStopped(this);
    {
        std::lock_guard lock(m_mutex);
        m_device->KeepStreamStats(this, m_fifo.Stats(), m_mostPending, m_fifo.LeaveTimes(),
                                  m_fifo.LeaveCount());
    }
    m_device->ReleaseInstance(m_pinId);
}

DWORD PinTarget::IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                           DWORD* returned, OVERLAPPED* overlapped) {
    {
        std::lock_guard lock(m_mutex);
        ActiveFault(); // a hang that strikes now holds this request too
    }
    if (m_device->Hold(this, overlapped))
        return ERROR_IO_PENDING;
    if (code == IOCTL_KS_WRITE_STREAM)
        return Write(out, outSize, overlapped);
    if (const DWORD gate = GateRequest(Gone(), m_device->FaultHung(), overlapped, m_held);
        gate != ERROR_SUCCESS)
        return gate;
    switch (code) {
    case IOCTL_KS_PROPERTY:
        return Property(in, inSize, out, outSize, returned, overlapped);
    case kIoctlVendorSetMode: {
        if (!in || inSize != kModeRequestSize || out || outSize != 0)
            return ERROR_INVALID_PARAMETER;
        ULONG mode = 0;
        std::memcpy(&mode, in, sizeof mode);
        m_device->RecordMode(mode);
        {
            std::lock_guard lock(m_mutex);
            if (mode == kModeStreamEnd)
                m_fifo.StartDrain(NowNanoseconds());
            else if (mode == kModePcm || mode == kModeDsd)
                m_fifo.EndDrain();
        }
        *returned = 0;
        return m_device->Answer(ERROR_SUCCESS, 0, overlapped);
    }
    default:
        return kErrorInvalidFunction;
    }
}

// The render thread's path: no allocation here, only the fixed ring.
DWORD PinTarget::Write(void* out, DWORD outSize, OVERLAPPED* overlapped) {
    if (!overlapped || !out || outSize != sizeof(KSSTREAM_HEADER))
        return ERROR_INVALID_PARAMETER;
    auto* header = static_cast<KSSTREAM_HEADER*>(out);
    if (header->Size != sizeof(KSSTREAM_HEADER) || header->DataUsed > header->FrameExtent ||
        (header->DataUsed != 0 && !header->Data))
        return ERROR_INVALID_PARAMETER;
    bool wakeClock = false;
    {
        std::lock_guard lock(m_mutex);
        const FaultKind fault = ActiveFault();
        if (Gone())
            return kErrorDeviceNotConnected;
        if (fault == FaultKind::Refuse)
            return kErrorGenFailure;
        if (m_closed || m_state == KSSTATE_STOP)
            return kErrorBadCommand;
        if (m_count == m_ring.size())
            return kErrorNoSystemResources;
        if (m_clock == Clock::Stepped) {
            // The arrival plays what the device held; at a dry device it comes too late.
            if (m_dry && m_count == 0)
                m_fifo.CountUnderrun(m_dryInDrain);
            m_dry = false;
            m_playedBytes = m_completedBytes;
        }
        m_ring[(m_head + m_count) % m_ring.size()] = {header, overlapped, m_nextSequence++, NowNanoseconds()};
        ++m_count;
        m_mostPending = std::max(m_mostPending, m_count);
        m_writtenBytes += header->DataUsed;
        wakeClock = m_clockWaitsForWrite;
    }
    m_device->m_writePackets.fetch_add(1);
    if (wakeClock)
        m_wake.notify_all();
    return ERROR_IO_PENDING;
}

StreamStats PinTarget::Stats() const {
    std::lock_guard lock(m_mutex);
    return m_fifo.Stats();
}

size_t PinTarget::PendingWrites() const {
    std::lock_guard lock(m_mutex);
    return m_count;
}

size_t PinTarget::MostPendingWrites() const {
    std::lock_guard lock(m_mutex);
    return m_mostPending;
}

size_t PinTarget::FirstFrameLeaveTimes(int64_t* out, size_t count) const {
    std::lock_guard lock(m_mutex);
    const size_t known = m_fifo.LeaveCount();
    if (out)
        std::copy_n(m_fifo.LeaveTimes(), std::min(count, known), out);
    return known;
}

bool PinTarget::Gone() const {
    return m_device->Unplugged() || m_device->Unplugs() != m_createdUnplugs;
}

KSAUDIO_POSITION PinTarget::PositionLocked() const {
    if (m_clock == Clock::Stepped)
        return {m_playedBytes, m_writtenBytes};
    const ULONGLONG held = m_fifo.HeldFrames(NowNanoseconds()) * 8;
    return {m_enteredBytes - std::min(m_enteredBytes, held), m_writtenBytes};
}

FaultKind PinTarget::ActiveFault() {
    FaultKind fault = m_fault.Active(m_device->CurrentFault(), std::chrono::steady_clock::now());
    // An unplug runs on the device's clock, which also brings it back.
    if (fault == FaultKind::Unplug && !m_device->Unplugged())
        fault = FaultKind::None;
    else if (fault == FaultKind::Hang) {
        m_device->m_faultHung.store(true);
        m_device->SetHung(true);
    }
    return fault;
}

bool PinTarget::CompleteOne() {
    if (m_device->IsHung())
        return false;
    PendingWrite write;
    DWORD failure = ERROR_SUCCESS;
    {
        std::lock_guard lock(m_mutex);
        const FaultKind fault = ActiveFault();
        // A stalled or hung device completes nothing.
        if (m_count == 0 || fault == FaultKind::Stall || m_device->FaultHung())
            return false;
        write = m_ring[m_head];
        m_head = (m_head + 1) % m_ring.size();
        --m_count;
        if (Gone())
            failure = kErrorDeviceNotConnected;
        else if (fault == FaultKind::Fail)
            failure = kErrorGenFailure;
        else
            m_completedBytes += write.header->DataUsed;
    }
    m_wake.notify_all();
    if (failure != ERROR_SUCCESS) {
        sim::CompleteOverlapped(write.overlapped, failure, 0);
        return true;
    }
    // Recorded before the completion: once its event is signalled the host may reuse the buffer.
    m_device->RecordAudio(write.header->Data, write.header->DataUsed);
    sim::CompleteOverlapped(write.overlapped, ERROR_SUCCESS, sizeof(KSSTREAM_HEADER));
    return true;
}

size_t PinTarget::RunDry() {
    if (m_clock != Clock::Stepped || m_device->IsHung())
        return 0;
    std::array<PendingWrite, kMaxPendingWrites> done;
    std::array<DWORD, kMaxPendingWrites> status;
    size_t count = 0;
    {
        std::lock_guard lock(m_mutex);
        const FaultKind fault = ActiveFault();
        if (fault == FaultKind::Stall || m_device->FaultHung())
            return 0;
        const DWORD failure = Gone()                     ? kErrorDeviceNotConnected
                              : fault == FaultKind::Fail ? kErrorGenFailure
                                                         : ERROR_SUCCESS;
        for (; m_count > 0; ++count) {
            done[count] = m_ring[m_head];
            status[count] = failure;
            m_head = (m_head + 1) % m_ring.size();
            --m_count;
            if (failure == ERROR_SUCCESS) {
                m_completedBytes += done[count].header->DataUsed;
                m_device->RecordAudio(done[count].header->Data, done[count].header->DataUsed);
            }
        }
        m_playedBytes = m_completedBytes;
        m_dry = true;
        m_dryInDrain = m_fifo.Draining();
    }
    m_wake.notify_all();
    // Signalled once the state is set: a host that reads the position at the first sees it played out.
    for (size_t i = 0; i < count; ++i)
        sim::CompleteOverlapped(done[i].overlapped, status[i],
                                status[i] == ERROR_SUCCESS ? sizeof(KSSTREAM_HEADER) : 0);
    return count;
}

bool PinTarget::Cancel(OVERLAPPED* overlapped) {
    if (m_device->CancelHeld(this, overlapped))
        return true;
    std::array<PendingWrite, kMaxPendingWrites> cancelled;
    size_t count = 0;
    {
        std::lock_guard lock(m_mutex);
        // Keep the ring's order for the writes that stay.
        std::array<PendingWrite, kMaxPendingWrites> kept;
        size_t keptCount = 0;
        for (size_t i = 0; i < m_count; ++i) {
            const PendingWrite& write = m_ring[(m_head + i) % m_ring.size()];
            if (!overlapped || write.overlapped == overlapped)
                cancelled[count++] = write;
            else
                kept[keptCount++] = write;
        }
        if (count == 0)
            return false;
        if (m_device->CancelIgnored())
            return true;
        for (size_t i = 0; i < keptCount; ++i)
            m_ring[(m_head + i) % m_ring.size()] = kept[i];
        m_count = keptCount;
    }
    m_wake.notify_all();
    m_device->m_cancelledWrites.fetch_add(count);
    for (size_t i = 0; i < count; ++i)
        sim::CompleteOverlapped(cancelled[i].overlapped, kErrorOperationAborted, 0);
    return true;
}

void PinTarget::CancelAll() {
    std::array<PendingWrite, kMaxPendingWrites> cancelled;
    size_t count = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_device->CancelIgnored())
            return;
        while (m_count > 0) {
            cancelled[count++] = m_ring[m_head];
            m_head = (m_head + 1) % m_ring.size();
            --m_count;
        }
    }
    m_wake.notify_all();
    for (size_t i = 0; i < count; ++i)
        sim::CompleteOverlapped(cancelled[i].overlapped, kErrorOperationAborted, 0);
}

void PinTarget::SetStreamState(KSSTATE state) {
    {
        std::lock_guard lock(m_mutex);
        if (state == KSSTATE_RUN && m_state != KSSTATE_RUN) {
            const auto now = std::chrono::steady_clock::now();
            m_fault.Started(now);
            m_device->RunStarted(this, now);
        } else if (state != KSSTATE_RUN) {
            m_fault.Stopped();
            m_device->RunStopped(this);
        }
        m_state = state;
        if (state == KSSTATE_STOP) {
            m_writtenBytes = m_completedBytes = m_playedBytes = m_enteredBytes = 0;
            m_dry = false;
            m_fifo.EndDrain();
        }
    }
    m_wake.notify_all();
    m_device->RecordState(state);
    if (state == KSSTATE_STOP)
        CancelAll();
}

DWORD PinTarget::Property(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                          OVERLAPPED* overlapped) {
    if (!in || inSize < sizeof(KSPROPERTY))
        return ERROR_INVALID_PARAMETER;
    KSPROPERTY property;
    std::memcpy(&property, in, sizeof property);
    if (property.Set == KSPROPSETID_Connection) {
        if (property.Id != KSPROPERTY_CONNECTION_STATE)
            return ERROR_NOT_FOUND;
        if (property.Flags & KSPROPERTY_TYPE_SET) {
            if (!out || outSize < sizeof(ULONG))
                return ERROR_INSUFFICIENT_BUFFER;
            ULONG state = 0;
            std::memcpy(&state, out, sizeof state);
            if (state > KSSTATE_RUN)
                return ERROR_INVALID_PARAMETER;
            SetStreamState(static_cast<KSSTATE>(state));
            *returned = 0;
            if (overlapped && m_device->PendingProperties()) {
                sim::CompleteOverlapped(overlapped, ERROR_SUCCESS, 0);
                return ERROR_IO_PENDING;
            }
            return ERROR_SUCCESS;
        }
        ULONG state = 0;
        {
            std::lock_guard lock(m_mutex);
            state = m_state;
        }
        return ReplyProperty(*m_device, &state, sizeof state, out, outSize, returned, overlapped);
    }
    if (property.Set == KSPROPSETID_Audio) {
        if (property.Id != KSPROPERTY_AUDIO_POSITION && property.Id != KSPROPERTY_AUDIO_LATENCY)
            return ERROR_NOT_FOUND;
        if (!(property.Flags & KSPROPERTY_TYPE_GET))
            return ERROR_NOT_SUPPORTED;
        if (property.Id == KSPROPERTY_AUDIO_LATENCY) {
            // The device's own buffer, in 100 ns units; the stepped device holds nothing of its own.
            const KSTIME latency{m_clock == Clock::RealTime ? m_fifo.CapacityNanoseconds() / 100 : 0, 1, 1};
            return ReplyProperty(*m_device, &latency, sizeof latency, out, outSize, returned, overlapped);
        }
        KSAUDIO_POSITION position{};
        {
            std::lock_guard lock(m_mutex);
            position = PositionLocked();
        }
        if (m_rawPosition)
            return ReplyProperty(*m_device, m_rawPosition->data(), static_cast<DWORD>(m_rawPosition->size()),
                                 out, outSize, returned, overlapped);
        return ReplyProperty(*m_device, &position, sizeof position, out, outSize, returned, overlapped);
    }
    return kErrorSetNotFound;
}

// The real-time clock: while the pin runs, each write's frames enter the device's buffer (at once if
// there is room, else as fast as the buffer drains at the stream's rate: twice the wave format's rate in
// DSD mode), one write after the other; a write completes when its last frame has entered. A fault
// wakes it when it strikes.
void PinTarget::RunClock() {
    // The device's clock is hardware: keep the simulation's own scheduling out of what it measures.
    sim::RaiseToRealTime(kDeviceClockPriority);
    std::unique_lock lock(m_mutex);
    bool entered = false; // the head write's frames have begun to enter
    uint64_t enteredSequence = 0;
    int64_t completeAt = 0;
    int64_t previousEntered = 0; // when the write before the head had entered completely
    uint64_t lastFrames = 0;
    uint64_t lastRate = 0;
    while (!m_quit) {
        if (m_device->IsHung()) {
            m_wake.wait_for(lock, std::chrono::milliseconds(5));
            continue;
        }
        if (m_state != KSSTATE_RUN) {
            m_fifo.Reset();
            entered = false;
            m_wake.wait(lock);
            continue;
        }
        if (m_count == 0) {
            // While the buffer is full a write like the last cannot complete before it has room: sleep
            // until then unwoken by writes, so a period costs one wake-up here, like a device interrupt.
            const int64_t earliest = entered ? m_fifo.EarliestCompletion(lastFrames, lastRate) : 0;
            if (earliest > NowNanoseconds()) {
                m_clockWaitsForWrite = false;
                const auto until = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(earliest));
                m_wake.wait_until(lock, until, [&] { return m_quit || m_state != KSSTATE_RUN; });
                m_clockWaitsForWrite = true;
            } else {
                m_wake.wait(lock);
            }
            continue;
        }
        const PendingWrite head = m_ring[m_head];
        const FaultKind fault = ActiveFault();
        if (fault == FaultKind::Stall || m_device->FaultHung()) {
            m_wake.wait(lock);
            continue;
        }
        if (!entered || head.sequence != enteredSequence) {
            lastRate = static_cast<uint64_t>(m_samplesPerSec) * (m_device->IsDsd() ? 2 : 1);
            lastFrames = head.header->DataUsed / 8;
            const int64_t start = entered ? std::max(head.written, previousEntered) : head.written;
            completeAt = m_fifo.Enter(start, head.written, lastFrames, lastRate);
            m_enteredBytes += head.header->DataUsed;
            entered = true;
            enteredSequence = head.sequence;
        }
        // An unplugged device fails what it holds at once.
        if (!Gone()) {
            using SteadyClock = std::chrono::steady_clock;
            const auto end = SteadyClock::time_point(std::chrono::nanoseconds(completeAt));
            SteadyClock::time_point wake = end;
            SteadyClock::time_point strike;
            if (m_fault.Deadline(m_device->CurrentFault(), &strike) && strike > SteadyClock::now() &&
                strike < wake)
                wake = strike;
            const bool interrupted = m_wake.wait_until(lock, wake, [&] {
                return m_quit || m_state != KSSTATE_RUN || m_count == 0 ||
                       m_ring[m_head].sequence != head.sequence;
            });
            if (interrupted || NowNanoseconds() < completeAt)
                continue;
            previousEntered = completeAt;
            m_fifo.Completed(NowNanoseconds(), completeAt);
        }
        lock.unlock();
        CompleteOne();
        lock.lock();
    }
}

} // namespace sim::larkspur
