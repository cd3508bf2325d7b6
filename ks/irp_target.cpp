#include "ks/irp_target.h"

#include "ks/trace.h"

#include <cstring>
#include <new>

struct KsRequest {
    OVERLAPPED overlapped;
    KsRequest* next;
    size_t capacity; // bytes for the input and output copies, which follow
};

namespace {

// Requests given up on by no owner, or left by an owner that was destroyed before they completed:
// never freed, since the device may still write into them.
std::atomic<KsRequest*> g_abandonedRequests{nullptr};

void Push(std::atomic<KsRequest*>& list, KsRequest* request) {
    KsRequest* head = list.load();
    do {
        request->next = head;
    } while (!list.compare_exchange_weak(head, request));
}

// Whether the device is done with a request: it wrote the final status (another thread may be writing).
bool Completed(KsRequest* request) {
    return std::atomic_ref<ULONG_PTR>(request->overlapped.Internal).load() != STATUS_PENDING;
}

void FreeRequest(KsRequest* request) {
    delete[] reinterpret_cast<BYTE*>(request);
}

// Room for every small request, so that a target's spare block serves them all once it exists.
constexpr size_t kMinRequestCapacity = 1024;

// A block with room for `bytes` of copies: the owner's spare when it is large enough, else a new one.
KsRequest* TakeRequest(std::atomic<KsRequest*>* spare, size_t bytes) {
    KsRequest* request = spare ? spare->exchange(nullptr) : nullptr;
    if (request && request->capacity < bytes) {
        KsRequest* empty = nullptr;
        if (!spare->compare_exchange_strong(empty, request))
            FreeRequest(request);
        request = nullptr;
    }
    if (!request) {
        const size_t capacity = bytes < kMinRequestCapacity ? kMinRequestCapacity : bytes;
        BYTE* block = new (std::nothrow) BYTE[sizeof(KsRequest) + capacity];
        if (!block)
            return nullptr;
        request = reinterpret_cast<KsRequest*>(block);
        request->capacity = capacity;
    }
    std::memset(&request->overlapped, 0, sizeof request->overlapped);
    request->next = nullptr;
    return request;
}

// A completed request goes back to the owner as its spare, or is freed.
void ReturnRequest(std::atomic<KsRequest*>* spare, KsRequest* request) {
    KsRequest* empty = nullptr;
    if (!spare || !spare->compare_exchange_strong(empty, request))
        FreeRequest(request);
}

// Size query answered as expected: the device reports the size a property needs.
bool IsSizeQueryAnswer(DWORD error, ULONG code, ULONG outSize) {
    return (error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA) && code == IOCTL_KS_PROPERTY &&
           outSize == 0;
}

// The event of one request, tagged so that its completion is not queued to a completion port.
HANDLE TagEvent(HANDLE event) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
}

HRESULT Leave(HRESULT hr) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsIrpTarget::SyncIoctl", hr);
    return hr;
}

// The request itself; `stuck` receives a request whose cancellation never completed, `dead` is set once
// the device failed to answer in time.
HRESULT Request(HANDLE handle, ULONG code, PVOID in, ULONG inSize, PVOID out, ULONG outSize, PULONG returned,
                std::atomic<KsRequest*>& stuck, std::atomic<BOOL>* dead, std::atomic<KsRequest*>* spare) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsIrpTarget::SyncIoctl()");
    ULONG localReturned = 0;
    if (!returned)
        returned = &localReturned;

    if (!CKsIrpTarget::IsValidHandle(handle)) {
        KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl Invalid Handle");
        return Leave(E_FAIL);
    }
    if (dead && dead->load()) {
        KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl device not answering");
        *returned = 0;
        return Leave(KS_E_TIMEOUT);
    }
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!event) {
        KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl CreateEvent failed");
        return Leave(E_OUTOFMEMORY);
    }
    KsRequest* request = TakeRequest(spare, size_t{in ? inSize : 0u} + size_t{out ? outSize : 0u});
    if (!request) {
        KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl request not allocated");
        CKsIrpTarget::SafeCloseHandle(event);
        return Leave(E_OUTOFMEMORY);
    }
    BYTE* block = reinterpret_cast<BYTE*>(request);
    BYTE* inCopy = in ? block + sizeof(KsRequest) : nullptr;
    BYTE* outCopy = out ? block + sizeof(KsRequest) + (in ? inSize : 0u) : nullptr;
    if (inCopy && inSize)
        std::memcpy(inCopy, in, inSize);
    // The output travels both ways: a set request carries its value in it.
    if (outCopy && outSize)
        std::memcpy(outCopy, out, outSize);
    event = TagEvent(event);
    request->overlapped.hEvent = event;

    HRESULT hr = S_OK;
    bool completed = true;
    DWORD bytes = 0;
    DWORD error = ERROR_SUCCESS;
    if (!DeviceIoControl(handle, code, inCopy, inSize, outCopy, outSize, &bytes, &request->overlapped)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            const DWORD wait = WaitForSingleObject(event, KS_REQUEST_TIMEOUT_MS);
            if (wait == WAIT_OBJECT_0) {
                bytes = 0;
                error = GetOverlappedResult(handle, &request->overlapped, &bytes, FALSE) ? ERROR_SUCCESS
                                                                                         : GetLastError();
                if (error == ERROR_IO_INCOMPLETE) {
                    // Signalled without a final status: not a completion to read.
                    KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl GetOverlappedResult incomplete");
                    error = ERROR_GEN_FAILURE;
                }
            } else {
                if (wait == WAIT_TIMEOUT) {
                    KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl request timed out");
                    hr = KS_E_TIMEOUT;
                    if (dead)
                        *dead = TRUE;
                } else {
                    KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x",
                            wait);
                    hr = E_FAIL;
                }
                // The device may still write into the request: take it back, or keep it for good.
                CancelIoEx(handle, &request->overlapped);
                if (WaitForSingleObject(event, KS_CANCEL_TIMEOUT_MS) != WAIT_OBJECT_0 &&
                    !Completed(request)) {
                    KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl cancelled request did not complete");
                    completed = false;
                    if (dead)
                        *dead = TRUE;
                }
            }
        }
    }
    if (SUCCEEDED(hr)) {
        if (error == ERROR_SUCCESS) {
            if (bytes > outSize) {
                KsTrace(TRACE_ERROR, "CKsIrpTarget::SyncIoctl reply of %u bytes in a %u-byte buffer", bytes,
                        outSize);
                hr = E_FAIL;
                bytes = 0;
            }
        } else if (!IsSizeQueryAnswer(error, code, outSize)) {
            hr = E_FAIL;
            bytes = 0;
        }
    } else {
        bytes = 0;
    }
    *returned = bytes;
    if (completed) {
        if (outCopy && outSize)
            std::memcpy(out, outCopy, outSize);
        ReturnRequest(spare, request);
    } else {
        Push(stuck, request);
    }
    // Closing the handle is safe while the request is in flight: the system keeps the event itself.
    CKsIrpTarget::SafeCloseHandle(event);
    return Leave(hr);
}

} // namespace

CKsIrpTarget::~CKsIrpTarget() {
    if (KsRequest* spare = m_pSpare.exchange(nullptr))
        FreeRequest(spare);
    KsRequest* request = m_pStuck.exchange(nullptr);
    while (request) {
        KsRequest* next = request->next;
        if (Completed(request))
            FreeRequest(request);
        else
            Push(g_abandonedRequests, request);
        request = next;
    }
}

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
    return Request(handle, code, in, inSize, out, outSize, returned, g_abandonedRequests, nullptr, nullptr);
}

HRESULT CKsIrpTarget::Ioctl(ULONG code, PVOID in, ULONG inSize, PVOID out, ULONG outSize, PULONG returned) {
    return Request(m_handle, code, in, inSize, out, outSize, returned, m_pStuck, &m_bDeviceDead, &m_pSpare);
}

namespace {

constexpr ULONG kSmallPropertyExtra = 64;

// Builds a KSPROPERTY followed by the extra request bytes and sends it; shared by the simple get and set.
HRESULT SendSimpleProperty(CKsIrpTarget& target, REFGUID set, ULONG id, ULONG flags, PVOID value,
                           ULONG valueSize, PVOID extra, ULONG extraSize) {
    // Refuse what cannot be sent faithfully rather than sending garbage or a truncated size.
    if ((extraSize != 0 && !extra) || extraSize > 0xFFFFFFFFu - sizeof(KSPROPERTY))
        return E_INVALIDARG;
    const ULONG requestSize = static_cast<ULONG>(sizeof(KSPROPERTY)) + extraSize;
    BYTE local[sizeof(KSPROPERTY) + kSmallPropertyExtra];
    BYTE* heap = nullptr;
    if (requestSize > sizeof local) {
        heap = new (std::nothrow) BYTE[requestSize];
        if (!heap)
            return E_OUTOFMEMORY;
    }
    BYTE* request = heap ? heap : local;
    KSPROPERTY property;
    std::memset(&property, 0, sizeof property);
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    std::memcpy(request, &property, sizeof property);
    if (extra)
        std::memcpy(request + sizeof property, extra, extraSize);
    ULONG returned = 0;
    HRESULT hr = target.Ioctl(IOCTL_KS_PROPERTY, request, requestSize, value, valueSize, &returned);
    delete[] heap;
    // A value read is of a fixed size: a shorter reply is malformed.
    if (SUCCEEDED(hr) && flags == KSPROPERTY_TYPE_GET && returned < valueSize) {
        KsTrace(TRACE_ERROR, "Property %u: a reply of %u bytes for a %u-byte value", id, returned, valueSize);
        hr = E_FAIL;
    }
    return hr;
}

} // namespace

HRESULT CKsIrpTarget::GetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra,
                                        ULONG extraSize) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsIrpTarget::GetPropertySimple()");
    const HRESULT hr =
        SendSimpleProperty(*this, set, id, KSPROPERTY_TYPE_GET, value, valueSize, extra, extraSize);
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsIrpTarget::GetPropertySimple", hr);
    return hr;
}

HRESULT CKsIrpTarget::SetPropertySimple(REFGUID set, ULONG id, PVOID value, ULONG valueSize, PVOID extra,
                                        ULONG extraSize) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsIrpTarget::SetPropertySimple()");
    const HRESULT hr =
        SendSimpleProperty(*this, set, id, KSPROPERTY_TYPE_SET, value, valueSize, extra, extraSize);
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
    HRESULT hr = Ioctl(IOCTL_KS_PROPERTY, &property, sizeof property, nullptr, 0, &size);
    if (SUCCEEDED(hr) && size > KS_MAX_PROPERTY_SIZE) {
        KsTrace(TRACE_ERROR, "Property %u: a reply of %u bytes is not credible", id, size);
        hr = E_FAIL;
    }
    if (SUCCEEDED(hr) && size != 0) {
        // Zero-filled, so a reply shorter than announced leaves no stale bytes behind its end.
        BYTE* buffer = new (std::nothrow) BYTE[size]();
        *items = reinterpret_cast<PKSMULTIPLE_ITEM>(buffer);
        if (!buffer) {
            hr = E_OUTOFMEMORY;
        } else {
            if (itemsSize)
                *itemsSize = size;
            hr = Ioctl(IOCTL_KS_PROPERTY, &property, sizeof property, buffer, size, nullptr);
        }
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsIrpTarget::GetPropertyMulti", hr);
    return hr;
}
