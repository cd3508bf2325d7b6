#include "ks/pin.h"

#include "ks/filter.h"
#include "ks/trace.h"

#include <cstring>

namespace {

// ksuser.dll and its KsCreatePin, loaded once per process on the host's thread and kept.
HMODULE g_hKsUser = nullptr;
PFN_KSCREATEPIN g_pfnKsCreatePin = nullptr;

constexpr HRESULT kKsUserMissing = static_cast<HRESULT>(0x80070002u);

// The reply of a list property: its header's Size bounds it, and that must lie within the buffer.
bool ReplyBounds(const KSMULTIPLE_ITEM* reply, ULONG bufferSize, ULONG* size) {
    if (reply->Size < sizeof(KSMULTIPLE_ITEM) || reply->Size > bufferSize)
        return false;
    *size = reply->Size;
    return true;
}

// A list of fixed-size items (interfaces, mediums) that its reply really holds.
bool ItemsFit(const KSMULTIPLE_ITEM* reply, ULONG bufferSize, ULONG itemSize) {
    ULONG size = 0;
    if (!ReplyBounds(reply, bufferSize, &size))
        return false;
    return reply->Count <= (size - sizeof(KSMULTIPLE_ITEM)) / itemSize;
}

// Data ranges follow one another, each FormatSize bytes long; every one must be a whole KSDATARANGE
// inside the reply.
bool DataRangesFit(const KSMULTIPLE_ITEM* reply, ULONG bufferSize) {
    ULONG size = 0;
    if (!ReplyBounds(reply, bufferSize, &size))
        return false;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(reply);
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < reply->Count; ++i) {
        if (size - offset < sizeof(KSDATARANGE))
            return false;
        ULONG formatSize = 0;
        std::memcpy(&formatSize, bytes + offset + offsetof(KSDATARANGE, FormatSize), sizeof formatSize);
        if (formatSize < sizeof(KSDATARANGE) || formatSize > size - offset)
            return false;
        offset += formatSize;
    }
    return true;
}

} // namespace

CKsPin::CKsPin(CKsFilter* filter, ULONG id, HRESULT* result)
    : CKsIrpTarget(INVALID_HANDLE_VALUE), m_nId(id), m_pFilter(filter), m_guidCategory(GUID_NULL) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsPin::CKsPin()");
    std::memset(&m_Descriptor, 0, sizeof m_Descriptor);
    std::memset(&m_modeRequest, 0, sizeof m_modeRequest);
    std::memset(m_szPinName, 0, sizeof m_szPinName);
    const HRESULT hr = Init();
    if (result)
        *result = hr;
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsPin::CKsPin", hr);
}

CKsPin::~CKsPin() {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsPin::~CKsPin()");
    ClosePin();
    delete[] reinterpret_cast<BYTE*>(m_pksPinCreate);
    delete[] reinterpret_cast<BYTE*>(m_Descriptor.pmiDataRanges);
    delete[] reinterpret_cast<BYTE*>(m_Descriptor.pmiInterfaces);
    delete[] reinterpret_cast<BYTE*>(m_Descriptor.pmiMediums);
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave", "CKsPin::~CKsPin()");
}

HRESULT CKsPin::Init() {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsPin::Init()");
    bool anyFailed = false;
    auto warn = [&](const char* message) {
        KsTrace(TRACE_PIN_PROPERTY, message, static_cast<int>(m_nId));
        anyFailed = true;
    };
    auto readSimple = [&](ULONG id, void* value, ULONG size) {
        return m_pFilter ? m_pFilter->GetPinPropertySimple(m_nId, KSPROPSETID_Pin, id, value, size) : E_FAIL;
    };
    // A list read: the buffer is kept (and freed by the destructor) whatever the result; the list is
    // taken only from a reply that holds what it claims.
    auto readList = [&](ULONG id, PKSMULTIPLE_ITEM* buffer, ULONG* count, const void** first,
                        bool (*fits)(const KSMULTIPLE_ITEM*, ULONG)) {
        ULONG size = 0;
        if (!m_pFilter)
            return E_FAIL;
        HRESULT hr = m_pFilter->GetPinPropertyMulti(m_nId, KSPROPSETID_Pin, id, buffer, &size);
        if (FAILED(hr) || !*buffer || size < sizeof(KSMULTIPLE_ITEM))
            return hr;
        if (!fits(*buffer, size))
            return E_FAIL;
        *count = (*buffer)->Count;
        *first = *count ? reinterpret_cast<const BYTE*>(*buffer) + sizeof(KSMULTIPLE_ITEM) : nullptr;
        return hr;
    };
    auto interfacesFit = [](const KSMULTIPLE_ITEM* reply, ULONG size) {
        return ItemsFit(reply, size, sizeof(KSPIN_INTERFACE));
    };
    auto mediumsFit = [](const KSMULTIPLE_ITEM* reply, ULONG size) {
        return ItemsFit(reply, size, sizeof(KSPIN_MEDIUM));
    };

    ULONG communication = 0;
    if (FAILED(readSimple(KSPROPERTY_PIN_COMMUNICATION, &communication, sizeof communication)))
        warn("Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: %d");
    else
        m_Descriptor.Communication = communication;

    const void* list = nullptr;
    ULONG count = 0;
    if (FAILED(
            readList(KSPROPERTY_PIN_INTERFACES, &m_Descriptor.pmiInterfaces, &count, &list, interfacesFit))) {
        warn("Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: %d");
    } else {
        m_Descriptor.InterfacesCount = count;
        m_Descriptor.Interfaces = static_cast<const KSPIN_INTERFACE*>(list);
    }

    list = nullptr;
    count = 0;
    if (FAILED(readList(KSPROPERTY_PIN_MEDIUMS, &m_Descriptor.pmiMediums, &count, &list, mediumsFit))) {
        warn("Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: %d");
    } else {
        m_Descriptor.MediumsCount = count;
        m_Descriptor.Mediums = static_cast<const KSPIN_MEDIUM*>(list);
    }

    list = nullptr;
    count = 0;
    if (FAILED(
            readList(KSPROPERTY_PIN_DATARANGES, &m_Descriptor.pmiDataRanges, &count, &list, DataRangesFit))) {
        warn("Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: %d");
    } else {
        m_Descriptor.DataRangesCount = count;
        m_Descriptor.DataRanges = static_cast<const KSDATARANGE*>(list);
    }

    ULONG dataFlow = 0;
    if (FAILED(readSimple(KSPROPERTY_PIN_DATAFLOW, &dataFlow, sizeof dataFlow)))
        warn("Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: %d");
    else
        m_Descriptor.DataFlow = dataFlow;

    KSPIN_CINSTANCES instances{};
    if (FAILED(readSimple(KSPROPERTY_PIN_CINSTANCES, &instances, sizeof instances)))
        warn("Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: %d");
    else
        m_Descriptor.CInstances = instances;

    instances = {};
    if (FAILED(readSimple(KSPROPERTY_PIN_GLOBALCINSTANCES, &instances, sizeof instances)))
        warn("Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: %d");
    else
        m_Descriptor.CInstancesGlobal = instances;

    GUID category = GUID_NULL;
    if (FAILED(readSimple(KSPROPERTY_PIN_CATEGORY, &category, sizeof category)))
        warn("Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: %d");
    else
        m_guidCategory = category;

    // The name is the one variable-length value: a reply shorter than the buffer is expected.
    ULONG nameBytes = 0;
    if (!m_pFilter ||
        FAILED(m_pFilter->GetPinPropertySimple(m_nId, KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, m_szPinName,
                                               sizeof m_szPinName - 1, &nameBytes)))
        warn("Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: %d");
    // The device need not terminate the name, and the last character is only half written.
    m_szPinName[MAX_PATH - 1] = 0;

    const HRESULT hr = anyFailed ? S_FALSE : S_OK;
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsPin::Init", hr);
    return hr;
}

HRESULT CKsPin::Instantiate(BOOL looped) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsPin::Instantiate()");
    if (!m_pksPinCreate)
        return S_OK;
    m_bLooped = looped;
    m_pksPinCreate->Interface.Id =
        looped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;

    HRESULT hr = S_OK;
    if (!g_pfnKsCreatePin) {
        // From the system directory only: a ksuser.dll beside the host must never be loaded.
        if (!g_hKsUser)
            g_hKsUser = LoadLibraryExW(TEXT("ksuser.dll"), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (g_hKsUser) {
            // Through a generic function pointer: FARPROC's own type says nothing of the real one.
            g_pfnKsCreatePin = reinterpret_cast<PFN_KSCREATEPIN>(
                reinterpret_cast<void (*)()>(GetProcAddress(g_hKsUser, "KsCreatePin")));
        }
        if (!g_pfnKsCreatePin) {
            hr = kKsUserMissing;
            KsTrace(TRACE_ERROR, "Failed to instantiate pin. hr=0x%08x", hr);
            KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsPin::Instantiate", hr);
            return hr;
        }
    }

    HANDLE pin = INVALID_HANDLE_VALUE;
    const DWORD r = g_pfnKsCreatePin(m_pFilter ? m_pFilter->GetHandle() : INVALID_HANDLE_VALUE,
                                     m_pksPinCreate, GENERIC_READ | GENERIC_WRITE, &pin);
    if (r == 0) {
        m_handle = pin;
    } else {
        hr = static_cast<LONG>(r) > 0 ? static_cast<HRESULT>(0x80070000u | (r & 0xFFFFu))
                                      : static_cast<HRESULT>(r);
        KsTrace(TRACE_ERROR, "Failed to instantiate pin. hr=0x%08x", hr);
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsPin::Instantiate", hr);
    return hr;
}

HRESULT CKsPin::SetState(KSSTATE state) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsPin::SetState()");
    KSSTATE value = state;
    const HRESULT hr =
        SetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof value);
    if (SUCCEEDED(hr))
        m_ksState = state;
    else
        KsTrace(TRACE_ERROR, "Failed to Set Pin State");
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsPin::SetState", hr);
    return hr;
}

void CKsPin::ClosePin() {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsPin::ClosePin()");
    if (IsValidHandle(m_handle)) {
        SetState(KSSTATE_STOP);
        SafeCloseHandle(m_handle);
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave", "CKsPin::ClosePin()");
}

HRESULT CKsPin::WriteData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    // Runs on the render thread for every packet: no allocation, no lock, no wait.
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsPin::WriteData()");
    HRESULT hr = S_OK;
    if (!header || !overlapped) {
        hr = E_INVALIDARG;
    } else {
        DWORD returned = 0;
        if (!DeviceIoControl(m_handle, IOCTL_KS_WRITE_STREAM, nullptr, 0, header, header->Size, &returned,
                             overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                KsTrace(TRACE_ERROR, "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x%#08x", error);
                hr = E_FAIL;
            }
        }
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsPin::WriteData", hr);
    return hr;
}

BOOL CKsPin::CancelWrite(OVERLAPPED* overlapped) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsPin::CancelWrite()");
    const BOOL cancelled = overlapped && IsValidHandle(m_handle) && CancelIoEx(m_handle, overlapped);
    if (!cancelled)
        KsTrace(TRACE_NOTICE, "CKsPin::CancelWrite found no write in flight.  Error=0x%#08x", GetLastError());
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsPin::CancelWrite", cancelled);
    return cancelled;
}

HRESULT CKsPin::GetDataFlow(KSPIN_DATAFLOW* flow) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsPin::GetDataFlow()");
    HRESULT hr = S_OK;
    const ULONG value = m_Descriptor.DataFlow;
    if (value == 0 || value == KSPIN_DATAFLOW_IN || value == KSPIN_DATAFLOW_OUT) {
        if (flow)
            *flow = static_cast<KSPIN_DATAFLOW>(value);
    } else {
        hr = E_FAIL;
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsPin::GetDataFlow", hr);
    return hr;
}

HRESULT CKsPin::GetCommunication(KSPIN_COMMUNICATION* communication) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsPin::GetCommunication()");
    HRESULT hr = S_OK;
    const ULONG value = m_Descriptor.Communication;
    if (value <= KSPIN_COMMUNICATION_BRIDGE) {
        if (communication)
            *communication = static_cast<KSPIN_COMMUNICATION>(value);
    } else {
        hr = E_FAIL;
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsPin::GetCommunication", hr);
    return hr;
}

BOOL CKsPin::SetDeviceMode(ULONG mode) {
    m_modeRequest.ModeCode = mode;
    m_modeRequest.Zero = 0;
    // Like every other request on the overlapped pin handle: an OVERLAPPED with an event and a bounded
    // wait. The result stays unreported, as before.
    ULONG returned = 0;
    Ioctl(IOCTL_VENDOR_SET_MODE, &m_modeRequest, sizeof m_modeRequest, nullptr, 0, &returned);
    return TRUE;
}
