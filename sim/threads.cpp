#include "sim/threads.h"

#include "sim/failure_injection.h"
#include "sim/kernel_objects.h"
#include "sim/wait_lock.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <sched.h>

namespace sim {
namespace {

thread_local int t_kernelDepth = 0;

std::atomic<int64_t> g_timeOverride{-1};
const auto g_start = std::chrono::steady_clock::now();

std::atomic<int> g_mmcssJoins{0};
std::atomic<int> g_mmcssReverts{0};
std::mutex g_taskMutex;
std::string g_lastTask;
std::atomic<int> g_runningThreads{0};
std::atomic<bool> g_proAudioRealTime{true};

// The scheduling a thread had before RaiseToRealTime changed it.
thread_local bool t_raised = false;
thread_local int t_savedPolicy = SCHED_OTHER;
thread_local sched_param t_savedParam{};

// A thread's handle: signalled once the thread function has returned. Closing the handle of an ended
// thread also waits for the system thread to be gone, so a process that exits right after it has
// stopped its threads leaves none behind.
class Thread : public KernelObject {
public:
    ~Thread() override {
        // The last reference may be dropped on the thread itself.
        if (m_thread.joinable())
            m_thread.detach();
    }
    bool IsWaitable() const override { return true; }
    bool IsSignalled() const override { return m_ended; }
    bool TryAcquire() override { return m_ended; }
    void OnClose() override {
        std::thread thread;
        {
            std::lock_guard lock(m_threadMutex);
            thread = std::move(m_thread);
        }
        if (!thread.joinable())
            return;
        bool ended;
        {
            std::lock_guard lock(WaitMutex());
            ended = m_ended;
        }
        if (ended && thread.get_id() != std::this_thread::get_id())
            thread.join();
        else
            thread.detach();
    }
    void Attach(std::thread thread) {
        std::lock_guard lock(m_threadMutex);
        m_thread = std::move(thread);
    }
    void End(DWORD exitCode) {
        {
            std::lock_guard lock(WaitMutex());
            m_exitCode = exitCode;
            m_ended = true;
        }
        WaitCondition().notify_all();
    }
    bool ExitCode(DWORD* code) const {
        std::lock_guard lock(WaitMutex());
        *code = m_ended ? m_exitCode : 259; // STILL_ACTIVE
        return true;
    }

private:
    bool m_ended = false; // guarded by the wait lock
    DWORD m_exitCode = 0;
    std::mutex m_threadMutex;
    std::thread m_thread;
};

} // namespace

void SetTimeOverride(DWORD milliseconds) {
    g_timeOverride = milliseconds;
}
void ClearTimeOverride() {
    g_timeOverride = -1;
}
int MmcssJoins() {
    return g_mmcssJoins;
}
int MmcssReverts() {
    return g_mmcssReverts;
}
std::string LastMmcssTask() {
    std::lock_guard lock(g_taskMutex);
    return g_lastTask;
}
int RunningThreads() {
    return g_runningThreads;
}

bool RaiseToRealTime(int priority) {
    int policy = SCHED_OTHER;
    sched_param saved{};
    if (pthread_getschedparam(pthread_self(), &policy, &saved) != 0)
        return false;
    sched_param param{};
    param.sched_priority = priority;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
        return false;
    if (!t_raised) {
        t_raised = true;
        t_savedPolicy = policy;
        t_savedParam = saved;
    }
    return true;
}

void RestoreScheduling() {
    if (!t_raised)
        return;
    pthread_setschedparam(pthread_self(), t_savedPolicy, &t_savedParam);
    t_raised = false;
}

void SetProAudioRealTime(bool enabled) {
    g_proAudioRealTime = enabled;
}

bool InSimulatedKernel() {
    return t_kernelDepth > 0;
}
KernelScope::KernelScope() {
    ++t_kernelDepth;
}
KernelScope::~KernelScope() {
    --t_kernelDepth;
}

} // namespace sim

using namespace sim;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                           DWORD, LPDWORD threadId) {
    KernelScope kernel;
    DWORD error = 0;
    if (TakeFailure(Call::CreateThread, &error)) {
        SetLastError(error);
        return nullptr;
    }
    auto thread = std::make_shared<Thread>();
    HANDLE handle = InsertObject(thread);
    ++g_runningThreads;
    // The thread holds its own reference, so closing the handle does not end it.
    thread->Attach(std::thread([thread, start, parameter] {
        const DWORD code = start(parameter);
        // Counted out before the handle is signalled, so a waiter sees the count already lowered.
        --g_runningThreads;
        thread->End(code);
    }));
    if (threadId)
        *threadId = static_cast<DWORD>(reinterpret_cast<uintptr_t>(handle));
    return handle;
}

BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    auto thread = ReferenceObjectAs<Thread>(handle);
    if (!thread || !exitCode) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return thread->ExitCode(exitCode) ? TRUE : FALSE;
}

void WINAPI Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD WINAPI timeGetTime() {
    const int64_t fixed = g_timeOverride;
    if (fixed >= 0)
        return static_cast<DWORD>(fixed);
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - g_start)
            .count());
}

HANDLE WINAPI AvSetMmThreadCharacteristicsA(LPCSTR task, LPDWORD taskIndex) {
    KernelScope kernel;
    DWORD error = 0;
    if (TakeFailure(Call::AvSetMmThreadCharacteristicsA, &error)) {
        SetLastError(error);
        return nullptr;
    }
    {
        std::lock_guard lock(g_taskMutex);
        g_lastTask = task ? task : "";
    }
    if (taskIndex)
        *taskIndex = 1;
    // The system's scheduler service runs "Pro Audio" threads in its real-time class.
    if (task && std::strcmp(task, "Pro Audio") == 0 && g_proAudioRealTime)
        RaiseToRealTime(kProAudioPriority);
    ++g_mmcssJoins;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7A5C0000));
}

BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE avrtHandle) {
    if (!avrtHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RestoreScheduling();
    ++g_mmcssReverts;
    return TRUE;
}
