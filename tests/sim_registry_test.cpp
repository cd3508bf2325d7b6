// The simulated registry, module and COM text functions keep the Windows contracts that the driver's
// registration relies on.
#include "sim/char_case.h"
#include "sim/failure_injection.h"
#include "sim/module_file.h"
#include "sim/registry.h"
#include "sim/task_memory.h"
#include "sim/text.h"

#include <gtest/gtest.h>

namespace {

class SimRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetRegistry();
        sim::ClearFailures();
    }
    void TearDown() override {
        sim::ClearFailures();
        sim::ResetRegistry();
    }
    HKEY Create(HKEY root, const char16_t* path) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyW(root, path, &key), ERROR_SUCCESS);
        return key;
    }
    std::string Enumerate(HKEY key) {
        std::string names;
        WCHAR name[32];
        DWORD index = 0;
        for (; RegEnumKeyW(key, index, name, 32) == ERROR_SUCCESS; ++index)
            names += sim::ToUtf8(name) + ";";
        EXPECT_EQ(RegEnumKeyW(key, index, name, 32), ERROR_NO_MORE_ITEMS);
        return names;
    }
};

TEST_F(SimRegistry, OpeningWithoutASubkeyGivesBackTheSameHandle) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, nullptr, &key), ERROR_SUCCESS);
    EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
    HKEY software = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE");
    EXPECT_EQ(RegOpenKeyW(software, u"", &key), ERROR_SUCCESS);
    EXPECT_EQ(key, software);
    EXPECT_EQ(sim::OpenRegistryKeyCount(), 1u);
    // The extended call opens a second handle instead.
    EXPECT_EQ(RegOpenKeyExW(software, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_NE(key, software);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(sim::OpenRegistryKeyCount(), 0u);
}

TEST_F(SimRegistry, NamesIgnoreCaseAndKeepTheirSpelling) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"software\\Vendor\\MixedCase");
    const char16_t text[] = u"On";
    EXPECT_EQ(RegSetValueExW(key, u"Value", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);

    EXPECT_EQ(sim::RegistrySubkeys(HKEY_LOCAL_MACHINE, u""), std::vector<std::u16string>{u"SOFTWARE"});
    EXPECT_EQ(sim::RegistrySubkeys(HKEY_LOCAL_MACHINE, u"SOFTWARE\\VENDOR"),
              std::vector<std::u16string>{u"MixedCase"});
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\vendor\\MIXEDCASE", &key), ERROR_SUCCESS);
    DWORD size = 0;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"VALUE", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(sim::RegistryValueNames(HKEY_LOCAL_MACHINE, u"Software\\Vendor\\MixedCase"),
              std::vector<std::u16string>{u"Value"});
    RegCloseKey(key);

    EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"\\SOFTWARE", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\\\Vendor", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nothing", &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(SimRegistry, EnumeratesSubkeysInNameOrder) {
    HKEY parent = Create(HKEY_CLASSES_ROOT, u"Order");
    for (const char16_t* name : {u"beta", u"Alpha", u"gamma", u"ALPHA2"})
        RegCloseKey(Create(parent, name));
    EXPECT_EQ(Enumerate(parent), "Alpha;ALPHA2;beta;gamma;");
    EXPECT_EQ(Enumerate(parent), "Alpha;ALPHA2;beta;gamma;");
    WCHAR small[6];
    EXPECT_EQ(RegEnumKeyW(parent, 0, small, 5), ERROR_MORE_DATA);
    EXPECT_EQ(RegEnumKeyW(parent, 0, small, 6), ERROR_SUCCESS);
    RegCloseKey(parent);
}

TEST_F(SimRegistry, DeletesOnlyKeysWithoutSubkeys) {
    RegCloseKey(Create(HKEY_CLASSES_ROOT, u"Tree\\Leaf"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Tree"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Tree\\Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"tree\\leaf"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Tree"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(sim::DeletedRegistryKeys(), (std::vector<std::u16string>{u"HKCR\\Tree\\Leaf", u"HKCR\\Tree"}));
}

TEST_F(SimRegistry, AHandleOutlivesItsKeyButNotItsClose) {
    HKEY key = Create(HKEY_CLASSES_ROOT, u"Doomed");
    ASSERT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Doomed"), ERROR_SUCCESS);
    const BYTE data[2] = {'x', 0};
    EXPECT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, data, 2), ERROR_KEY_DELETED);
    WCHAR name[8];
    EXPECT_EQ(RegEnumKeyW(key, 0, name, 8), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, data, 2), ERROR_INVALID_HANDLE);
}

TEST_F(SimRegistry, DeniedWritesUnderOneRootOnly) {
    sim::DenyRegistryWrites(HKEY_LOCAL_MACHINE, true);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE", &key), ERROR_SUCCESS);
    const BYTE data[2] = {'x', 0};
    EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_SZ, data, 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE"), ERROR_ACCESS_DENIED);
    RegCloseKey(key);

    RegCloseKey(Create(HKEY_CLASSES_ROOT, u"Allowed"));
    sim::DenyRegistryWrites(HKEY_LOCAL_MACHINE, false);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_SZ, data, 2), ERROR_ACCESS_DENIED) << "opened for reading";
    RegCloseKey(key);
}

// The user's root is a tree of its own: a path under it is not the machine's, and writes are denied
// there separately.
TEST_F(SimRegistry, TheCurrentUserHasItsOwnTree) {
    EXPECT_TRUE(sim::RegistryKeyExists(HKEY_CURRENT_USER, u"Software"));
    HKEY key = Create(HKEY_CURRENT_USER, u"Software\\Vendor");
    const DWORD value = 64;
    EXPECT_EQ(RegSetValueExW(key, u"Size", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_FALSE(sim::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor"));
    auto stored = sim::RegistryGetValue(HKEY_CURRENT_USER, u"software\\vendor", u"size");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(stored->data, (std::vector<BYTE>{64, 0, 0, 0}));

    sim::DenyRegistryWrites(HKEY_CURRENT_USER, true);
    EXPECT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, u"Software\\Other", &key), ERROR_ACCESS_DENIED);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Other"));
    sim::DenyRegistryWrites(HKEY_CURRENT_USER, false);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Vendor"), ERROR_SUCCESS);
    EXPECT_EQ(sim::DeletedRegistryKeys(), std::vector<std::u16string>{u"HKCU\\Software\\Vendor"});
}

TEST_F(SimRegistry, ValuesComeBackAsStoredWithTheirSize) {
    HKEY key = Create(HKEY_CLASSES_ROOT, u"Values");
    const char16_t text[] = u"abc";
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 6), ERROR_SUCCESS);

    BYTE buffer[10];
    std::memset(buffer, 0x55, sizeof buffer);
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExW(key, u"", nullptr, nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::memcmp(buffer, text, 6), 0);
    EXPECT_EQ(buffer[6], 0x55) << "no terminator is added";
    EXPECT_EQ(RegQueryValueExW(key, u"Other", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(SimRegistry, EveryCallCanBeMadeToFail) {
    HKEY key = nullptr;
    sim::FailNext(sim::Call::RegOpenKeyW, ERROR_ACCESS_DENIED, 1, 1);
    EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    key = HKEY_CLASSES_ROOT;
    EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    sim::FailNext(sim::Call::RegCreateKeyW, ERROR_GEN_FAILURE);
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\X", &key), ERROR_GEN_FAILURE);
    EXPECT_FALSE(sim::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\X"));
    EXPECT_EQ(sim::OpenRegistryKeyCount(), 0u);
}

TEST(SimModule, FindsTheModuleByFileNameInAnyCase) {
    sim::ResetModulePath();
    HMODULE module = GetModuleHandleW(u"LKASIO64.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetModuleHandleW(u"lkasio64"), module);
    EXPECT_EQ(GetModuleHandleW(u"c:\\program files\\larkspur\\asio\\lkasio64.dll"), module);
    EXPECT_EQ(GetModuleHandleW(u"other.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    WCHAR path[64];
    const std::u16string full = sim::ModulePath();
    EXPECT_EQ(GetModuleFileNameW(module, path, 64), full.size());
    EXPECT_EQ(path, full);
    // Cut to size and terminated, with the size as the result.
    EXPECT_EQ(GetModuleFileNameW(module, path, 10), 10u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(path, full.substr(0, 9));

    sim::SetModulePath(u"C:\\x\\renamed.dll");
    EXPECT_EQ(GetModuleHandleW(u"lkasio64.dll"), nullptr);
    sim::ResetModulePath();
    sim::FailNext(sim::Call::GetModuleHandleW, ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(GetModuleHandleW(u"lkasio64.dll"), nullptr);
}

TEST(SimText, LowerCaseAndClassIdText) {
    WCHAR text[] = u"C:\\ÀÉ\u0410\u0401Ÿ\u0102Z";
    EXPECT_EQ(CharLowerW(text), text);
    EXPECT_EQ(std::u16string(text), u"c:\\àé\u0430\u0451ÿ\u0103z");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(CharLowerW(reinterpret_cast<LPWSTR>(uintptr_t{u'Q'}))),
              uintptr_t{u'q'});

    LPOLESTR clsid = nullptr;
    const CLSID id{0x0123ABCD, 0x4567, 0x89EF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
    ASSERT_EQ(StringFromCLSID(id, &clsid), S_OK);
    EXPECT_EQ(std::u16string(clsid), u"{0123ABCD-4567-89EF-FEDC-BA9876543210}");
    EXPECT_EQ(sim::TaskMemoryBlocks(), 1u);
    CoTaskMemFree(clsid);
    EXPECT_EQ(sim::TaskMemoryBlocks(), 0u);
    sim::FailNext(sim::Call::StringFromCLSID, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(StringFromCLSID(id, &clsid), E_OUTOFMEMORY);
    EXPECT_EQ(clsid, nullptr);
}

} // namespace
