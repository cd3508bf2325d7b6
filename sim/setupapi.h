// The machine's device interfaces as the simulated SetupAPI lists them, and the filters that CreateFileW
// opens by their device paths. Tests and tools attach, remove and reset devices here.
#pragma once

#include "platform/platform.h"
#include "sim/kernel_objects.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct InterfaceAlias {
    GUID category;
    DWORD flags; // what SetupDiGetDeviceInterfaceAlias reports: SPINT_ACTIVE, SPINT_REMOVED ...
};

struct DeviceInterface {
    GUID category = KSCATEGORY_AUDIO;
    std::u16string devicePath;
    std::u16string instanceId;
    std::vector<InterfaceAlias> aliases;
    // What CreateFileW on the device path opens; null: nothing answers behind the path.
    std::shared_ptr<IoTarget> filter;
    bool present = true;
    // When set, the interface is present only while it answers true (a device that can be unplugged
    // and come back): GetDeviceInterfaces and FindDeviceInterface report `present` accordingly.
    std::function<bool()> attached;
    // When set, CreateFileW on the path fails with this error.
    DWORD openError = ERROR_SUCCESS;
};

// The interfaces in the order SetupDiEnumDeviceInterfaces yields them.
void SetDeviceInterfaces(std::vector<DeviceInterface> interfaces);
void AddDeviceInterface(DeviceInterface deviceInterface);
std::vector<DeviceInterface> GetDeviceInterfaces();
// The interface whose device path matches, letter case aside, as the object manager compares names.
bool FindDeviceInterface(const std::u16string& devicePath, DeviceInterface* found);
// No device interface at all.
void AttachNoDevice();
// The default machine: one Larkspur, bound to the default simulated device.
void ResetDeviceInterfaces();

// The audio interface of a Larkspur with an enabled render alias. `unit` varies the instance ID and
// device path so several can be attached; unit 0 is the default machine's. The interface of a
// simulated Larkspur's filter is absent while that device is unplugged.
DeviceInterface LarkspurInterface(std::shared_ptr<IoTarget> filter, unsigned unit = 0);

// The default simulated device's filter, bound to the default machine's Larkspur.
std::shared_ptr<IoTarget> DefaultLarkspurFilter();

// Device information sets created and not yet destroyed; tests use it to find leaked sets.
size_t OpenDeviceInfoSetCount();

// One CreateFileW on a device path, as the caller asked for it.
struct FileOpen {
    std::u16string path;
    DWORD access;
    DWORD shareMode;
    DWORD disposition;
    DWORD flags;
    HANDLE handle; // INVALID_HANDLE_VALUE when the open failed
};
std::vector<FileOpen> FileOpens();
void ClearFileOpens();

} // namespace sim
