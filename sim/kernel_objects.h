// Kernel objects of the simulated Windows: the handle table, waitable objects and the objects that
// answer DeviceIoControl (the simulated device's filters and pins).
#pragma once

#include "platform/platform.h"

#include <memory>

namespace sim {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Waitable objects: whether a wait on the object is satisfied now. Called with the wait lock held;
    // an auto-reset object consumes its signal here.
    virtual bool TryAcquire() { return false; }
    virtual bool IsSignalled() const { return false; }
    virtual bool IsWaitable() const { return false; }
    // A timer: the steady-clock time (ns) at which it becomes signalled by itself, or -1.
    virtual int64_t DueNanoseconds() const { return -1; }
    // The last handle to the object was closed.
    virtual void OnClose() {}
};

// Something that answers I/O control requests: a filter or a pin of a simulated device.
class IoTarget : public KernelObject {
public:
    // One DeviceIoControl. Return ERROR_SUCCESS with the byte count in *returned; ERROR_IO_PENDING (only
    // when overlapped is not null) and complete later with CompleteOverlapped; or a Win32 error, with
    // the size a property needs in *returned for ERROR_MORE_DATA / ERROR_INSUFFICIENT_BUFFER.
    virtual DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                            DWORD* returned, OVERLAPPED* overlapped) = 0;
    // KsCreatePin on a filter: the new pin, or a Win32 error.
    virtual DWORD CreatePin(const KSPIN_CONNECT* connect, ACCESS_MASK access,
                            std::shared_ptr<IoTarget>* pin) {
        (void)connect;
        (void)access;
        (void)pin;
        return ERROR_NOT_SUPPORTED;
    }
    // CancelIoEx: asks the target to end the request of this OVERLAPPED (every request when null).
    // False when it holds no such request. Cancelling only asks: the target completes the request with
    // ERROR_OPERATION_ABORTED when it chooses to, possibly never.
    virtual bool Cancel(OVERLAPPED* overlapped) {
        (void)overlapped;
        return false;
    }
};

// Puts an object in the handle table; the handle is a multiple of 4, as on Windows, so the low bits
// can carry tags (an event handle with its low bit set is still that event).
HANDLE InsertObject(std::shared_ptr<KernelObject> object);
// The object behind a handle (tag bits ignored), or null.
std::shared_ptr<KernelObject> ReferenceObject(HANDLE handle);
template <typename T> std::shared_ptr<T> ReferenceObjectAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(ReferenceObject(handle));
}
// Handles open right now; tests use it to find leaked handles.
size_t OpenHandleCount();

// Wakes every waiter to look at its objects again; call after a waitable object became signalled.
void NotifyWaiters();

// Ends an overlapped request: stores the status (a Win32 error, kept as the NTSTATUS Windows would keep)
// and the byte count in the OVERLAPPED and signals its event.
void CompleteOverlapped(OVERLAPPED* overlapped, DWORD status, DWORD bytes);
// The status a request left in its OVERLAPPED (STATUS_PENDING while in flight), read as another thread
// may be writing it.
ULONG OverlappedStatus(const OVERLAPPED* overlapped);

} // namespace sim
