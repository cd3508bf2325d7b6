// The render thread: streams the host's output halves to the render pin, one write in flight, each
// completion driving the next host buffer switch. One stream per process.
#pragma once

#include "platform/asio.h"

class ASIOLarkspur;

constexpr int kStreamPackets = 16;
constexpr int kRingSlots = 16;
constexpr uint32_t kRingSlotBytes = 16384;
constexpr int kDrainPasses = 16;
constexpr DWORD kStopWaitMilliseconds = 1000;
// The render thread gives up on a device that completes nothing for the larger of this and four periods.
constexpr DWORD kMinimumCompletionWaitMilliseconds = 1000;
constexpr DWORD kMaximumCompletionWaitMilliseconds = 60000;
// After stop, a device that completes no write for the larger of this and two periods is not drained.
constexpr DWORD kMinimumDrainWaitMilliseconds = 250;
// How long the thread waits for a write it cancelled to come back before it closes the pin.
constexpr DWORD kCancelWaitMilliseconds = 250;
// How long a start waits for the thread of a destroyed driver object to finish ending.
constexpr DWORD kOrphanWaitMilliseconds = 2000;

// The process-wide stream state is changed by host threads only while one of these is alive. It is
// recursive, so start can hold it across its steps; the render thread never takes it.
class StreamLock {
public:
    StreamLock();
    ~StreamLock();
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;
};

// Whether `driver` may start a stream now. An ended thread is cleaned up first; a thread of `driver`
// still draining, or of a destroyed object, is waited for.
enum class StreamSlot { Free, OursRunning, OtherDriver };
StreamSlot ClaimStreamSlot(ASIOLarkspur* driver);

// Starts the thread for `driver` (its slot claimed). The events are made here, on the host's thread,
// so that a failure is known before start returns.
enum class ThreadStart { Started, NoEvents, NoThread };
ThreadStart StartRenderThread(ASIOLarkspur* driver);
// Asks the thread serving `driver` to end. On a host thread it waits at most kStopWaitMilliseconds;
// on the render thread itself (a call from inside a callback) it only asks.
void StopRenderThread(ASIOLarkspur* driver);
// Waits until the thread serving `driver` has ended, however long it drains; not on the render thread.
void WaitForRenderThreadEnd(ASIOLarkspur* driver);
// True on the render thread while it serves `driver`, callbacks included.
bool IsRenderThreadOf(const ASIOLarkspur* driver);

DWORD WINAPI RenderThreadProc(LPVOID);
void ProcessPeriod(ASIOLarkspur* driver, uint64_t& period);
void SwitchWithTimeInfo(ASIOLarkspur* driver, ASIOCallbacks* callbacks);
void StampSystemTime(ASIOTimeStamp* stamp);

// How long the render thread waits for one completion of `frames` frames at `framesPerSecond`.
DWORD CompletionWaitMilliseconds(int32_t frames, uint32_t framesPerSecond);
// How long the thread waits for a completion once the host asked it to stop.
DWORD DrainWaitMilliseconds(int32_t frames, uint32_t framesPerSecond);
// True for a Win32 error or an NTSTATUS that says the device is no longer there.
bool MeansDeviceGone(uint64_t code);
