#include "asio/render_thread.h"

#include <atomic>
#include <mutex>

namespace {

// Shared with the render thread.
std::atomic<RenderOwner*> g_owner{nullptr};
std::atomic<bool> g_stopRequested{false};
// Set by the render thread before it destroys the object it served (a final Release in a callback).
std::atomic<bool> g_ownerGone{false};
StreamSetup g_setup;
StreamMemory g_memory;
// Made before the thread and closed after it ended, so both sides may use them meanwhile.
StreamHandles g_handles;
// The driver the calling thread serves as its render thread.
thread_local const ASIOLarkspur* t_servedDriver = nullptr;
const ASIOLarkspur* g_servedDriver = nullptr;

// Used by the host's threads only, under g_streamLock.
std::recursive_mutex g_streamLock;
HANDLE g_renderThread = nullptr;
// The object whose thread g_renderThread is (compared, never used: it may be ending).
const ASIOLarkspur* g_threadOwner = nullptr;

constexpr const char kSchedulerTask[] = "Pro Audio";

void CloseHandles() {
    auto close = [](HANDLE& handle) {
        if (handle)
            CloseHandle(handle);
        handle = nullptr;
    };
    for (HANDLE& event : g_handles.writes)
        close(event);
    close(g_handles.stop);
    close(g_handles.position);
    close(g_handles.timer);
    close(g_handles.watchQuit);
}

bool MakeHandles() {
    for (HANDLE& event : g_handles.writes)
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_handles.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_handles.position = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_handles.watchQuit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // The host's own clock waits as precisely as the system allows.
    g_handles.timer =
        CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!g_handles.timer)
        g_handles.timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    bool made = g_handles.stop && g_handles.position && g_handles.watchQuit && g_handles.timer;
    for (HANDLE event : g_handles.writes)
        made = made && event;
    if (!made)
        CloseHandles();
    return made;
}

// Under g_streamLock, with the thread ended: its handle and events go.
void ReapThread() {
    CloseHandle(g_renderThread);
    g_renderThread = nullptr;
    g_threadOwner = nullptr;
    CloseHandles();
}

bool ThreadEnded(DWORD milliseconds) {
    return WaitForSingleObject(g_renderThread, milliseconds) == WAIT_OBJECT_0;
}

DWORD WINAPI RenderThreadProc(LPVOID) {
    RenderOwner* const owner = g_owner.load();
    t_servedDriver = g_servedDriver;
    DWORD taskIndex = 0;
    HANDLE task = AvSetMmThreadCharacteristicsA(kSchedulerTask, &taskIndex);
    {
        RenderLoop loop(*owner, g_setup, g_handles, g_memory, g_stopRequested);
        loop.Run();
    }
    if (task)
        AvRevertMmThreadCharacteristics(task);
    if (owner->DestroyPending()) {
        // The host's final Release came from inside a callback: destroy the object now that nothing
        // of the stream uses it. The handles are cleaned up by the next host call that starts a stream.
        g_ownerGone.store(true);
        owner->DestroyDeferred();
    }
    t_servedDriver = nullptr;
    return 0;
}

} // namespace

StreamLock::StreamLock() {
    g_streamLock.lock();
}

StreamLock::~StreamLock() {
    g_streamLock.unlock();
}

bool IsRenderThreadOf(const ASIOLarkspur* driver) {
    return driver && t_servedDriver == driver;
}

StreamSlot ClaimStreamSlot(const ASIOLarkspur* driver, bool running) {
    std::lock_guard lock(g_streamLock);
    if (!g_renderThread)
        return StreamSlot::Free;
    if (!ThreadEnded(0)) {
        const bool ours = g_threadOwner == driver && !g_ownerGone.load();
        if (ours && !g_stopRequested.load() && running)
            return StreamSlot::OursRunning;
        if (ours) {
            // Our own thread, stopped and still finishing: the memory and handles are shared, so the new
            // stream waits for it.
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

ThreadStart StartRenderThread(const ASIOLarkspur* driver, RenderOwner* owner, const StreamSetup& setup) {
    std::lock_guard lock(g_streamLock);
    if (!MakeHandles())
        return ThreadStart::NoEvents;
    g_owner.store(owner);
    g_servedDriver = driver;
    g_setup = setup;
    g_stopRequested.store(false);
    g_ownerGone.store(false);
    g_renderThread = CreateThread(nullptr, 0, &RenderThreadProc, nullptr, 0, nullptr);
    if (!g_renderThread) {
        CloseHandles();
        return ThreadStart::NoThread;
    }
    g_threadOwner = driver;
    return ThreadStart::Started;
}

bool StopRenderThread(const ASIOLarkspur* driver) {
    if (IsRenderThreadOf(driver)) {
        // Inside a callback: the loop sees the flag as soon as the callback returns.
        g_stopRequested.store(true);
        return false;
    }
    std::lock_guard lock(g_streamLock);
    // Another driver object's stream is not this one's to stop.
    if (!g_renderThread || g_threadOwner != driver || g_ownerGone.load())
        return false;
    g_stopRequested.store(true);
    SetEvent(g_handles.stop);
    // A thread that outlives the wait (a host callback that does not return) is cleaned up later.
    if (!ThreadEnded(kStopWaitMilliseconds))
        return false;
    ReapThread();
    return true;
}

void WaitForRenderThreadEnd(const ASIOLarkspur* driver) {
    if (IsRenderThreadOf(driver))
        return;
    std::lock_guard lock(g_streamLock);
    if (!g_renderThread || (driver && (g_threadOwner != driver || g_ownerGone.load())))
        return;
    ThreadEnded(INFINITE);
    ReapThread();
}
