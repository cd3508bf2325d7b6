// SetupAPI over the simulated table of device interfaces: device information sets of interfaces,
// their details, device instance IDs and aliases, with the Windows contract for sizes and errors.
#include "sim/setupapi.h"

#include "sim/failure_injection.h"

#include <cstddef>
#include <mutex>
#include <set>

namespace sim {
namespace {

constexpr DWORD kErrorInvalidFlags = 1004;
constexpr DWORD kErrorInvalidUserBuffer = 1784;
// The device setup class of audio devices.
constexpr GUID kMediaClass{0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// A snapshot of the interfaces that matched when the set was created.
struct DeviceInfoSet {
    std::vector<DeviceInterface> interfaces;
};

std::mutex g_setsMutex;
std::set<DeviceInfoSet*> g_sets;

bool Fail(Call call) {
    DWORD error = 0;
    if (!TakeFailure(call, &error))
        return false;
    SetLastError(error);
    return true;
}

BOOL Refuse(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The set behind a handle, or null. Sets are used by the thread that created them.
DeviceInfoSet* FindSet(HDEVINFO handle) {
    std::lock_guard lock(g_setsMutex);
    auto* set = static_cast<DeviceInfoSet*>(handle);
    return g_sets.count(set) ? set : nullptr;
}

// Interface records carry the entry's index + 1 in Reserved; device records likewise.
const DeviceInterface* EntryOf(const DeviceInfoSet& set, ULONG_PTR reserved) {
    if (reserved == 0 || reserved > set.interfaces.size())
        return nullptr;
    return &set.interfaces[reserved - 1];
}

// Interfaces of one device share its devnode: the first entry with the same instance ID.
DWORD DevInstOf(const DeviceInfoSet& set, const DeviceInterface& entry) {
    for (size_t i = 0; i < set.interfaces.size(); ++i)
        if (set.interfaces[i].instanceId == entry.instanceId)
            return static_cast<DWORD>(i + 1);
    return 0;
}

void FillDevice(const DeviceInfoSet& set, const DeviceInterface& entry, SP_DEVINFO_DATA* device) {
    device->ClassGuid = kMediaClass;
    device->DevInst = DevInstOf(set, entry);
    device->Reserved = device->DevInst;
}

} // namespace

size_t OpenDeviceInfoSetCount() {
    std::lock_guard lock(g_setsMutex);
    return g_sets.size();
}

} // namespace sim

using namespace sim;

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR, HWND, DWORD flags) {
    if (Fail(Call::SetupDiGetClassDevsW))
        return INVALID_HANDLE_VALUE;
    // Only interface sets are simulated; an interface set without a class would need DIGCF_ALLCLASSES.
    if (!(flags & DIGCF_DEVICEINTERFACE)) {
        SetLastError(kErrorInvalidFlags);
        return INVALID_HANDLE_VALUE;
    }
    if (!classGuid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // A plain allocation: tests fail only the driver's (nothrow) allocations.
    auto* set = new DeviceInfoSet;
    for (DeviceInterface& entry : GetDeviceInterfaces()) {
        if (!IsEqualGUID(entry.category, *classGuid))
            continue;
        if ((flags & DIGCF_PRESENT) && !entry.present)
            continue;
        set->interfaces.push_back(std::move(entry));
    }
    std::lock_guard lock(g_setsMutex);
    g_sets.insert(set);
    return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                        DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA data) {
    if (Fail(Call::SetupDiEnumDeviceInterfaces))
        return FALSE;
    DeviceInfoSet* set = FindSet(handle);
    if (!set)
        return Refuse(ERROR_INVALID_HANDLE);
    if (!interfaceClass || !data)
        return Refuse(ERROR_INVALID_PARAMETER);
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Refuse(kErrorInvalidUserBuffer);
    const DeviceInterface* onlyDevice = nullptr;
    if (device) {
        if (device->cbSize != sizeof(SP_DEVINFO_DATA))
            return Refuse(kErrorInvalidUserBuffer);
        onlyDevice = EntryOf(*set, device->Reserved);
        if (!onlyDevice)
            return Refuse(ERROR_INVALID_PARAMETER);
    }
    // The member index counts the interfaces of the class (and device) only.
    DWORD seen = 0;
    for (size_t i = 0; i < set->interfaces.size(); ++i) {
        const DeviceInterface& entry = set->interfaces[i];
        if (!IsEqualGUID(entry.category, *interfaceClass))
            continue;
        if (onlyDevice && entry.instanceId != onlyDevice->instanceId)
            continue;
        if (seen++ != memberIndex)
            continue;
        data->InterfaceClassGuid = entry.category;
        data->Flags = entry.present ? SPINT_ACTIVE : 0;
        data->Reserved = i + 1;
        return TRUE;
    }
    return Refuse(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    if (Fail(Call::SetupDiGetDeviceInterfaceDetailW))
        return FALSE;
    DeviceInfoSet* set = FindSet(handle);
    if (!set)
        return Refuse(ERROR_INVALID_HANDLE);
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Refuse(data ? kErrorInvalidUserBuffer : ERROR_INVALID_PARAMETER);
    const DeviceInterface* entry = EntryOf(*set, data->Reserved);
    if (!entry)
        return Refuse(ERROR_INVALID_PARAMETER);
    if (detail ? detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) : detailSize != 0)
        return Refuse(kErrorInvalidUserBuffer);
    if (device && device->cbSize != sizeof(SP_DEVINFO_DATA))
        return Refuse(kErrorInvalidUserBuffer);

    // The device record is filled even when the detail buffer turns out too small, as Windows does.
    if (device)
        FillDevice(*set, *entry, device);
    const size_t chars = entry->devicePath.size() + 1;
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + chars * sizeof(WCHAR));
    if (requiredSize)
        *requiredSize = needed;
    if (!detail || detailSize < needed)
        return Refuse(ERROR_INSUFFICIENT_BUFFER);
    WideTraits::copy(detail->DevicePath, entry->devicePath.c_str(), chars);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO handle, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                        PDWORD requiredSize) {
    if (Fail(Call::SetupDiGetDeviceInstanceIdW))
        return FALSE;
    DeviceInfoSet* set = FindSet(handle);
    if (!set)
        return Refuse(ERROR_INVALID_HANDLE);
    if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA))
        return Refuse(device ? kErrorInvalidUserBuffer : ERROR_INVALID_PARAMETER);
    const DeviceInterface* entry = EntryOf(*set, device->Reserved);
    if (!entry)
        return Refuse(ERROR_INVALID_PARAMETER);
    if (!id && idSize != 0)
        return Refuse(ERROR_INVALID_PARAMETER);
    const size_t chars = entry->instanceId.size() + 1;
    if (requiredSize)
        *requiredSize = static_cast<DWORD>(chars);
    if (idSize < chars)
        return Refuse(ERROR_INSUFFICIENT_BUFFER);
    WideTraits::copy(id, entry->instanceId.c_str(), chars);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceAlias(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                           const GUID* aliasClass, PSP_DEVICE_INTERFACE_DATA alias) {
    if (Fail(Call::SetupDiGetDeviceInterfaceAlias))
        return FALSE;
    DeviceInfoSet* set = FindSet(handle);
    if (!set)
        return Refuse(ERROR_INVALID_HANDLE);
    if (!data || !aliasClass || !alias)
        return Refuse(ERROR_INVALID_PARAMETER);
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || alias->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Refuse(kErrorInvalidUserBuffer);
    const DeviceInterface* entry = EntryOf(*set, data->Reserved);
    if (!entry)
        return Refuse(ERROR_INVALID_PARAMETER);
    for (const InterfaceAlias& candidate : entry->aliases) {
        if (!IsEqualGUID(candidate.category, *aliasClass))
            continue;
        alias->InterfaceClassGuid = candidate.category;
        alias->Flags = candidate.flags;
        alias->Reserved = data->Reserved;
        return TRUE;
    }
    return Refuse(ERROR_NO_SUCH_DEVICE_INTERFACE);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    DeviceInfoSet* set = nullptr;
    {
        std::lock_guard lock(g_setsMutex);
        auto it = g_sets.find(static_cast<DeviceInfoSet*>(handle));
        if (it == g_sets.end())
            return Refuse(ERROR_INVALID_HANDLE);
        set = *it;
        g_sets.erase(it);
    }
    delete set;
    return TRUE;
}
