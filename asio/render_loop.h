// One stream's work on the render thread: the ASIO double buffer over a queue of writes to the render
// pin, drop-out reports, the drain after stop, and the host's own clock once the device is lost.
#pragma once

#include "ks/pin.h"
#include "ks/position_probe.h"
#include "platform/asio.h"

#include <atomic>

class CKsAudPin;

constexpr int kStreamPackets = 16;
constexpr uint32_t kRingSlotBytes = 16384;
constexpr int kDrainPasses = 16;
constexpr int32_t kMaxSafetyWrites = 2;
// How long the thread waits for a write it cancelled to come back before it closes the pin.
constexpr DWORD kCancelWaitMilliseconds = 250;
// How often a lost device is looked for while the stream runs on its own clock.
constexpr DWORD kDeviceWatchMilliseconds = 500;

// What the loop needs of the driver object whose stream it plays.
class RenderClient {
public:
    // Publishes switch `period`'s position and time, then calls the host's buffer switch for `index`.
    virtual void BufferSwitch(uint64_t period, int32_t index) = 0;
    // False once the host entered stop or released the object.
    virtual bool HostListening() const = 0;
    // asioMessage(selector, 0, null, null), if the host gave one.
    virtual void Message(int32_t selector) = 0;
    // A rate the host set while streaming, taken once.
    virtual bool TakeRateChange() = 0;
    virtual void CountOverload() = 0;
    // Why the device was lost, for the host's next control call.
    virtual void StreamLost(const char* reason) = 0;
    // The device stopped answering: nothing more may be sent to it.
    virtual void SetDeviceUnresponsive(bool unresponsive) = 0;
    // The driver forgets its pin, once no host call uses it; the loop closes what it returns.
    virtual CKsAudPin* TakePin() = 0;

protected:
    ~RenderClient() = default;
};

// The stream as start set it up, handed to the thread.
struct StreamSetup {
    CKsAudPin* pin = nullptr;
    // Per half, the host's left and right output buffers; null in an input-only stream.
    const int32_t* left[2] = {};
    const int32_t* right[2] = {};
    int32_t frames = 0;
    bool dsd = false;
    int32_t safety = 0;
    uint32_t framesPerSecond = 0;
};

// Handles made on the host's thread before the stream, closed after the thread ended.
struct StreamHandles {
    HANDLE writes[kStreamPackets] = {};
    HANDLE stop = nullptr; // manual reset: once stop is asked, every later wait sees it
    HANDLE position = nullptr;
    HANDLE timer = nullptr; // the host's own clock after a device failure
    HANDLE watchQuit = nullptr;
};

// Memory the loop works in: static, so nothing is allocated per stream, and shared by the streams of
// the process, one at a time.
struct StreamMemory {
    StreamPacket packets[kStreamPackets];
    alignas(64) uint8_t slots[kStreamPackets][kRingSlotBytes];
    CKsPositionProbe probe;
};

// The writes in flight, oldest first. Packet i always carries ring slot i; the device completes writes
// in the order they were sent, so the loop waits for the oldest only.
class WriteQueue {
public:
    void Reset(StreamMemory* memory, const StreamHandles* handles, ULONG bytes);
    int Count() const { return m_count; }
    uint8_t* NextSlot() const { return m_memory->slots[Index(m_count)]; }
    // Sends the next packet with its slot; false (and GetLastError) when the pin refused it.
    bool Submit(CKsAudPin* pin);
    StreamPacket& Oldest() const { return m_memory->packets[m_head]; }
    HANDLE OldestEvent() const { return m_handles->writes[m_head]; }
    void RetireOldest();
    // Cancels what the device still holds and waits for it, each at most `milliseconds`.
    void CancelAll(CKsAudPin* pin, DWORD milliseconds);

private:
    int Index(int offset) const { return (m_head + offset) % kStreamPackets; }

    StreamMemory* m_memory = nullptr;
    const StreamHandles* m_handles = nullptr;
    int m_head = 0;
    int m_count = 0;
};

class RenderLoop {
public:
    RenderLoop(RenderClient& client, const StreamSetup& setup, const StreamHandles& handles,
               StreamMemory& memory, const std::atomic<bool>& stopRequested);
    // Plays the stream until the host stops it; closes the pin.
    void Run();

private:
    enum class Outcome { Stopped, Failed };

    bool Prime();
    Outcome Stream();
    void Drain();
    void RunOwnClock();
    void LoseDevice(uint64_t code, bool answering);
    void ClosePin();

    void Fill(int half, uint8_t* slot) const;
    bool StopAsked() const;
    void Switch();
    bool DeviceRanDry();
    void CheckRateChange();

    RenderClient& m_client;
    const StreamSetup m_setup;
    const StreamHandles& m_handles;
    StreamMemory& m_memory;
    const std::atomic<bool>& m_stopRequested;
    WriteQueue m_queue;
    CKsAudPin* m_pin;
    const DWORD m_waitLimit;
    const DWORD m_drainLimit;
    uint64_t m_period = 0;
    int32_t m_index = 0; // the half of the latest switch
    bool m_resetSent = false;
    bool m_deviceAnswers = true;
    bool m_disconnected = false; // the device said it is gone
    // Performance-counter time of the first switch, and the counter's frequency.
    int64_t m_startTicks = 0;
    int64_t m_frequency = 0;
};

// How long the render thread waits for one completion of `frames` frames at `framesPerSecond`.
DWORD CompletionWaitMilliseconds(int32_t frames, uint32_t framesPerSecond);
// How long the thread waits for a completion once the host asked it to stop.
DWORD DrainWaitMilliseconds(int32_t frames, uint32_t framesPerSecond);
// True for a Win32 error or an NTSTATUS that says the device is no longer there.
bool MeansDeviceGone(uint64_t code);
// The device ran out of audio: everything it received has left its buffer.
bool MeansRanDry(const KSAUDIO_POSITION& position);
// When switch `period` is due on the host's own clock, in counter ticks from the stream's start.
int64_t SwitchDueTicks(uint64_t period, int32_t frames, uint32_t framesPerSecond, int64_t frequency);
