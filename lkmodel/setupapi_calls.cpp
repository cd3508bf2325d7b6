// SetupAPI as the model answers it, over the simulated machine's table of device interfaces: a device
// information set of the interfaces present, their details, the device instance ID and the render
// alias. Every record the driver hands in is checked first.
#include "lkmodel/model_state.h"
#include "lkmodel/request_check.h"
#include "sim/setupapi.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace lkmodel {
namespace {

// The device setup class of audio devices.
constexpr GUID kMediaClass{0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

struct DeviceInfoSet : sim::KernelObject {
    std::vector<sim::DeviceInterface> interfaces;
};

std::shared_ptr<DeviceInfoSet> SetOf(HDEVINFO handle) {
    return std::dynamic_pointer_cast<DeviceInfoSet>(ModelObject(handle));
}

BOOL Answer(DWORD error) {
    ::SetLastError(error);
    return error == ERROR_SUCCESS;
}

// Interface records carry the entry's index + 1 in Reserved.
const sim::DeviceInterface* EntryOf(const DeviceInfoSet& set, ULONG_PTR reserved) {
    return reserved == 0 || reserved > set.interfaces.size() ? nullptr : &set.interfaces[reserved - 1];
}

HDEVINFO WINAPI ModelGetClassDevsW(const GUID* category, PCWSTR, HWND, DWORD flags) {
    if (const DWORD refused = CheckClassDevs(category, flags)) {
        ::SetLastError(refused);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    if (CurrentFault() != Fault::Unplug) {
        for (sim::DeviceInterface& entry : sim::GetDeviceInterfaces())
            if (entry.present && entry.category == *category)
                set->interfaces.push_back(std::move(entry));
    }
    return sim::InsertObject(set);
}

BOOL WINAPI ModelEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device, const GUID* category,
                                      DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    auto set = SetOf(handle);
    if (!set)
        return Answer(ERROR_INVALID_HANDLE);
    if (const DWORD refused = CheckInterfaceData("SetupDiEnumDeviceInterfaces", data))
        return Answer(refused);
    if (device || !category)
        return Answer(ERROR_INVALID_PARAMETER);
    DWORD seen = 0;
    for (size_t i = 0; i < set->interfaces.size(); ++i) {
        if (!(set->interfaces[i].category == *category) || seen++ != index)
            continue;
        data->InterfaceClassGuid = set->interfaces[i].category;
        data->Flags = SPINT_ACTIVE;
        data->Reserved = i + 1;
        return Answer(ERROR_SUCCESS);
    }
    return Answer(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI ModelGetDeviceInterfaceDetailW(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                           PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    const char* call = "SetupDiGetDeviceInterfaceDetailW";
    auto set = SetOf(handle);
    if (!set)
        return Answer(ERROR_INVALID_HANDLE);
    DWORD refused = CheckInterfaceData(call, data);
    if (!refused)
        refused = CheckDetailData(call, detail);
    if (!refused)
        refused = CheckDeviceInfoData(call, device);
    if (refused)
        return Answer(refused);
    const sim::DeviceInterface* entry = EntryOf(*set, data->Reserved);
    if (!entry)
        return Answer(ERROR_INVALID_PARAMETER);
    if (device) {
        device->ClassGuid = kMediaClass;
        device->DevInst = static_cast<DWORD>(data->Reserved);
        device->Reserved = data->Reserved;
    }
    const size_t chars = entry->devicePath.size() + 1;
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + chars * sizeof(WCHAR));
    if (requiredSize)
        *requiredSize = needed;
    if (!detail || detailSize < needed)
        return Answer(ERROR_INSUFFICIENT_BUFFER);
    for (size_t i = 0; i < chars; ++i)
        detail->DevicePath[i] = static_cast<WCHAR>(entry->devicePath.c_str()[i]);
    return Answer(ERROR_SUCCESS);
}

BOOL WINAPI ModelGetDeviceInstanceIdW(HDEVINFO handle, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                      PDWORD requiredSize) {
    auto set = SetOf(handle);
    if (!set)
        return Answer(ERROR_INVALID_HANDLE);
    if (const DWORD refused = CheckDeviceInfoData("SetupDiGetDeviceInstanceIdW", device))
        return Answer(refused);
    const sim::DeviceInterface* entry = device ? EntryOf(*set, device->Reserved) : nullptr;
    if (!entry)
        return Answer(ERROR_INVALID_PARAMETER);
    const DWORD chars = static_cast<DWORD>(entry->instanceId.size() + 1);
    if (requiredSize)
        *requiredSize = chars;
    if (!id || idSize < chars)
        return Answer(ERROR_INSUFFICIENT_BUFFER);
    for (DWORD i = 0; i < chars; ++i)
        id[i] = static_cast<WCHAR>(entry->instanceId.c_str()[i]);
    return Answer(ERROR_SUCCESS);
}

BOOL WINAPI ModelGetDeviceInterfaceAlias(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                         const GUID* category, PSP_DEVICE_INTERFACE_DATA alias) {
    const char* call = "SetupDiGetDeviceInterfaceAlias";
    auto set = SetOf(handle);
    if (!set)
        return Answer(ERROR_INVALID_HANDLE);
    DWORD refused = CheckInterfaceData(call, data);
    if (!refused)
        refused = CheckInterfaceData(call, alias);
    if (!refused)
        refused = CheckAliasCategory(category);
    if (refused)
        return Answer(refused);
    const sim::DeviceInterface* entry = EntryOf(*set, data->Reserved);
    if (!entry)
        return Answer(ERROR_INVALID_PARAMETER);
    for (const sim::InterfaceAlias& candidate : entry->aliases) {
        if (!(candidate.category == *category))
            continue;
        alias->InterfaceClassGuid = candidate.category;
        alias->Flags = candidate.flags;
        alias->Reserved = data->Reserved;
        return Answer(ERROR_SUCCESS);
    }
    return Answer(ERROR_NO_SUCH_INTERFACE_DEVICE);
}

BOOL WINAPI ModelDestroyDeviceInfoList(HDEVINFO handle) {
    if (!SetOf(handle))
        return Answer(ERROR_INVALID_HANDLE);
    CloseModelHandle(handle);
    return Answer(ERROR_SUCCESS);
}

} // namespace

void* SetupApiReplacement(const char* function) {
    struct Entry {
        const char* name;
        void* replacement;
    };
    static const Entry kEntries[] = {
        {"SetupDiGetClassDevsW", reinterpret_cast<void*>(&ModelGetClassDevsW)},
        {"SetupDiEnumDeviceInterfaces", reinterpret_cast<void*>(&ModelEnumDeviceInterfaces)},
        {"SetupDiGetDeviceInterfaceDetailW", reinterpret_cast<void*>(&ModelGetDeviceInterfaceDetailW)},
        {"SetupDiGetDeviceInstanceIdW", reinterpret_cast<void*>(&ModelGetDeviceInstanceIdW)},
        {"SetupDiGetDeviceInterfaceAlias", reinterpret_cast<void*>(&ModelGetDeviceInterfaceAlias)},
        {"SetupDiDestroyDeviceInfoList", reinterpret_cast<void*>(&ModelDestroyDeviceInfoList)},
    };
    for (const Entry& entry : kEntries)
        if (std::strcmp(entry.name, function) == 0)
            return entry.replacement;
    return nullptr;
}

} // namespace lkmodel
