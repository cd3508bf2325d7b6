// CKsFilter: construction, list preparation and teardown, and the pin property reads.
#include "ks/filter.h"

#include "ks/pin.h"
#include "ks/trace.h"

#include <cstring>
#include <new>

CKsFilter::CKsFilter(LPCWSTR pszName, HRESULT* result) : CKsIrpTarget(INVALID_HANDLE_VALUE) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsFilter::CKsFilter()");
    HRESULT hr = InternalInit();
    if (!pszName) {
        KsTrace(TRACE_ERROR, "pszName cannot be NULL");
        hr = E_INVALIDARG;
    } else if (SUCCEEDED(hr)) {
        // A path that does not fit with its terminator would open some other device, or none.
        const size_t length = WideTraits::length(pszName);
        if (length >= MAX_PATH) {
            KsTrace(TRACE_ERROR, "pszName is too long");
            hr = E_INVALIDARG;
        } else {
            WideTraits::copy(m_szFilterName, pszName, length);
        }
    }
    if (result)
        *result = hr;
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsFilter::CKsFilter", hr);
}

CKsFilter::~CKsFilter() {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsFilter::~CKsFilter()");
    const HRESULT hr = CKsFilter::DestroyLists();
    SafeCloseHandle(m_handle);
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsFilter::~CKsFilter", hr);
}

HRESULT CKsFilter::InternalInit() {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsFilter::InternalInit()");
    std::memset(m_szFilterName, 0, sizeof m_szFilterName);

    struct Entry {
        CKsList* list;
        const char* failure;
    };
    const Entry lists[] = {
        {&m_listCaptureSinkPins, nullptr},
        {&m_listCaptureSourcePins, "Failed to Initialize m_listCaptureSourcePins"},
        {&m_listNoCommPins, "Failed to Initialize m_listNoCommPins"},
        {&m_listPins, "Failed to Initialize m_listPins"},
        {&m_listRenderSinkPins, "Failed to Initialize m_listRenderSinkPins"},
        {&m_listRenderSourcePins, "Failed to Initialize m_listRenderSourcePins"},
        {&m_listNodes, "Failed to Initialize m_listNodes"},
    };
    HRESULT hr = S_OK;
    for (const Entry& entry : lists) {
        hr = entry.list->Initialize(1);
        if (FAILED(hr)) {
            if (entry.failure)
                KsTrace(TRACE_ERROR, entry.failure);
            break;
        }
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsFilter::InternalInit", hr);
    return hr;
}

HRESULT CKsFilter::DestroyLists() {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsFilter::DestroyLists()");
    CKsNode* node = nullptr;
    while (m_listNodes.RemoveHead(&node))
        delete node;
    CKsPin* pin = nullptr;
    while (m_listPins.RemoveHead(&pin))
        delete pin;
    // The classified lists only alias entries of m_listPins.
    CKsList* aliases[] = {&m_listRenderSinkPins, &m_listRenderSourcePins, &m_listCaptureSinkPins,
                          &m_listCaptureSourcePins, &m_listNoCommPins};
    for (CKsList* list : aliases) {
        void* entry = nullptr;
        while (list->RemoveHead(&entry)) {
        }
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsFilter::DestroyLists", S_OK);
    return S_OK;
}

namespace {

KSP_PIN PinRequest(ULONG pinId, REFGUID set, ULONG id) {
    KSP_PIN request;
    std::memset(&request, 0, sizeof request);
    request.Property.Set = set;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    request.Reserved = 0;
    return request;
}

} // namespace

HRESULT CKsFilter::GetPinPropertySimple(ULONG pinId, REFGUID set, ULONG id, PVOID value, ULONG valueSize,
                                        ULONG* returned) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsFilter::GetPinPropertySimple()");
    KSP_PIN request = PinRequest(pinId, set, id);
    ULONG bytes = 0;
    HRESULT hr = Ioctl(IOCTL_KS_PROPERTY, &request, sizeof request, value, valueSize, &bytes);
    if (SUCCEEDED(hr) && !returned && bytes < valueSize) {
        KsTrace(TRACE_ERROR, "Pin property %u: a reply of %u bytes for a %u-byte value", id, bytes,
                valueSize);
        hr = E_FAIL;
    }
    if (returned)
        *returned = SUCCEEDED(hr) ? bytes : 0;
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsFilter::GetPinPropertySimple", hr);
    return hr;
}

HRESULT CKsFilter::GetPinPropertyMulti(ULONG pinId, REFGUID set, ULONG id, PKSMULTIPLE_ITEM* items,
                                       ULONG* itemsSize) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsFilter::GetPinPropertyMulti()");
    KSP_PIN request = PinRequest(pinId, set, id);
    ULONG size = 0;
    HRESULT hr = Ioctl(IOCTL_KS_PROPERTY, &request, sizeof request, nullptr, 0, &size);
    if (SUCCEEDED(hr) && size > KS_MAX_PROPERTY_SIZE) {
        KsTrace(TRACE_ERROR, "Pin property %u: a reply of %u bytes is not credible", id, size);
        hr = E_FAIL;
    }
    if (SUCCEEDED(hr)) {
        // Zero-filled, so a reply shorter than announced leaves no stale bytes behind its end.
        BYTE* buffer = new (std::nothrow) BYTE[size]();
        *items = reinterpret_cast<PKSMULTIPLE_ITEM>(buffer);
        if (!buffer) {
            hr = E_OUTOFMEMORY;
        } else {
            if (itemsSize)
                *itemsSize = size;
            hr = Ioctl(IOCTL_KS_PROPERTY, &request, sizeof request, buffer, size, nullptr);
        }
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsFilter::GetPinPropertyMulti", hr);
    return hr;
}
