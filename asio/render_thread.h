// The process's one render thread: which driver object's stream it serves, starting it and asking it
// to end. What it does for a stream is RenderLoop's.
#pragma once

#include "asio/render_loop.h"

class ASIOLarkspur;

constexpr DWORD kStopWaitMilliseconds = 1000;
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

// Whether `driver` may start a stream now; `running` is whether its host has a stream started. An ended
// thread is cleaned up first; a thread of `driver` still draining, or of a destroyed object, is waited for.
enum class StreamSlot { Free, OursRunning, OtherDriver };
StreamSlot ClaimStreamSlot(const ASIOLarkspur* driver, bool running);

// What the thread tells the object it served as it ends.
class RenderOwner : public RenderClient {
public:
    // The host's final release came from inside a callback: the object is destroyed now.
    virtual bool DestroyPending() const = 0;
    virtual void DestroyDeferred() = 0;

protected:
    ~RenderOwner() = default;
};

// Starts the thread for `driver` (its slot claimed), playing `setup` through `owner`. The handles are
// made here, on the host's thread, so that a failure is known before start returns.
enum class ThreadStart { Started, NoEvents, NoThread };
ThreadStart StartRenderThread(const ASIOLarkspur* driver, RenderOwner* owner, const StreamSetup& setup);
// Asks the thread serving `driver` to end. On a host thread it waits at most kStopWaitMilliseconds;
// on the render thread itself (a call from inside a callback) it only asks. True when a stream of
// `driver` was running and its thread has ended.
bool StopRenderThread(const ASIOLarkspur* driver);
// Waits until the thread serving `driver` has ended, however long it drains; not on the render thread.
void WaitForRenderThreadEnd(const ASIOLarkspur* driver);
// True on the render thread while it serves `driver`, callbacks included.
bool IsRenderThreadOf(const ASIOLarkspur* driver);

// The system time of a buffer switch, in nanoseconds.
void StampSystemTime(ASIOTimeStamp* stamp);
