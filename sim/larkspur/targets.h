// The simulated device's filter and pin objects, as the handle table holds them.
#pragma once

#include "sim/larkspur/device.h"
#include "sim/larkspur/fifo_model.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <thread>

namespace sim::larkspur {

// Win32 errors the device answers with beyond those the platform header names.
constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorBadCommand = 22;
constexpr DWORD kErrorOperationAborted = 995;
constexpr DWORD kErrorNoSystemResources = 1450;
constexpr DWORD kErrorNoMatch = 1169;
constexpr DWORD kErrorSetNotFound = 1170;

// The vendor mode request and the mode codes that decide how received audio is recorded.
constexpr DWORD kIoctlVendorSetMode = 0x2F200C;
constexpr DWORD kModeRequestSize = 264;
constexpr ULONG kModeDsd = 0x00008000;
constexpr ULONG kModePcm = 0x00010000;
// Sent after the host's stop, before the driver's silence writes: the drain begins.
constexpr ULONG kModeStreamEnd = 0x00008002;

// Answers a property value: a size query (no output buffer) with the size-query error, a short buffer
// with ERROR_INSUFFICIENT_BUFFER, otherwise copies it, completing at once or as a pending request.
DWORD ReplyProperty(const Device& device, const void* value, DWORD size, void* out, DWORD outSize,
                    DWORD* returned, OVERLAPPED* overlapped);

class FilterTarget : public sim::IoTarget {
public:
    explicit FilterTarget(std::shared_ptr<Device> device) : m_device(std::move(device)) {}
    DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                    OVERLAPPED* overlapped) override;
    DWORD CreatePin(const KSPIN_CONNECT* connect, ACCESS_MASK access,
                    std::shared_ptr<sim::IoTarget>* pin) override {
        return m_device->CreatePin(connect, access, pin);
    }
    // Closing the filter cancels what it still holds (a device that ignores cancellation keeps it).
    void OnClose() override {
        m_device->CancelHeld(this, nullptr);
        m_held.CancelAll();
    }
    bool Cancel(OVERLAPPED* overlapped) override { return m_device->CancelHeld(this, overlapped); }
    // Whether the device is there to be listed and opened (not unplugged).
    bool Attached() const { return !m_device->Unplugged(); }

private:
    const std::shared_ptr<Device> m_device;
    HungRequests m_held;
};

// Steady-clock time in nanoseconds: the time base of the real-time clock.
inline int64_t NowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
// Above the render thread's "Pro Audio" priority, as a device's interrupt would be.
constexpr int kDeviceClockPriority = 20;

class PinTarget : public sim::IoTarget {
public:
    // Room for writes in flight; the write path never allocates.
    static constexpr size_t kMaxPendingWrites = 64;

    PinTarget(std::shared_ptr<Device> device, ULONG pinId, ULONG samplesPerSec, Clock clock);
    ~PinTarget() override;

    DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                    OVERLAPPED* overlapped) override;
    void OnClose() override;
    bool Cancel(OVERLAPPED* overlapped) override;

    size_t PendingWrites() const;
    StreamStats Stats() const;
    // Completes the oldest pending write; false when there is none.
    bool CompleteOne();
    // The stepped clock runs dry (Device::RunDry); returns the writes completed.
    size_t RunDry();
    size_t MostPendingWrites() const;
    size_t FirstFrameLeaveTimes(int64_t* out, size_t count) const;

private:
    struct PendingWrite {
        KSSTREAM_HEADER* header;
        OVERLAPPED* overlapped;
        uint64_t sequence;
        int64_t written; // steady-clock nanoseconds when the host sent it
    };

    DWORD Write(void* out, DWORD outSize, OVERLAPPED* overlapped);
    DWORD Property(const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                   OVERLAPPED* overlapped);
    void SetStreamState(KSSTATE state);
    void CancelAll();
    void Shutdown();
    void RunClock();
    // The device is gone, or went since this pin was created (a lost pin stays dead).
    bool Gone() const;
    KSAUDIO_POSITION PositionLocked() const;
    // The fault in force now (with m_mutex held); an unplug or a hang then holds for the whole device.
    FaultKind ActiveFault();

    const std::shared_ptr<Device> m_device;
    const ULONG m_pinId;
    const ULONG m_samplesPerSec;
    const Clock m_clock;
    const unsigned m_createdUnplugs;                      // the device's unplugs when the pin was created
    const std::optional<std::vector<BYTE>> m_rawPosition; // taken when the pin is created

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    KSSTATE m_state = KSSTATE_STOP;
    std::array<PendingWrite, kMaxPendingWrites> m_ring{};
    size_t m_head = 0;
    size_t m_count = 0;
    uint64_t m_nextSequence = 0;
    ULONGLONG m_writtenBytes = 0;
    // Stepped clock: completed writes stay held until the next write arrives (or the device runs dry).
    ULONGLONG m_completedBytes = 0;
    ULONGLONG m_playedBytes = 0;
    bool m_dry = false;
    bool m_dryInDrain = false;
    // Real-time clock: bytes of the writes that began to enter the buffer; what it holds is still to play.
    ULONGLONG m_enteredBytes = 0;
    size_t m_mostPending = 0;
    bool m_quit = false;
    bool m_closed = false;
    PinFault m_fault;
    HungRequests m_held;
    std::thread m_clockThread;        // the real-time clock; not started for a stepped one
    FifoModel m_fifo;                 // the real-time clock's model of the device's buffer
    bool m_clockWaitsForWrite = true; // whether a write must wake the clock thread
};

} // namespace sim::larkspur
