// The simulated Larkspur: the stand-in for the device's kernel driver. A KS filter whose pins are
// described by a descriptor a test can change, pins created through KsCreatePin that keep a state and
// a stream position, take the vendor mode request and consume write-stream packets, and a record of
// what the device received.
#pragma once

#include "platform/platform.h"
#include "sim/kernel_objects.h"
#include "sim/larkspur/fault.h"
#include "sim/larkspur/stream_stats.h"

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim::larkspur {

// How written packets are consumed: when the test says so, or after their frames would have played.
enum class Clock { Stepped, RealTime };

struct PinDescriptor {
    KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_SINK;
    KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
    std::vector<KSPIN_INTERFACE> interfaces;
    std::vector<KSPIN_MEDIUM> mediums;
    // Each range as the device lists it: FormatSize bytes, one after the other.
    std::vector<std::vector<BYTE>> dataRanges;
    std::u16string name;
    GUID category = GUID_NULL;
    ULONG possibleInstances = 1;
    ULONG possibleGlobalInstances = 1;
    // Replies sent byte for byte instead of the ones built from the fields above (malformed replies).
    std::map<ULONG, std::vector<BYTE>> rawReplies;
    // KSPROPSETID_Pin properties the device refuses, with the error it gives.
    std::map<ULONG, DWORD> refusedProperties;
    // Sizes a size query is answered with instead of the reply's own (replies that lie about their size).
    std::map<ULONG, ULONG> claimedSizes;
};

struct FilterDescriptor {
    std::vector<PinDescriptor> pins;
    std::vector<GUID> nodes; // topology node types
    // Replies sent byte for byte instead of those built from the fields above (malformed replies): the
    // pin count, the topology node list, and a created pin's stream position.
    std::optional<std::vector<BYTE>> rawPinCount;
    std::optional<std::vector<BYTE>> rawNodes;
    std::optional<std::vector<BYTE>> rawPosition;
};

// An 88-byte KSDATARANGE_AUDIO with FormatSize 88.
std::vector<BYTE> AudioDataRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate,
                                 ULONG maxRate, const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM,
                                 const GUID& majorFormat = KSDATAFORMAT_TYPE_AUDIO,
                                 const GUID& specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
KSIDENTIFIER Identifier(const GUID& set, ULONG id, ULONG flags = 0);
// Pin 0 the render sink ("Larkspur Output", 2 channels of 32 bits, 44100 to 768000 Hz), pin 1 a bridge.
FilterDescriptor DefaultDescriptor();

struct RecordEvent {
    enum Kind { Mode, State } kind;
    ULONG value; // the mode code or the KSSTATE
    bool operator==(const RecordEvent&) const = default;
};

class FilterTarget;
class PinTarget;

class Device : public std::enable_shared_from_this<Device> {
public:
    static std::shared_ptr<Device> Create(Clock clock = Clock::Stepped,
                                          FilterDescriptor descriptor = DefaultDescriptor());
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // The descriptor; a change applies to the requests that follow.
    FilterDescriptor Descriptor() const;
    std::shared_ptr<const FilterDescriptor> DescriptorSnapshot() const;
    void SetDescriptor(FilterDescriptor descriptor);
    void ChangeDescriptor(const std::function<void(FilterDescriptor&)>& change);

    // The clock of pins created from now on.
    void SetClock(Clock clock);
    // The error of a size query (no output buffer): ERROR_MORE_DATA (default) or ERROR_INSUFFICIENT_BUFFER.
    void SetSizeQueryError(DWORD error);
    // Answer property requests as pending (ERROR_IO_PENDING, the OVERLAPPED completed afterwards).
    void SetPendingProperties(bool pending);
    DWORD SizeQueryError() const;
    bool PendingProperties() const;

    // A device that stops answering: from now on every request pends and is held, never completed,
    // and written packets are no longer consumed. False again: later requests are answered, the held
    // ones stay held.
    void SetHung(bool hung);
    bool IsHung() const;
    // CancelIoEx is taken note of and nothing more: cancelled requests never complete.
    void SetCancelIgnored(bool ignored);
    // Requests held by a hung device.
    size_t HeldRequests() const;
    // The device comes back: every held request completes as cancelled (ERROR_OPERATION_ABORTED), its
    // OVERLAPPED written as the device would. Returns how many.
    size_t ReleaseHeld();
    // Answers a request at once or, with pending properties, as a pending request completed at once
    // (with the same status and byte count).
    DWORD Answer(DWORD status, DWORD bytes, OVERLAPPED* overlapped) const;

    // The filter, for the handle table (sim::InsertObject) or a device path.
    std::shared_ptr<sim::IoTarget> OpenFilter();
    HANDLE OpenFilterHandle();

    // Writes accepted and not yet completed, on all pins.
    size_t PendingWrites() const;
    // Completes up to `count` pending writes in the order they were sent; returns how many. On a
    // stepped pin a completed write's audio stays in the device until the next write arrives.
    size_t CompleteWrites(size_t count);
    // A step of the stepped clock in which the device runs dry: every pending write completes at once,
    // everything held plays out (PlayOffset = WriteOffset), and the next write to arrive with nothing
    // pending counts one underrun. The state is set before any completion is signalled. Returns the
    // writes completed; 0 on a real-time pin.
    size_t RunDry();
    // Polls until at least `count` writes are pending; false after the timeout.
    bool WaitForPendingWrites(size_t count, unsigned timeoutMs) const;

    // What the device received, in order.
    std::vector<RecordEvent> Events() const;
    std::vector<ULONG> ModeCodes() const;
    std::vector<KSSTATE> States() const;
    // Completed writes as interleaved 8-byte frames; in DSD mode each 32-bit word as the host wrote it.
    std::vector<BYTE> Audio() const;
    size_t WritePackets() const { return m_writePackets.load(); }
    // Writes ended by CancelIoEx (not those a closing pin ends).
    size_t CancelledWrites() const { return m_cancelledWrites.load(); }
    void ClearRecord();
    // Whether completed writes are kept in the audio record (on for devices tests create). Turning it
    // off or on forgets the audio kept so far.
    void SetAudioRecording(bool on);
    // Moves up to `size` bytes (whole 8-byte frames) from the front of the audio record into `out`;
    // returns how many. A reader that takes as it goes keeps the record small.
    size_t TakeAudio(void* out, size_t size);

    // The fault pins meet from now on (fault.h); Fault{} clears it, and an unplugged or hung device
    // answers again (an unplugged one listed again among the device interfaces). An unplug's clock is
    // the device's, started when a pin starts running, so that its replug comes with no pin left.
    void SetFault(Fault fault);
    Fault CurrentFault() const;
    // Gone now (struck, and not yet come back); a replug that is due takes effect here.
    bool Unplugged() const;
    // The cable pulled now, running or not, and plugged back; pins created before an unplug stay dead.
    void Unplug();
    void Replug();
    // How many times the device went; a pin created before the latest is lost for good.
    unsigned Unplugs() const;
    bool FaultHung() const { return m_faultHung.load(); }

    // The device's own buffer under the real-time clock, for pins created from now on (default 2 ms).
    void SetFifoMicroseconds(uint32_t microseconds);
    uint32_t FifoMicroseconds() const;
    // Underruns and completion-to-next-write times of the latest pin created (the latest stream), live
    // while it streams and kept after it closed.
    StreamStats LatestStreamStats() const;
    // The largest number of writes pending at once at the latest pin created, kept after it closed.
    size_t MostPendingWrites() const;
    // Real-time clock: the steady-clock time (ns, as NowNanoseconds) at which the first frame of each
    // write of the latest pin left the device buffer, write k (from the first write while running) at
    // out[k], for the first kKeptLeaveTimes writes. Copies up to `count`; returns how many are known
    // (0 under the stepped clock). Kept after the pin closed.
    static constexpr size_t kKeptLeaveTimes = 8192;
    size_t FirstFrameLeaveTimes(int64_t* out, size_t count) const;

    // Pins created and not yet closed.
    size_t OpenPins() const;
    // The connect request of the latest pin created: its wave format (40 bytes, zero-padded) and interface.
    bool LatestConnect(WAVEFORMATEXTENSIBLE* format, ULONG* interfaceId) const;

private:
    friend class FilterTarget;
    friend class PinTarget;

    Device(Clock clock, FilterDescriptor descriptor);

    DWORD CreatePin(const KSPIN_CONNECT* connect, ACCESS_MASK access, std::shared_ptr<sim::IoTarget>* pin);
    void ReleaseInstance(ULONG pinId);
    void RecordMode(ULONG mode);
    // The fault clock of an unplug: when a pin (by address) started running, and that it stopped.
    void RunStarted(const void* pin, std::chrono::steady_clock::time_point at);
    void RunStopped(const void* pin);
    // With m_faultMutex held: the unplug strikes or comes back when its time has come.
    void UpdateUnplugLocked(std::chrono::steady_clock::time_point now) const;
    void RecordState(KSSTATE state);
    void RecordAudio(const void* data, ULONG bytes);
    bool IsDsd() const { return m_dsd.load(); }
    // Keeps a request of a hung device; true when held (the target answers ERROR_IO_PENDING).
    bool Hold(const void* target, OVERLAPPED* overlapped);
    // CancelIoEx on a target: false when it holds no such request.
    bool CancelHeld(const void* target, OVERLAPPED* overlapped);
    bool CancelIgnored() const { return m_cancelIgnored.load(); }

    std::vector<std::shared_ptr<PinTarget>> LivePins() const;
    void KeepStreamStats(const PinTarget* pin, const StreamStats& stats, size_t mostPending,
                         const int64_t* leaveTimes, size_t leaveCount);

    mutable std::mutex m_mutex;
    FilterDescriptor m_descriptor;
    // A read-only copy of m_descriptor for the requests, made anew after each change: a request does
    // not copy the whole descriptor.
    std::shared_ptr<const FilterDescriptor> m_snapshot;
    Clock m_clock;
    // Read on every property request, the render thread's position reads among them: not behind the
    // lock the audio record holds while it grows.
    std::atomic<DWORD> m_sizeQueryError{ERROR_MORE_DATA};
    std::atomic<bool> m_pendingProperties{false};
    std::vector<ULONG> m_liveInstances; // per pin id
    std::vector<std::weak_ptr<PinTarget>> m_pins;
    std::vector<RecordEvent> m_events;
    std::vector<BYTE> m_audio;
    // Read first without the lock, so a device that keeps nothing never takes it on the stream's path.
    std::atomic<bool> m_recordAudio{true};
    WAVEFORMATEXTENSIBLE m_latestFormat{};
    ULONG m_latestInterface = 0;
    bool m_anyConnect = false;
    std::atomic<bool> m_dsd{false};
    std::atomic<bool> m_hung{false};
    std::atomic<bool> m_cancelIgnored{false};
    struct Held {
        const void* target;
        OVERLAPPED* overlapped;
    };
    std::vector<Held> m_held;
    std::atomic<size_t> m_writePackets{0};
    std::atomic<size_t> m_cancelledWrites{0};
    // The fault, readable without the lock from the pins' clocks.
    mutable std::atomic<int> m_faultKind{static_cast<int>(FaultKind::None)};
    std::atomic<unsigned> m_faultDelayMs{0};
    std::atomic<unsigned> m_replugDelayMs{0};
    mutable std::atomic<bool> m_unplugged{false};
    mutable std::atomic<unsigned> m_unplugs{0};
    // Strikes and replugs; taken under a pin's lock, never the other way round.
    mutable std::mutex m_faultMutex;
    const void* m_runningPin = nullptr;
    std::optional<std::chrono::steady_clock::time_point> m_runSince;
    mutable std::optional<std::chrono::steady_clock::time_point> m_replugAt;
    std::atomic<bool> m_faultHung{false};
    uint32_t m_fifoMicroseconds = 2000;
    StreamStats m_closedStreamStats; // of the latest pin, once it closed
    size_t m_closedMostPending = 0;
    std::array<int64_t, kKeptLeaveTimes> m_closedLeaveTimes{}; // room kept: closing never allocates
    size_t m_closedLeaveCount = 0;
    std::weak_ptr<PinTarget> m_latestPin;
    const PinTarget* m_latestPinAddress = nullptr;
};

// The process-wide Larkspur with its real-time clock, there without any setup.
std::shared_ptr<Device> DefaultDevice();

} // namespace sim::larkspur
