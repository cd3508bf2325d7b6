// The owner of a Kernel Streaming handle (filter or pin): synchronous I/O control and property requests.
#pragma once

#include "platform/platform.h"

class CKsIrpTarget {
public:
    explicit CKsIrpTarget(HANDLE handle) : m_handle(handle) {}

    // TRUE when the handle is neither null nor INVALID_HANDLE_VALUE.
    static BOOL IsValidHandle(HANDLE handle);
    // Closes a valid handle and leaves INVALID_HANDLE_VALUE behind; returns CloseHandle's result, or TRUE
    // when there was nothing to close.
    static BOOL SafeCloseHandle(HANDLE& handle);
    // One request on an overlapped handle, waited for without a time limit.
    static HRESULT SyncIoctl(HANDLE handle, ULONG code, PVOID in, ULONG inSize, PVOID out, ULONG outSize,
                             PULONG returned);

    HANDLE GetHandle() const { return m_handle; }

    HRESULT GetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra = nullptr,
                              ULONG extraSize = 0);
    HRESULT SetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra = nullptr,
                              ULONG extraSize = 0);
    // Reads a property of unknown length into a buffer it allocates (new BYTE[]); the caller frees it.
    // *itemsSize, when asked for, receives the buffer's size: the bound for reading the reply.
    HRESULT GetPropertyMulti(REFGUID set, ULONG id, PKSMULTIPLE_ITEM* items, ULONG* itemsSize = nullptr);

protected:
    HANDLE m_handle;
};
