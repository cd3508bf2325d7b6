// Waitable timers and the performance counter of the simulated Windows, on the steady clock.
#include "sim/failure_injection.h"
#include "sim/kernel_objects.h"
#include "sim/threads.h"
#include "sim/wait_lock.h"

#include <chrono>

namespace sim {
namespace {

// The counter ticks in 100 ns units, as on most Windows machines.
constexpr LONGLONG kCounterFrequency = 10000000;

int64_t SteadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class WaitableTimer : public KernelObject {
public:
    explicit WaitableTimer(bool manualReset) : m_manualReset(manualReset) {}
    bool IsWaitable() const override { return true; }
    bool IsSignalled() const override { return m_signalled || (m_due >= 0 && SteadyNanoseconds() >= m_due); }
    bool TryAcquire() override {
        if (m_due >= 0 && SteadyNanoseconds() >= m_due) {
            m_signalled = true;
            m_due = -1;
        }
        if (!m_signalled)
            return false;
        if (!m_manualReset)
            m_signalled = false;
        return true;
    }
    int64_t DueNanoseconds() const override { return m_signalled ? -1 : m_due; }
    // Under the wait lock.
    void Arm(int64_t due) {
        m_signalled = false;
        m_due = due;
    }

private:
    const bool m_manualReset;
    bool m_signalled = false;
    int64_t m_due = -1;
};

HANDLE MakeTimer(bool manualReset) {
    return InsertObject(std::make_shared<WaitableTimer>(manualReset));
}

} // namespace
} // namespace sim

using namespace sim;

HANDLE WINAPI CreateWaitableTimerW(LPSECURITY_ATTRIBUTES, BOOL manualReset, LPCWSTR) {
    KernelScope kernel;
    return MakeTimer(manualReset != FALSE);
}

HANDLE WINAPI CreateWaitableTimerExW(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD flags, DWORD) {
    KernelScope kernel;
    DWORD error = 0;
    if (TakeFailure(Call::CreateWaitableTimerExW, &error)) {
        SetLastError(error);
        return nullptr;
    }
    constexpr DWORD kManualReset = 0x00000001; // CREATE_WAITABLE_TIMER_MANUAL_RESET
    if (flags & ~(kManualReset | CREATE_WAITABLE_TIMER_HIGH_RESOLUTION)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return MakeTimer((flags & kManualReset) != 0);
}

BOOL WINAPI SetWaitableTimer(HANDLE timer, const LARGE_INTEGER* dueTime, LONG period,
                             PTIMERAPCROUTINE routine, LPVOID, BOOL) {
    KernelScope kernel;
    auto object = ReferenceObjectAs<WaitableTimer>(timer);
    // Relative due times only: nothing here needs the wall clock, periodic timers or APCs.
    if (!object || !dueTime || dueTime->QuadPart > 0 || period != 0 || routine) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard lock(WaitMutex());
        object->Arm(SteadyNanoseconds() - dueTime->QuadPart * 100);
    }
    NotifyWaiters();
    return TRUE;
}

BOOL WINAPI CancelWaitableTimer(HANDLE timer) {
    KernelScope kernel;
    auto object = ReferenceObjectAs<WaitableTimer>(timer);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(WaitMutex());
    object->Arm(-1);
    return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (!count)
        return FALSE;
    count->QuadPart = SteadyNanoseconds() / (1000000000 / kCounterFrequency);
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (!frequency)
        return FALSE;
    frequency->QuadPart = kCounterFrequency;
    return TRUE;
}
