#include "sim/kernel_objects.h"

#include "sim/failure_injection.h"
#include "sim/ntstatus.h"
#include "sim/threads.h"
#include "sim/wait_lock.h"

#include <atomic>
#include <chrono>
#include <unordered_map>

namespace sim {
namespace {

constexpr uintptr_t kTagBits = 3;

std::mutex g_tableMutex;
std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> g_table;
uintptr_t g_nextHandle = 0x1000;

uintptr_t Key(HANDLE handle) {
    return reinterpret_cast<uintptr_t>(handle) & ~kTagBits;
}

class Event : public KernelObject {
public:
    Event(bool manualReset, bool signalled) : m_manualReset(manualReset), m_signalled(signalled) {}
    bool IsWaitable() const override { return true; }
    bool IsSignalled() const override { return m_signalled; }
    bool TryAcquire() override {
        if (!m_signalled)
            return false;
        if (!m_manualReset)
            m_signalled = false;
        return true;
    }
    void Set(bool signalled) { m_signalled = signalled; }

private:
    const bool m_manualReset;
    bool m_signalled; // guarded by the wait lock
};

bool SetEventState(HANDLE handle, bool signalled) {
    auto event = ReferenceObjectAs<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    {
        std::lock_guard lock(WaitMutex());
        event->Set(signalled);
    }
    if (signalled)
        NotifyWaiters();
    return true;
}

} // namespace

HANDLE InsertObject(std::shared_ptr<KernelObject> object) {
    std::lock_guard lock(g_tableMutex);
    const uintptr_t key = g_nextHandle;
    g_nextHandle += 4;
    g_table.emplace(key, std::move(object));
    return reinterpret_cast<HANDLE>(key);
}

std::shared_ptr<KernelObject> ReferenceObject(HANDLE handle) {
    std::lock_guard lock(g_tableMutex);
    auto it = g_table.find(Key(handle));
    return it == g_table.end() ? nullptr : it->second;
}

size_t OpenHandleCount() {
    std::lock_guard lock(g_tableMutex);
    return g_table.size();
}

void NotifyWaiters() {
    std::lock_guard lock(WaitMutex());
    WaitCondition().notify_all();
}

void CompleteOverlapped(OVERLAPPED* overlapped, DWORD status, DWORD bytes) {
    overlapped->InternalHigh = bytes;
    std::atomic_ref<ULONG_PTR>(overlapped->Internal)
        .store(NtStatusFromWin32(status), std::memory_order_release);
    if (overlapped->hEvent)
        SetEventState(overlapped->hEvent, true);
}

ULONG OverlappedStatus(const OVERLAPPED* overlapped) {
    return static_cast<ULONG>(std::atomic_ref<ULONG_PTR>(const_cast<OVERLAPPED*>(overlapped)->Internal)
                                  .load(std::memory_order_acquire));
}

} // namespace sim

using namespace sim;

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    KernelScope kernel;
    DWORD error = 0;
    if (TakeFailure(Call::CreateEventW, &error)) {
        SetLastError(error);
        return nullptr;
    }
    return InsertObject(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE event) {
    KernelScope kernel;
    DWORD error = 0;
    if (TakeFailure(Call::SetEvent, &error)) {
        SetLastError(error);
        return FALSE;
    }
    return SetEventState(event, true) ? TRUE : FALSE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
    return SetEventState(event, false) ? TRUE : FALSE;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    KernelScope kernel;
    DWORD error = 0;
    if (TakeFailure(Call::CloseHandle, &error)) {
        SetLastError(error);
        return FALSE;
    }
    std::shared_ptr<KernelObject> object;
    {
        std::lock_guard lock(g_tableMutex);
        auto it = g_table.find(Key(handle));
        if (it == g_table.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object = std::move(it->second);
        g_table.erase(it);
    }
    object->OnClose();
    return TRUE;
}

namespace {

DWORD Wait(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // As on Windows, the same object may not appear twice (tag bits do not make it another).
    for (DWORD i = 0; i < count; ++i)
        for (DWORD j = i + 1; j < count; ++j)
            if (Key(handles[i]) == Key(handles[j])) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
    std::shared_ptr<KernelObject> objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = ReferenceObject(handles[i]);
        if (!objects[i] || !objects[i]->IsWaitable()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    // One look at the objects, under the wait lock: the wait's result, or WAIT_TIMEOUT when unsatisfied.
    auto look = [&]() -> DWORD {
        if (waitAll) {
            // All at once or none: only when every object is signalled are they consumed together.
            for (DWORD i = 0; i < count; ++i)
                if (!objects[i]->IsSignalled())
                    return WAIT_TIMEOUT;
            for (DWORD i = 0; i < count; ++i)
                objects[i]->TryAcquire();
            return WAIT_OBJECT_0;
        }
        for (DWORD i = 0; i < count; ++i)
            if (objects[i]->TryAcquire())
                return WAIT_OBJECT_0 + i;
        return WAIT_TIMEOUT;
    };
    // A timer among the objects wakes the wait when it falls due.
    auto timerDue = [&] {
        int64_t due = -1;
        for (DWORD i = 0; i < count; ++i) {
            const int64_t at = objects[i]->DueNanoseconds();
            if (at >= 0 && (due < 0 || at < due))
                due = at;
        }
        return due;
    };
    std::unique_lock lock(WaitMutex());
    for (;;) {
        if (const DWORD result = look(); result != WAIT_TIMEOUT)
            return result;
        const int64_t due = timerDue();
        if (due >= 0) {
            const auto at = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due));
            if (milliseconds == INFINITE || at < deadline) {
                WaitCondition().wait_until(lock, at);
                continue;
            }
        }
        if (milliseconds == INFINITE)
            WaitCondition().wait(lock);
        else if (WaitCondition().wait_until(lock, deadline) == std::cv_status::timeout)
            return look(); // one last look, as a signal may have come with the timeout
    }
}

} // namespace

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    KernelScope kernel;
    DWORD error = 0;
    if (TakeFailure(Call::WaitForMultipleObjects, &error)) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    return Wait(count, handles, waitAll, milliseconds);
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    KernelScope kernel;
    DWORD error = 0;
    if (TakeFailure(Call::WaitForSingleObject, &error)) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    return Wait(1, &handle, FALSE, milliseconds);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                            LPDWORD returned, LPOVERLAPPED overlapped) {
    KernelScope kernel;
    DWORD error = 0;
    if (TakeFailure(Call::DeviceIoControl, &error)) {
        SetLastError(error);
        return FALSE;
    }
    auto target = ReferenceObjectAs<IoTarget>(device);
    if (!target) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // As on Windows, the request's event is reset and its OVERLAPPED marked in flight when it begins.
    if (overlapped) {
        if (overlapped->hEvent)
            ResetEvent(overlapped->hEvent);
        overlapped->InternalHigh = 0;
        std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(kStatusPending, std::memory_order_release);
    }
    DWORD bytes = 0;
    const DWORD status = target->IoControl(code, in, inSize, out, outSize, &bytes, overlapped);
    if (status == ERROR_SUCCESS) {
        if (returned)
            *returned = bytes;
        if (overlapped)
            CompleteOverlapped(overlapped, 0, bytes);
        return TRUE;
    }
    if (status != ERROR_IO_PENDING) {
        if (returned)
            *returned = bytes;
        // Refused at once: the status stays in the OVERLAPPED, but no completion is signalled.
        if (overlapped) {
            overlapped->InternalHigh = bytes;
            std::atomic_ref<ULONG_PTR>(overlapped->Internal)
                .store(NtStatusFromWin32(status), std::memory_order_release);
        }
    }
    SetLastError(status);
    return FALSE;
}

BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    KernelScope kernel;
    DWORD error = 0;
    if (TakeFailure(Call::GetOverlappedResult, &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (!overlapped || !transferred) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    (void)file;
    if (OverlappedStatus(overlapped) == kStatusPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // The simulated file handles are not waitable: only the request's event can be waited on.
        if (!overlapped->hEvent) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (Wait(1, &overlapped->hEvent, FALSE, INFINITE) != WAIT_OBJECT_0)
            return FALSE;
    }
    const ULONG status = OverlappedStatus(overlapped);
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (NtSuccess(status))
        return TRUE;
    SetLastError(Win32FromNtStatus(status));
    return FALSE;
}

BOOL WINAPI CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    KernelScope kernel;
    DWORD error = 0;
    if (TakeFailure(Call::CancelIoEx, &error)) {
        SetLastError(error);
        return FALSE;
    }
    auto target = ReferenceObjectAs<IoTarget>(file);
    if (!target) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!target->Cancel(overlapped)) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}
