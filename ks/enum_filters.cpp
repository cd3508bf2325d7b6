// Finding the Larkspur's filters: the device interfaces of a category whose device instance ID begins
// with the device's hardware ID and which carry every further category as an enabled alias.
#include "ks/enum_filters.h"

#include "ks/audio_filter.h"
#include "ks/trace.h"

#include <cstddef>
#include <new>

namespace {

constexpr WCHAR kHardwareId[] = TEXT("USB\\VID_F1E2&PID_0A5C");
constexpr size_t kHardwareIdChars = sizeof kHardwareId / sizeof kHardwareId[0] - 1;
static_assert(kHardwareIdChars == 21);

// Room for a device path of 261 characters and its terminator behind the detail record's cbSize.
constexpr DWORD kDetailBlockSize = 528;
constexpr DWORD kInstanceIdChars = 100;

void TraceEnter(const char* name) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", name);
}

HRESULT TraceLeave(const char* name, HRESULT result) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", name, result);
    return result;
}

WCHAR FoldAscii(WCHAR c) {
    return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - 'a' + 'A') : c;
}

// A prefix test; only the ASCII letters compare regardless of case.
bool IsLarkspurInstance(const WCHAR* instanceId) {
    for (size_t i = 0; i < kHardwareIdChars; ++i) {
        if (instanceId[i] == 0 || FoldAscii(instanceId[i]) != FoldAscii(kHardwareId[i]))
            return false;
    }
    return true;
}

bool IsNullGuid(const GUID& guid) {
    return IsEqualGUID(guid, GUID_NULL);
}

CKsFilter* NewFilter(KsFilterType type, LPCWSTR path, HRESULT* result) {
    switch (type) {
    case KsFilterTypeAudioRender:
        return new (std::nothrow) CKsAudRenFilter(path, result);
    case KsFilterTypeAudioCapture:
        return new (std::nothrow) CKsAudCapFilter(path, result);
    default:
        return new (std::nothrow) CKsFilter(path, result);
    }
}

void PrepareRecords(SP_DEVICE_INTERFACE_DATA& interfaceData, SP_DEVICE_INTERFACE_DATA& alias,
                    SP_DEVINFO_DATA& device) {
    interfaceData = {};
    interfaceData.cbSize = sizeof interfaceData;
    alias = {};
    alias.cbSize = sizeof alias;
    device = {};
    device.cbSize = sizeof device;
}

} // namespace

CKsEnumFilters::CKsEnumFilters(HRESULT* result) {
    TraceEnter("CKsEnumFilters::CKsEnumFilters()");
    const HRESULT initialised = m_listFilters.Initialize(1);
    if (result)
        *result = initialised;
    TraceLeave("CKsEnumFilters::CKsEnumFilters", initialised);
}

CKsEnumFilters::~CKsEnumFilters() {
    TraceEnter("CKsEnumFilters::~CKsEnumFilters()");
    const HRESULT result = CKsEnumFilters::DestroyLists();
    TraceLeave("CKsEnumFilters::~CKsEnumFilters", result);
}

HRESULT CKsEnumFilters::DestroyLists() {
    TraceEnter("CKsEnumFilters::DestroyLists()");
    CKsFilter* filter = nullptr;
    while (m_listFilters.RemoveHead(&filter))
        delete filter;
    return TraceLeave("CKsEnumFilters::DestroyLists", S_OK);
}

HRESULT CKsEnumFilters::EnumFilters(KsFilterType filterType, const GUID* categories, ULONG categoryCount,
                                    BOOL enumeratePins, BOOL enumerateNodes, BOOL instantiate) {
    TraceEnter("CKsEnumFilters::EnumFilters()");
    HRESULT result = DestroyLists();
    HDEVINFO set = nullptr;

    if (SUCCEEDED(result) && categories && categoryCount > 0 && !IsNullGuid(categories[0])) {
        set = SetupDiGetClassDevsW(&categories[0], nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (!CKsIrpTarget::IsValidHandle(set)) {
            KsTrace(TRACE_NOTICE, "No devices found");
            result = E_FAIL;
        } else {
            SP_DEVICE_INTERFACE_DATA interfaceData;
            SP_DEVICE_INTERFACE_DATA alias;
            SP_DEVINFO_DATA device;
            WCHAR instanceId[kInstanceIdChars];
            DWORD member = 0;
            PrepareRecords(interfaceData, alias, device);
            while (SetupDiEnumDeviceInterfaces(set, nullptr, &categories[0], member, &interfaceData)) {
                auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(
                    new (std::nothrow) BYTE[kDetailBlockSize]);
                if (!detail) {
                    KsTrace(TRACE_NOTICE, "Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure");
                    result = E_OUTOFMEMORY;
                    break;
                }
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
                const bool haveDetail = SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail,
                                                                         kDetailBlockSize, nullptr, &device);
                // The path is read only when the detail call succeeded; keep it terminated regardless.
                reinterpret_cast<WCHAR*>(reinterpret_cast<BYTE*>(detail) + kDetailBlockSize)[-1] = 0;
                instanceId[0] = 0;
                bool keep =
                    SetupDiGetDeviceInstanceIdW(set, &device, instanceId, kInstanceIdChars, nullptr) &&
                    IsLarkspurInstance(instanceId) && haveDetail;
                for (ULONG i = 1; keep && i < categoryCount; ++i) {
                    if (!SetupDiGetDeviceInterfaceAlias(set, &interfaceData, &categories[i], &alias)) {
                        KsTrace(TRACE_EVENT, "Failed to get requested DeviceInterfaceAlias");
                        keep = false;
                    } else if (alias.Flags == 0 || (alias.Flags & SPINT_REMOVED)) {
                        KsTrace(TRACE_EVENT, "DeviceInterfaceAlias disabled.");
                        keep = false;
                    }
                }
                if (keep) {
                    HRESULT built = S_OK;
                    CKsFilter* filter = NewFilter(filterType, detail->DevicePath, &built);
                    if (!filter) {
                        built = E_OUTOFMEMORY;
                    } else if (SUCCEEDED(built)) {
                        if (enumeratePins || enumerateNodes || instantiate)
                            built = filter->Instantiate();
                        if (enumerateNodes && SUCCEEDED(built))
                            built = filter->EnumerateNodes();
                        if (enumeratePins && SUCCEEDED(built))
                            built = filter->EnumeratePins();
                        if (SUCCEEDED(built) && !m_listFilters.AddTail(filter))
                            built = E_OUTOFMEMORY;
                    }
                    if (FAILED(built)) {
                        delete filter;
                        KsTrace(TRACE_ERROR, "Failed to create filter for %ls", detail->DevicePath);
                    }
                }
                delete[] reinterpret_cast<BYTE*>(detail);
                ++member;
                PrepareRecords(interfaceData, alias, device);
            }
        }
    }

    if (CKsIrpTarget::IsValidHandle(set))
        SetupDiDestroyDeviceInfoList(set);
    if (SUCCEEDED(result) && m_listFilters.IsEmpty())
        result = E_FAIL;
    return TraceLeave("CKsEnumFilters::EnumFilters", result);
}
