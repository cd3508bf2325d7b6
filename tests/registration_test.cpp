// Self-registration against the simulated registry: what regsvr32 leaves behind, and what it reports.
#include "com/registration.h"
#include "com/registry_keys.h"
#include "platform/asio.h"
#include "sim/failure_injection.h"
#include "sim/module_file.h"
#include "sim/registry.h"
#include "sim/task_memory.h"
#include "sim/text.h"
#include "tests/support/alloc_control.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

const HKEY kHkcr = HKEY_CLASSES_ROOT;
const HKEY kHklm = HKEY_LOCAL_MACHINE;
const std::u16string kClassIdText = u"{5B2E7C40-9A13-4D6F-8E21-3C7A94D0B518}";
const std::u16string kClassKey = u"CLSID\\" + kClassIdText;
const std::u16string kInproc = kClassKey + u"\\InprocServer32";
const std::u16string kAsioKey = u"SOFTWARE\\ASIO";
const std::u16string kDriverKey = kAsioKey + u"\\ASIO Larkspur Driver";
const std::string kModulePathLower = "c:\\program files\\larkspur\\asio\\lkasio64.dll";
const HRESULT kModuleNotFound = static_cast<HRESULT>(0xFFFFFFFFu);

std::string Text(HKEY root, const std::u16string& path, const std::u16string& name) {
    auto text = sim::RegistryGetString(root, path, name);
    return text ? sim::ToUtf8(*text) : "<missing>";
}

std::vector<std::string> Utf8(const std::vector<std::u16string>& names) {
    std::vector<std::string> out;
    for (const auto& name : names)
        out.push_back(sim::ToUtf8(name));
    return out;
}

LONG Register() {
    return RegisterDriver(CLSID_ASIOLarkspur, TEXT("lkasio64.dll"), TEXT("ASIO Larkspur Driver"),
                          TEXT("Larkspur ASIO 1.09"), TEXT("Apartment"));
}

class Registration : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetRegistry();
        sim::ResetModulePath();
        sim::ClearFailures();
    }
    void TearDown() override {
        sim::ClearFailures();
        ResetAllocationFailures();
        EXPECT_EQ(sim::OpenRegistryKeyCount(), 0u) << "a key handle was left open";
        EXPECT_EQ(sim::TaskMemoryBlocks(), 0u) << "the class-ID text was not freed";
        sim::ResetModulePath();
    }
    void ExpectDriverKey() {
        EXPECT_EQ(Text(kHklm, kDriverKey, u"CLSID"), sim::ToUtf8(kClassIdText));
        EXPECT_EQ(Text(kHklm, kDriverKey, u"Description"), "Larkspur ASIO 1.09");
        EXPECT_EQ(sim::RegistryValueNames(kHklm, kDriverKey).size(), 2u);
        EXPECT_TRUE(sim::RegistrySubkeys(kHklm, kDriverKey).empty());
    }
};

TEST_F(Registration, FirstRegistrationWritesTheClassKeyAndTheDriverKey) {
    ASSERT_FALSE(sim::RegistryKeyExists(kHklm, kAsioKey));
    EXPECT_EQ(DllRegisterServer(), S_OK);

    EXPECT_EQ(Text(kHkcr, kClassKey, u""), "Larkspur ASIO 1.09");
    EXPECT_EQ(Text(kHkcr, kInproc, u""), kModulePathLower);
    EXPECT_EQ(Text(kHkcr, kInproc, u"ThreadingModel"), "Apartment");
    EXPECT_EQ(Utf8(sim::RegistrySubkeys(kHkcr, kClassKey)), std::vector<std::string>{"InprocServer32"});
    ExpectDriverKey();
    // REG_SZ without a terminating null: twice the character count.
    auto clsid = sim::RegistryGetValue(kHklm, kDriverKey, u"CLSID");
    ASSERT_TRUE(clsid);
    EXPECT_EQ(clsid->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(clsid->data.size(), kClassIdText.size() * 2);
}

TEST_F(Registration, AgainFromTheSamePathKeepsTheClassKeyAndRecreatesTheDriverKey) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    sim::RegistrySetString(kHkcr, kClassKey, u"", u"edited by hand");
    sim::RegistrySetString(kHkcr, kInproc, u"ThreadingModel", u"Both");
    sim::RegistrySetString(kHklm, kDriverKey, u"Extra", u"x");
    sim::RegistryCreateKey(kHklm, kDriverKey + u"\\Settings\\Inner");

    EXPECT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Text(kHkcr, kClassKey, u""), "edited by hand");
    EXPECT_EQ(Text(kHkcr, kInproc, u"ThreadingModel"), "Both");
    ExpectDriverKey();
    for (const auto& deleted : sim::DeletedRegistryKeys())
        EXPECT_EQ(deleted.rfind(u"HKLM\\" + kDriverKey, 0), 0u) << sim::ToUtf8(deleted);
}

TEST_F(Registration, FromAnotherPathReplacesTheWholeClassKey) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    sim::RegistryCreateKey(kHkcr,
                           kClassKey + u"\\Implemented Categories\\{00000000-0000-0000-0000-000000000001}");
    sim::RegistryCreateKey(kHkcr, kInproc + u"\\Leftover");
    sim::RegistrySetString(kHkcr, kClassKey, u"Note", u"not ours");
    sim::RegistrySetString(kHklm, kAsioKey + u"\\ASIO Other Driver", u"CLSID", u"{other}");

    sim::SetModulePath(u"D:\\Audio\\Drivers\\LkAsio64.DLL");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Text(kHkcr, kInproc, u""), "d:\\audio\\drivers\\lkasio64.dll");
    EXPECT_EQ(Text(kHkcr, kClassKey, u"Note"), "<missing>");
    EXPECT_EQ(Utf8(sim::RegistrySubkeys(kHkcr, kClassKey)), std::vector<std::string>{"InprocServer32"});
    EXPECT_TRUE(sim::RegistrySubkeys(kHkcr, kInproc).empty());
    EXPECT_EQ(Text(kHklm, kAsioKey + u"\\ASIO Other Driver", u"CLSID"), "{other}");
    ExpectDriverKey();
}

TEST_F(Registration, AStoredPathThatDiffersOnlyInCaseIsTheSameFile) {
    sim::RegistrySetString(kHkcr, kClassKey, u"", u"kept");
    sim::RegistrySetString(kHkcr, kInproc, u"", u"C:\\PROGRAM FILES\\Larkspur\\ASIO\\LKASIO64.DLL");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Text(kHkcr, kClassKey, u""), "kept");
    EXPECT_EQ(Text(kHkcr, kInproc, u""), "C:\\PROGRAM FILES\\Larkspur\\ASIO\\LKASIO64.DLL");
    EXPECT_TRUE(sim::DeletedRegistryKeys().empty());
    ExpectDriverKey();
}

TEST_F(Registration, AStoredPathLongerThanItsBufferCountsAsAnotherFile) {
    // The same path, but followed by more than the 360 bytes that are read back.
    const std::u16string stored = sim::ToWide(kModulePathLower) + u'\0' + std::u16string(160, u'x');
    ASSERT_GT(stored.size() * 2, 360u);
    sim::RegistrySetString(kHkcr, kClassKey, u"", u"stale");
    sim::RegistrySetString(kHkcr, kInproc, u"", stored);
    EXPECT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Text(kHkcr, kClassKey, u""), "Larkspur ASIO 1.09");
    EXPECT_EQ(sim::RegistryGetValue(kHkcr, kInproc, u"")->data.size(), kModulePathLower.size() * 2);
}

TEST_F(Registration, AValueReadBackIsAlwaysTerminated) {
    WCHAR buffer[16];
    auto fill = [&] { std::fill(std::begin(buffer), std::end(buffer), u'#'); };

    sim::RegistrySetString(kHkcr, u"CLSID\\Probe", u"", u"abc");
    fill();
    EXPECT_EQ(ReadStringValue(kHkcr, TEXT("CLSID\\Probe"), nullptr, buffer, sizeof buffer), 0);
    EXPECT_EQ(sim::ToUtf8(buffer), "abc");

    // Filling the whole capacity leaves no room for the terminator unless the value has its own.
    fill();
    EXPECT_EQ(ReadStringValue(kHkcr, TEXT("CLSID\\Probe"), nullptr, buffer, 6), -1);
    EXPECT_EQ(buffer[0], 0);
    sim::RegistrySetString(kHkcr, u"CLSID\\Probe", u"", std::u16string(u"ab\0", 3));
    fill();
    EXPECT_EQ(ReadStringValue(kHkcr, TEXT("CLSID\\Probe"), nullptr, buffer, 6), 0);
    EXPECT_EQ(sim::ToUtf8(buffer), "ab");

    // A second read that fails (the value grew in between) gives no stale text.
    fill();
    sim::FailNext(sim::Call::RegQueryValueExW, ERROR_MORE_DATA, 1, 1);
    EXPECT_EQ(ReadStringValue(kHkcr, TEXT("CLSID\\Probe"), nullptr, buffer, sizeof buffer), -1);
    EXPECT_EQ(buffer[0], 0);

    fill();
    EXPECT_EQ(ReadStringValue(kHkcr, TEXT("CLSID\\Missing"), nullptr, buffer, sizeof buffer), -1);
    EXPECT_EQ(buffer[0], 0);
}

TEST_F(Registration, UnregistrationRemovesBothKeysAndKeepsTheAsioKey) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    sim::RegistrySetString(kHkcr, kInproc, u"", u"c:\\elsewhere\\lkasio64.dll");
    sim::RegistryCreateKey(kHkcr, kInproc + u"\\Nested");
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_FALSE(sim::RegistryKeyExists(kHkcr, kClassKey));
    EXPECT_FALSE(sim::RegistryKeyExists(kHklm, kDriverKey));
    EXPECT_TRUE(sim::RegistryKeyExists(kHklm, kAsioKey));
    EXPECT_TRUE(sim::RegistrySubkeys(kHklm, kAsioKey).empty());
    EXPECT_TRUE(sim::RegistryKeyExists(kHkcr, u"CLSID"));
}

TEST_F(Registration, UnregistrationWithNothingRegisteredChangesNothing) {
    sim::RegistrySetString(kHklm, kAsioKey + u"\\ASIO Other Driver", u"CLSID", u"{other}");
    const std::string before = sim::RegistryDump();
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(sim::RegistryDump(), before);
    EXPECT_TRUE(sim::DeletedRegistryKeys().empty());
}

TEST_F(Registration, AModuleThatCannotBeIdentifiedTouchesNothing) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const std::string before = sim::RegistryDump();

    sim::SetModulePath(u"C:\\Program Files\\Larkspur\\ASIO\\lkasio64_old.dll");
    EXPECT_EQ(DllRegisterServer(), kModuleNotFound);
    EXPECT_EQ(DllUnregisterServer(), kModuleNotFound);
    EXPECT_EQ(Register(), kRegistrationNoModule);

    sim::ResetModulePath();
    sim::FailNext(sim::Call::GetModuleFileNameW, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Register(), kRegistrationNoModulePath);
    // A path cut to fit would name a file that does not exist.
    sim::SetModulePath(u"C:\\" + std::u16string(400, u'd') + u"\\lkasio64.dll");
    EXPECT_EQ(Register(), kRegistrationNoModulePath);
    sim::ResetModulePath();
    sim::FailNext(sim::Call::StringFromCLSID, static_cast<DWORD>(E_OUTOFMEMORY));
    EXPECT_EQ(UnregisterDriver(CLSID_ASIOLarkspur, TEXT("lkasio64.dll"), TEXT("ASIO Larkspur Driver")),
              kRegistrationNoClassIdText);
    EXPECT_EQ(sim::RegistryDump(), before);
}

TEST_F(Registration, RefusedWritesMakeTheExportsFail) {
    // Without rights under HKEY_LOCAL_MACHINE the class key is still written, but the driver is not
    // listed for hosts, and the caller is told.
    sim::DenyRegistryWrites(kHklm, true);
    EXPECT_EQ(DllRegisterServer(), SELFREG_E_CLASS);
    EXPECT_EQ(Text(kHkcr, kInproc, u""), kModulePathLower);
    EXPECT_FALSE(sim::RegistryKeyExists(kHklm, kAsioKey));

    sim::DenyRegistryWrites(kHklm, false);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    sim::DenyRegistryWrites(kHklm, true);
    EXPECT_EQ(DllRegisterServer(), SELFREG_E_CLASS);
    EXPECT_EQ(DllUnregisterServer(), SELFREG_E_CLASS);
    EXPECT_FALSE(sim::RegistryKeyExists(kHkcr, kClassKey));
    EXPECT_TRUE(sim::RegistryKeyExists(kHklm, kDriverKey));
    sim::DenyRegistryWrites(kHklm, false);

    sim::ResetRegistry();
    sim::DenyRegistryWrites(kHkcr, true);
    EXPECT_EQ(DllRegisterServer(), SELFREG_E_CLASS);
    ExpectDriverKey();
    sim::DenyRegistryWrites(kHkcr, false);

    // One value that does not get written is enough.
    sim::ResetRegistry();
    sim::FailNext(sim::Call::RegSetValueExW, ERROR_GEN_FAILURE, 1, 4);
    EXPECT_EQ(DllRegisterServer(), SELFREG_E_CLASS);
    EXPECT_EQ(Text(kHklm, kDriverKey, u"Description"), "<missing>");
    // A key of the tree that stays behind is enough too.
    sim::FailNext(sim::Call::RegDeleteKeyW, ERROR_GEN_FAILURE);
    EXPECT_EQ(DllUnregisterServer(), SELFREG_E_CLASS);
    EXPECT_TRUE(sim::RegistryKeyExists(kHkcr, kClassKey));
}

TEST_F(Registration, DeletingATreeRemovesTheInnermostKeysFirst) {
    for (const char16_t* path : {u"CLSID\\{T}\\A\\B\\C", u"CLSID\\{T}\\A\\D", u"CLSID\\{T}\\e"})
        sim::RegistryCreateKey(kHkcr, path);
    sim::RegistrySetString(kHkcr, u"CLSID\\{T}\\A\\B", u"v", u"1");
    EXPECT_EQ(DeleteKeyTree(kHkcr, TEXT("CLSID"), TEXT("{t}")), 0);
    EXPECT_EQ(Utf8(sim::DeletedRegistryKeys()),
              (std::vector<std::string>{"HKCR\\CLSID\\{T}\\A\\B\\C", "HKCR\\CLSID\\{T}\\A\\B",
                                        "HKCR\\CLSID\\{T}\\A\\D", "HKCR\\CLSID\\{T}\\A",
                                        "HKCR\\CLSID\\{T}\\e", "HKCR\\CLSID\\{T}"}));
    EXPECT_TRUE(sim::RegistryKeyExists(kHkcr, u"CLSID"));

    EXPECT_EQ(DeleteKeyTree(kHkcr, TEXT("CLSID"), TEXT("{T}")), -1);
    EXPECT_EQ(DeleteKeyTree(kHkcr, TEXT("NoSuchParent"), TEXT("{T}")), -1);

    // A key that stays behind keeps every key above it, and the result says so.
    sim::RegistryCreateKey(kHkcr, u"CLSID\\{T}\\A\\B");
    sim::FailNext(sim::Call::RegDeleteKeyW, ERROR_GEN_FAILURE);
    EXPECT_EQ(DeleteKeyTree(kHkcr, TEXT("CLSID"), TEXT("{T}")), -1);
    EXPECT_TRUE(sim::RegistryKeyExists(kHkcr, u"CLSID\\{T}\\A\\B"));
}

TEST_F(Registration, RunningOutOfMemoryIsReportedAndLeaksNothing) {
    bool failedOnce = false;
    for (long okCount = 0;; ++okCount) {
        sim::ResetRegistry();
        sim::RegistrySetString(kHkcr, kInproc, u"", u"c:\\old\\lkasio64.dll");
        sim::RegistryCreateKey(kHkcr, kInproc + u"\\Deeper\\Deepest");
        sim::RegistryCreateKey(kHklm, kDriverKey + u"\\Settings");
        FailOneAllocationAfter(okCount);
        const LONG result = Register();
        const bool failed = FailedAllocations() > 0;
        ResetAllocationFailures();
        ASSERT_EQ(sim::OpenRegistryKeyCount(), 0u) << "after allocation " << okCount;
        if (!failed) {
            EXPECT_EQ(result, kRegistrationDone);
            break;
        }
        failedOnce = true;
        EXPECT_EQ(result, kRegistrationWriteFailed) << "after allocation " << okCount;
    }
    EXPECT_TRUE(failedOnce);
}

} // namespace
