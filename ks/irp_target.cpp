#include "ks/irp_target.h"

#include "ks/trace.h"

#include <cstring>
#include <new>

namespace {

// Size query answered as expected: the device reports the size a property needs.
bool IsSizeQueryAnswer(DWORD error, ULONG code, ULONG outSize) {
    return (error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA) && code == IOCTL_KS_PROPERTY &&
           outSize == 0;
}

// The event of one request, tagged so that its completion is not queued to a completion port.
HANDLE TagEvent(HANDLE event) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
}

} // namespace

BOOL CKsIrpTarget::IsValidHandle(HANDLE handle) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsIrpTarget::IsValidHandle()");
    const BOOL valid = handle != nullptr && handle != INVALID_HANDLE_VALUE;
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave", "CKsIrpTarget::IsValidHandle()");
    return valid;
}

BOOL CKsIrpTarget::SafeCloseHandle(HANDLE& handle) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsIrpTarget::SafeCloseHandle()");
    BOOL result = TRUE;
    if (IsValidHandle(handle)) {
        result = CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave", "CKsIrpTarget::SafeCloseHandle()");
    return result;
}

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, ULONG code, PVOID in, ULONG inSize, PVOID out, ULONG outSize,
                                PULONG returned) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsIrpTarget::SyncIoctl()");
    HRESULT hr = S_OK;
    ULONG localReturned = 0;
    if (!returned)
        returned = &localReturned;

    if (!IsValidHandle(handle)) {
        KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl Invalid Handle");
        hr = E_FAIL;
        KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsIrpTarget::SyncIoctl", hr);
        return hr;
    }

    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!event) {
        KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl CreateEvent failed");
        hr = E_OUTOFMEMORY;
        KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsIrpTarget::SyncIoctl", hr);
        return hr;
    }
    event = TagEvent(event);
    overlapped.hEvent = event;

    DWORD bytes = 0;
    if (DeviceIoControl(handle, code, in, inSize, out, outSize, &bytes, &overlapped)) {
        *returned = bytes;
    } else {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            const DWORD wait = WaitForSingleObject(event, INFINITE);
            if (wait != WAIT_OBJECT_0) {
                KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x",
                        wait);
                hr = E_FAIL;
            }
            *returned = 0;
        } else if (IsSizeQueryAnswer(error, code, outSize)) {
            *returned = bytes;
        } else {
            *returned = 0;
            hr = E_FAIL;
        }
    }
    SafeCloseHandle(event);
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsIrpTarget::SyncIoctl", hr);
    return hr;
}

namespace {

// Builds a KSPROPERTY followed by the extra request bytes and sends it; shared by the simple get and set.
HRESULT SendSimpleProperty(HANDLE handle, REFGUID set, ULONG id, ULONG flags, PVOID value, ULONG valueSize,
                           PVOID extra, ULONG extraSize) {
    // Refuse what cannot be sent faithfully rather than sending garbage or a truncated size.
    if ((extraSize != 0 && !extra) || extraSize > 0xFFFFFFFFu - sizeof(KSPROPERTY))
        return E_INVALIDARG;
    const ULONG requestSize = static_cast<ULONG>(sizeof(KSPROPERTY)) + extraSize;
    BYTE* request = new (std::nothrow) BYTE[requestSize];
    if (!request)
        return E_OUTOFMEMORY;
    KSPROPERTY property;
    std::memset(&property, 0, sizeof property);
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    std::memcpy(request, &property, sizeof property);
    if (extra)
        std::memcpy(request + sizeof property, extra, extraSize);
    ULONG returned = 0;
    const HRESULT hr =
        CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, request, requestSize, value, valueSize, &returned);
    delete[] request;
    return hr;
}

} // namespace

HRESULT CKsIrpTarget::GetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra,
                                        ULONG extraSize) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsIrpTarget::GetPropertySimple()");
    const HRESULT hr =
        SendSimpleProperty(m_handle, set, id, KSPROPERTY_TYPE_GET, value, valueSize, extra, extraSize);
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsIrpTarget::GetPropertySimple", hr);
    return hr;
}

HRESULT CKsIrpTarget::SetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra,
                                        ULONG extraSize) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsIrpTarget::SetPropertySimple()");
    const HRESULT hr =
        SendSimpleProperty(m_handle, set, id, KSPROPERTY_TYPE_SET, value, valueSize, extra, extraSize);
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsIrpTarget::SetPropertySimple", hr);
    return hr;
}

HRESULT CKsIrpTarget::GetPropertyMulti(REFGUID set, ULONG id, PKSMULTIPLE_ITEM* items, ULONG* itemsSize) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsIrpTarget::GetPropertyMulti()");
    KSPROPERTY property;
    std::memset(&property, 0, sizeof property);
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;

    ULONG size = 0;
    HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, nullptr, 0, &size);
    if (SUCCEEDED(hr) && size != 0) {
        // Zero-filled, so a reply shorter than announced leaves no stale bytes behind its end.
        BYTE* buffer = new (std::nothrow) BYTE[size]();
        *items = reinterpret_cast<PKSMULTIPLE_ITEM>(buffer);
        if (!buffer) {
            hr = E_OUTOFMEMORY;
        } else {
            if (itemsSize)
                *itemsSize = size;
            hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, buffer, size, nullptr);
        }
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsIrpTarget::GetPropertyMulti", hr);
    return hr;
}
