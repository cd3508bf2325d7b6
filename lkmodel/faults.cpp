// The device's faults: unplugged, stalled (write completions held back until the driver cancels or
// closes), property requests that pend and then fail, and writes refused. Also the NTSTATUS values that
// Windows keeps in OVERLAPPED.Internal for the results the model gives.
#include "lkmodel/model_state.h"
#include "sim/larkspur/device.h"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace lkmodel {
namespace {

constexpr ULONG_PTR kStatusPending = 0x00000103;

struct StatusPair {
    DWORD error;
    ULONG_PTR status;
};
constexpr StatusPair kStatuses[] = {
    {ERROR_SUCCESS, 0},
    {ERROR_IO_PENDING, kStatusPending},
    {ERROR_MORE_DATA, 0x80000005},            // STATUS_BUFFER_OVERFLOW
    {ERROR_GEN_FAILURE, 0xC0000001},          // STATUS_UNSUCCESSFUL
    {ERROR_NOT_READY, 0xC00000A3},            // STATUS_DEVICE_NOT_READY
    {ERROR_INVALID_PARAMETER, 0xC000000D},    // STATUS_INVALID_PARAMETER
    {ERROR_BAD_COMMAND, 0xC0000010},          // STATUS_INVALID_DEVICE_REQUEST
    {ERROR_INSUFFICIENT_BUFFER, 0xC0000023},  // STATUS_BUFFER_TOO_SMALL
    {ERROR_DEVICE_NOT_CONNECTED, 0xC000009D}, // STATUS_DEVICE_NOT_CONNECTED
    {ERROR_OPERATION_ABORTED, 0xC0000120},    // STATUS_CANCELLED
    {ERROR_NOT_FOUND, 0xC0000225},            // STATUS_NOT_FOUND
    {ERROR_NOT_SUPPORTED, 0xC00000BB},        // STATUS_NOT_SUPPORTED
};

struct Write {
    HANDLE handle;
    OVERLAPPED* overlapped;
    bool held;
    DWORD bytes;
};

std::atomic<Fault> g_fault{Fault::None};
std::atomic<size_t> g_cancels{0};
std::mutex g_mutex;
std::vector<Write>& Writes() {
    static auto* writes = new std::vector<Write>;
    return *writes;
}

struct Later {
    OVERLAPPED* overlapped;
    DWORD error;
};

DWORD WINAPI FailLater(LPVOID parameter) {
    Later* later = static_cast<Later*>(parameter);
    ::Sleep(2);
    later->overlapped->InternalHigh = 0;
    later->overlapped->Internal = ToNtStatus(later->error);
    SignalEvent(later->overlapped->hEvent);
    delete later;
    return 0;
}

} // namespace

Fault CurrentFault() {
    return g_fault.load();
}

void SetFault(Fault fault) {
    const Fault before = g_fault.exchange(fault);
    // The device itself goes and comes back, so that a pin made before the unplug stays dead.
    if (fault == Fault::Unplug)
        sim::larkspur::DefaultDevice()->Unplug();
    else if (before == Fault::Unplug)
        sim::larkspur::DefaultDevice()->Replug();
    if (fault == Fault::Unplug || fault == Fault::None) {
        // Whatever a stall held back ends now: with an error when the device went away.
        ReleaseHeld(nullptr, nullptr, fault == Fault::Unplug ? ERROR_DEVICE_NOT_CONNECTED : ERROR_SUCCESS);
    }
}

ULONG_PTR ToNtStatus(DWORD error) {
    for (const StatusPair& pair : kStatuses)
        if (pair.error == error)
            return pair.status;
    return 0xC0000001;
}

DWORD FromNtStatus(ULONG_PTR status) {
    for (const StatusPair& pair : kStatuses)
        if (pair.status == status)
            return pair.error;
    return ERROR_GEN_FAILURE;
}

void SignalEvent(HANDLE event) {
    if (event)
        ::SetEvent(reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) & ~ULONG_PTR{1}));
}

void RememberWrite(HANDLE handle, OVERLAPPED* overlapped) {
    std::lock_guard lock(g_mutex);
    for (Write& write : Writes()) {
        if (write.overlapped == overlapped) {
            write = {handle, overlapped, false, 0};
            return;
        }
    }
    Writes().push_back({handle, overlapped, false, 0});
}

bool HoldCompletion(OVERLAPPED* overlapped, DWORD bytes) {
    std::lock_guard lock(g_mutex);
    for (Write& write : Writes()) {
        if (write.overlapped == overlapped && !write.held) {
            write.held = true;
            write.bytes = bytes;
            return true;
        }
    }
    return false;
}

size_t ReleaseHeld(HANDLE handle, OVERLAPPED* overlapped, DWORD error) {
    std::vector<Write> released;
    {
        std::lock_guard lock(g_mutex);
        for (Write& write : Writes()) {
            if (!write.held || (handle && write.handle != handle) ||
                (overlapped && write.overlapped != overlapped))
                continue;
            write.held = false;
            released.push_back(write);
        }
    }
    for (const Write& write : released) {
        write.overlapped->InternalHigh = error == ERROR_SUCCESS ? write.bytes : 0;
        write.overlapped->Internal = ToNtStatus(error);
        SignalEvent(write.overlapped->hEvent);
    }
    return released.size();
}

void CompleteLater(OVERLAPPED* overlapped, DWORD error) {
    overlapped->Internal = kStatusPending;
    Later* later = new (std::nothrow) Later{overlapped, error};
    HANDLE thread = later ? ::CreateThread(nullptr, 0, FailLater, later, 0, nullptr) : nullptr;
    if (thread) {
        ::CloseHandle(thread);
        return;
    }
    delete later;
    overlapped->InternalHigh = 0;
    overlapped->Internal = ToNtStatus(error);
    SignalEvent(overlapped->hEvent);
}

size_t CancelCalls() {
    return g_cancels.load();
}

void CountCancel() {
    ++g_cancels;
}

} // namespace lkmodel
