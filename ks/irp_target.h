// The owner of a Kernel Streaming handle (filter or pin): synchronous I/O control and property requests.
#pragma once

#include "platform/platform.h"

#include <atomic>

// How long a request may take before it counts as unanswered, and how long its cancellation may take.
constexpr DWORD KS_REQUEST_TIMEOUT_MS = 250;
constexpr DWORD KS_CANCEL_TIMEOUT_MS = 250;
// A KS property reply is a few kilobytes at most; anything larger is a malformed reply.
constexpr ULONG KS_MAX_PROPERTY_SIZE = 64 * 1024;
// The result of a request the device did not answer in time, and of every later one on a dead device.
constexpr HRESULT KS_E_TIMEOUT = static_cast<HRESULT>(0x80070000u | ERROR_TIMEOUT);

// One request in flight: its OVERLAPPED and a copy of its buffers, on the heap so that a device which
// never completes it never writes into freed memory.
struct KsRequest;

class CKsIrpTarget {
public:
    explicit CKsIrpTarget(HANDLE handle) : m_handle(handle) {}
    // Frees the requests that timed out and have completed since; the others are kept for good.
    ~CKsIrpTarget();
    CKsIrpTarget(const CKsIrpTarget&) = delete;
    CKsIrpTarget& operator=(const CKsIrpTarget&) = delete;

    // TRUE when the handle is neither null nor INVALID_HANDLE_VALUE.
    static BOOL IsValidHandle(HANDLE handle);
    // Closes a valid handle and leaves INVALID_HANDLE_VALUE behind; returns CloseHandle's result, or TRUE
    // when there was nothing to close.
    static BOOL SafeCloseHandle(HANDLE& handle);
    // One request on an overlapped handle, waited for at most KS_REQUEST_TIMEOUT_MS; a request still in
    // flight then is cancelled (KS_E_TIMEOUT). A pended request's status and byte count are those its
    // completion leaves. Requests whose cancellation never completes are kept process-wide.
    static HRESULT SyncIoctl(HANDLE handle, ULONG code, PVOID in, ULONG inSize, PVOID out, ULONG outSize,
                             PULONG returned);
    // The same on m_handle; this object keeps the requests that never completed, and once one timed out
    // the device counts as dead: later requests fail at once with KS_E_TIMEOUT.
    HRESULT Ioctl(ULONG code, PVOID in, ULONG inSize, PVOID out, ULONG outSize, PULONG returned);

    HANDLE GetHandle() const { return m_handle; }
    BOOL IsDeviceDead() const { return m_bDeviceDead.load(); }

    // Reads a fixed-size value: a reply shorter than valueSize is malformed (E_FAIL).
    HRESULT GetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra = nullptr,
                              ULONG extraSize = 0);
    HRESULT SetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra = nullptr,
                              ULONG extraSize = 0);
    // Reads a property of unknown length into a buffer it allocates (new BYTE[]); the caller frees it.
    // *itemsSize, when asked for, receives the buffer's size: the bound for reading the reply. A size
    // above KS_MAX_PROPERTY_SIZE is a malformed reply (E_FAIL, nothing allocated).
    HRESULT GetPropertyMulti(REFGUID set, ULONG id, PKSMULTIPLE_ITEM* items, ULONG* itemsSize = nullptr);

protected:
    HANDLE m_handle;

private:
    // Requests that timed out and had not completed when their cancellation was given up on.
    std::atomic<KsRequest*> m_pStuck{nullptr};
    std::atomic<BOOL> m_bDeviceDead{FALSE};
    // The block of the last completed request, reused by the next: after the first request, requests
    // of a target allocate nothing (the render thread may read the position).
    std::atomic<KsRequest*> m_pSpare{nullptr};
};
