// The table of device interfaces behind the simulated SetupAPI and CreateFileW.
#include "sim/setupapi.h"

#include "sim/larkspur/targets.h"
#include "sim/text.h"

#include <cstdio>
#include <mutex>

namespace sim {
namespace {

std::mutex g_mutex;
std::vector<DeviceInterface> g_interfaces;
bool g_initialised = false; // the default machine is built on first use

std::vector<DeviceInterface> DefaultMachine() {
    return {LarkspurInterface(DefaultLarkspurFilter())};
}

void EnsureInitialised() {
    if (!g_initialised) {
        g_interfaces = DefaultMachine();
        g_initialised = true;
    }
}

char16_t FoldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool SameName(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    return true;
}

// The entry as it stands now: absent while its device is unplugged.
DeviceInterface Current(const DeviceInterface& entry) {
    DeviceInterface now = entry;
    if (now.attached && !now.attached())
        now.present = false;
    return now;
}

} // namespace

void SetDeviceInterfaces(std::vector<DeviceInterface> interfaces) {
    std::lock_guard lock(g_mutex);
    g_interfaces = std::move(interfaces);
    g_initialised = true;
}

void AddDeviceInterface(DeviceInterface deviceInterface) {
    std::lock_guard lock(g_mutex);
    EnsureInitialised();
    g_interfaces.push_back(std::move(deviceInterface));
}

std::vector<DeviceInterface> GetDeviceInterfaces() {
    std::lock_guard lock(g_mutex);
    EnsureInitialised();
    std::vector<DeviceInterface> interfaces;
    interfaces.reserve(g_interfaces.size());
    for (const DeviceInterface& entry : g_interfaces)
        interfaces.push_back(Current(entry));
    return interfaces;
}

bool FindDeviceInterface(const std::u16string& devicePath, DeviceInterface* found) {
    std::lock_guard lock(g_mutex);
    EnsureInitialised();
    for (const DeviceInterface& entry : g_interfaces) {
        if (SameName(entry.devicePath, devicePath)) {
            if (found)
                *found = Current(entry);
            return true;
        }
    }
    return false;
}

void AttachNoDevice() {
    SetDeviceInterfaces({});
}

void ResetDeviceInterfaces() {
    // Built outside the lock: the device's own set-up must not run under the table's mutex.
    std::vector<DeviceInterface> machine = DefaultMachine();
    SetDeviceInterfaces(std::move(machine));
}

DeviceInterface LarkspurInterface(std::shared_ptr<IoTarget> filter, unsigned unit) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "%04X", unit & 0xFFFFu);
    DeviceInterface entry;
    entry.category = KSCATEGORY_AUDIO;
    entry.instanceId = ToWide(std::string("USB\\VID_F1E2&PID_0A5C&MI_00\\7&1A2B3C4D&0&") + serial);
    entry.devicePath = ToWide(std::string("\\\\?\\usb#vid_f1e2&pid_0a5c&mi_00#7&1a2b3c4d&0&") + serial +
                              "#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global");
    for (char16_t& c : entry.devicePath)
        c = FoldAscii(c);
    entry.aliases = {{KSCATEGORY_RENDER, SPINT_ACTIVE}};
    if (auto larkspur = std::dynamic_pointer_cast<larkspur::FilterTarget>(filter))
        entry.attached = [larkspur] { return larkspur->Attached(); };
    entry.filter = std::move(filter);
    return entry;
}

} // namespace sim
