// The simulated SetupAPI and CreateFileW on device paths, held to the Windows contract the driver
// relies on.
#include "sim/failure_injection.h"
#include "sim/setupapi.h"
#include "sim/text.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

namespace {

constexpr DWORD kErrorInvalidUserBuffer = 1784;

class NullFilter : public sim::IoTarget {
public:
    DWORD IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD*, OVERLAPPED*) override {
        return ERROR_NOT_SUPPORTED;
    }
};

sim::DeviceInterface Interface(const char* path, const char* instance, GUID category = KSCATEGORY_AUDIO) {
    sim::DeviceInterface entry;
    entry.category = category;
    entry.devicePath = sim::ToWide(path);
    entry.instanceId = sim::ToWide(instance);
    entry.filter = std::make_shared<NullFilter>();
    return entry;
}

SP_DEVICE_INTERFACE_DATA InterfaceRecord() {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    return data;
}

SP_DEVINFO_DATA DeviceRecord() {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    return data;
}

class SimSetupApi : public ::testing::Test {
protected:
    void TearDown() override {
        sim::ClearFailures();
        sim::ResetDeviceInterfaces();
        sim::ClearFileOpens();
        EXPECT_EQ(sim::OpenDeviceInfoSetCount(), 0u);
    }

    HDEVINFO Open(const GUID& category, DWORD flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) {
        return SetupDiGetClassDevsW(&category, nullptr, nullptr, flags);
    }

    // Instance IDs of the interfaces of `category`, in the order the set yields them.
    std::vector<std::string> Enumerate(HDEVINFO set, const GUID& category) {
        std::vector<std::string> ids;
        SP_DEVICE_INTERFACE_DATA data = InterfaceRecord();
        for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &category, i, &data); ++i) {
            SP_DEVINFO_DATA device = DeviceRecord();
            BYTE block[600];
            auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(block);
            detail->cbSize = sizeof *detail;
            EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof block, nullptr, &device));
            WCHAR id[100] = {};
            EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &device, id, 100, nullptr));
            ids.push_back(sim::ToUtf8(id));
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return ids;
    }
};

TEST_F(SimSetupApi, TheDefaultMachineListsOneLarkspurWithAnEnabledRenderAlias) {
    HDEVINFO set = Open(KSCATEGORY_AUDIO);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = InterfaceRecord();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    EXPECT_TRUE(IsEqualGUID(data.InterfaceClassGuid, KSCATEGORY_AUDIO));

    BYTE block[528];
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(block);
    detail->cbSize = 8;
    SP_DEVINFO_DATA device = DeviceRecord();
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof block, nullptr, &device));
    EXPECT_EQ(sim::ToUtf8(detail->DevicePath), "\\\\?\\usb#vid_f1e2&pid_0a5c&mi_00#7&1a2b3c4d&0&0000#{"
                                               "6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global");
    WCHAR id[100];
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(set, &device, id, 100, nullptr));
    EXPECT_EQ(sim::ToUtf8(id), "USB\\VID_F1E2&PID_0A5C&MI_00\\7&1A2B3C4D&0&0000");

    SP_DEVICE_INTERFACE_DATA alias = InterfaceRecord();
    ASSERT_TRUE(SetupDiGetDeviceInterfaceAlias(set, &data, &KSCATEGORY_RENDER, &alias));
    EXPECT_TRUE(IsEqualGUID(alias.InterfaceClassGuid, KSCATEGORY_RENDER));
    EXPECT_EQ(alias.Flags, static_cast<DWORD>(SPINT_ACTIVE));
    EXPECT_FALSE(SetupDiGetDeviceInterfaceAlias(set, &data, &KSCATEGORY_CAPTURE, &alias));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVICE_INTERFACE));

    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 1, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(sim::OpenDeviceInfoSetCount(), 1u);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SimSetupApi, SetsHoldTheInterfacesOfTheirCategoryInTableOrder) {
    sim::DeviceInterface gone = Interface("\\\\?\\c", "ID\\C");
    gone.present = false;
    sim::SetDeviceInterfaces({Interface("\\\\?\\a", "ID\\A"),
                              Interface("\\\\?\\b", "ID\\B", KSCATEGORY_CAPTURE), gone,
                              Interface("\\\\?\\d", "ID\\D")});
    HDEVINFO present = Open(KSCATEGORY_AUDIO);
    EXPECT_EQ(Enumerate(present, KSCATEGORY_AUDIO), (std::vector<std::string>{"ID\\A", "ID\\D"}));
    // A set is a snapshot: later changes to the machine do not reach it.
    sim::AttachNoDevice();
    EXPECT_EQ(Enumerate(present, KSCATEGORY_AUDIO).size(), 2u);
    SetupDiDestroyDeviceInfoList(present);

    sim::SetDeviceInterfaces({Interface("\\\\?\\a", "ID\\A"), gone});
    HDEVINFO all = Open(KSCATEGORY_AUDIO, DIGCF_DEVICEINTERFACE);
    EXPECT_EQ(Enumerate(all, KSCATEGORY_AUDIO), (std::vector<std::string>{"ID\\A", "ID\\C"}));
    SetupDiDestroyDeviceInfoList(all);

    sim::AttachNoDevice();
    HDEVINFO none = Open(KSCATEGORY_AUDIO);
    ASSERT_NE(none, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Enumerate(none, KSCATEGORY_AUDIO).empty());
    SetupDiDestroyDeviceInfoList(none);

    EXPECT_EQ(Open(KSCATEGORY_AUDIO, DIGCF_PRESENT), INVALID_HANDLE_VALUE); // only interface sets
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_DEVICEINTERFACE), INVALID_HANDLE_VALUE);
}

TEST_F(SimSetupApi, DetailAndInstanceIdHonourTheCallersBufferAsWindowsDoes) {
    HDEVINFO set = Open(KSCATEGORY_AUDIO);
    SP_DEVICE_INTERFACE_DATA data = InterfaceRecord();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    const size_t pathChars = sim::GetDeviceInterfaces()[0].devicePath.size() + 1;
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + 2 * pathChars);

    // The size query, and a buffer one byte short: both report the size and fill the device record.
    DWORD required = 0;
    SP_DEVINFO_DATA device = DeviceRecord();
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, needed);
    EXPECT_NE(device.DevInst, 0u);
    std::vector<BYTE> block(needed);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(block.data());
    detail->cbSize = sizeof *detail;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr));
    EXPECT_EQ(detail->DevicePath[pathChars - 1], 0);

    // cbSize is the fixed size of the record (8 on 64-bit Windows), not the buffer's.
    detail->cbSize = needed;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), kErrorInvalidUserBuffer);
    SP_DEVICE_INTERFACE_DATA badData = data;
    badData.cbSize = 28;
    detail->cbSize = sizeof *detail;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &badData, detail, needed, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), kErrorInvalidUserBuffer);

    WCHAR id[100];
    const DWORD idChars = static_cast<DWORD>(sim::GetDeviceInterfaces()[0].instanceId.size() + 1);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(set, &device, id, idChars - 1, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, idChars);
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &device, id, idChars, nullptr));
    // A device record that no call filled names no device.
    SP_DEVINFO_DATA blank = DeviceRecord();
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(set, &blank, id, 100, nullptr));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimSetupApi, CreateFileOpensTheFilterBehindADevicePath) {
    sim::DeviceInterface entry = Interface("\\\\?\\usb#vid_f1e2#{x}\\global", "ID\\A");
    sim::DeviceInterface locked = Interface("\\\\?\\locked", "ID\\B");
    locked.openError = ERROR_ACCESS_DENIED;
    sim::DeviceInterface unplugged = Interface("\\\\?\\unplugged", "ID\\C");
    unplugged.present = false;
    sim::SetDeviceInterfaces({entry, locked, unplugged});
    const size_t handlesBefore = sim::OpenHandleCount();

    // Object names compare regardless of letter case; a second open shares the same filter.
    const std::u16string upper = u"\\\\?\\USB#VID_F1E2#{X}\\GLOBAL";
    HANDLE first = CreateFileW(upper.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    HANDLE second =
        CreateFileW(entry.devicePath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_NE(first, second);
    EXPECT_EQ(sim::ReferenceObject(first), entry.filter);
    EXPECT_EQ(sim::ReferenceObject(second), entry.filter);
    auto opens = sim::FileOpens();
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].path, upper);
    EXPECT_EQ(opens[0].access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(opens[0].flags, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(opens[0].handle, first);
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));

    auto open = [](const std::u16string& path) {
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    };
    EXPECT_EQ(open(u"\\\\?\\nothing"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open(locked.devicePath), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open(unplugged.devicePath), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    sim::FailNext(sim::Call::CreateFileW, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(open(entry.devicePath), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(sim::OpenHandleCount(), handlesBefore);
}

} // namespace
