#include "com/registration.h"

#include "com/registry_keys.h"
#include "platform/asio.h"

namespace {

constexpr WCHAR kModuleFileName[] = TEXT("lkasio64.dll");
constexpr WCHAR kDriverKeyName[] = TEXT("ASIO Larkspur Driver");
constexpr WCHAR kDescription[] = TEXT("Larkspur ASIO 1.09");
constexpr WCHAR kThreadingModel[] = TEXT("Apartment");

constexpr WCHAR kClsidKey[] = TEXT("CLSID");
constexpr WCHAR kInprocServer[] = TEXT("InprocServer32");
constexpr WCHAR kThreadingModelValue[] = TEXT("ThreadingModel");
constexpr WCHAR kSoftwareKey[] = TEXT("SOFTWARE");
constexpr WCHAR kAsioKey[] = TEXT("ASIO");
constexpr WCHAR kClsidValue[] = TEXT("CLSID");
constexpr WCHAR kDescriptionValue[] = TEXT("Description");

constexpr DWORD kClassIdTextChars = 104;
// The stored InprocServer32 path is read with this capacity; a longer one counts as another file.
constexpr DWORD kStoredPathBytes = 360;

struct Prepared {
    WCHAR modulePath[kRegistryPathChars];
    WCHAR classIdText[kClassIdTextChars];
    WCHAR classKey[kRegistryPathChars];        // CLSID\{class ID}
    WCHAR inprocServerKey[kRegistryPathChars]; // CLSID\{class ID}\InprocServer32
    WCHAR asioKey[kRegistryPathChars];         // SOFTWARE\ASIO
    WCHAR driverKey[kRegistryPathChars];       // SOFTWARE\ASIO\<driver key name>
};

// The checks both routines make before touching the registry, and the paths they use.
LONG Prepare(REFCLSID clsid, LPCWSTR moduleName, LPCWSTR driverKeyName, Prepared* p) {
    HMODULE module = GetModuleHandleW(moduleName);
    if (!module)
        return kRegistrationNoModule;

    p->modulePath[0] = 0;
    const DWORD length = GetModuleFileNameW(module, p->modulePath, kRegistryPathChars);
    // A path cut to the buffer would register a file that does not exist.
    if (p->modulePath[0] == 0 || length >= kRegistryPathChars)
        return kRegistrationNoModulePath;
    CharLowerW(p->modulePath);

    LPOLESTR text = nullptr;
    if (FAILED(StringFromCLSID(clsid, &text)) || !text)
        return kRegistrationNoClassIdText;
    const size_t textLength = WideTraits::length(text);
    if (textLength < kClassIdTextChars)
        WideTraits::copy(p->classIdText, text, textLength + 1);
    CoTaskMemFree(text);
    if (textLength >= kClassIdTextChars)
        return kRegistrationNoClassIdText;

    if (!JoinKeyPath(p->classKey, kClsidKey, p->classIdText) ||
        !JoinKeyPath(p->inprocServerKey, p->classKey, kInprocServer) ||
        !JoinKeyPath(p->asioKey, kSoftwareKey, kAsioKey) ||
        !JoinKeyPath(p->driverKey, p->asioKey, driverKeyName))
        return kRegistrationWriteFailed;
    return kRegistrationDone;
}

bool RegisteredHere(const Prepared& p) {
    WCHAR stored[kRegistryPathChars] = {};
    if (ReadStringValue(HKEY_CLASSES_ROOT, p.inprocServerKey, nullptr, stored, kStoredPathBytes) != 0)
        return false;
    CharLowerW(stored);
    const size_t length = WideTraits::length(stored);
    return length == WideTraits::length(p.modulePath) &&
           WideTraits::compare(stored, p.modulePath, length) == 0;
}

HRESULT ExportResult(LONG code) {
    if (code == kRegistrationDone)
        return S_OK;
    if (code == kRegistrationWriteFailed)
        return SELFREG_E_CLASS;
    return static_cast<HRESULT>(0xFFFFFFFFu);
}

} // namespace

// Every step runs even after one failed, in the same order, so as much as possible is in place; the
// result still tells that something is missing.
LONG RegisterDriver(REFCLSID clsid, LPCWSTR moduleName, LPCWSTR driverKeyName, LPCWSTR description,
                    LPCWSTR threadingModel) {
    Prepared p;
    const LONG prepared = Prepare(clsid, moduleName, driverKeyName, &p);
    if (prepared != kRegistrationDone)
        return prepared;

    bool failed = false;
    bool writeClassKey = true;
    if (KeyExists(HKEY_CLASSES_ROOT, p.classKey) == 1) {
        writeClassKey = !RegisteredHere(p);
        if (writeClassKey)
            failed |= DeleteKeyTree(HKEY_CLASSES_ROOT, kClsidKey, p.classIdText) != 0;
    }
    if (writeClassKey) {
        failed |= CreateSubKey(HKEY_CLASSES_ROOT, kClsidKey, p.classIdText) != 0;
        failed |= SetStringValue(HKEY_CLASSES_ROOT, p.classKey, nullptr, description) != 0;
        failed |= CreateSubKey(HKEY_CLASSES_ROOT, p.classKey, kInprocServer) != 0;
        failed |= SetStringValue(HKEY_CLASSES_ROOT, p.inprocServerKey, nullptr, p.modulePath) != 0;
        failed |=
            SetStringValue(HKEY_CLASSES_ROOT, p.inprocServerKey, kThreadingModelValue, threadingModel) != 0;
    }

    if (KeyExists(HKEY_LOCAL_MACHINE, p.asioKey) == 1) {
        if (KeyExists(HKEY_LOCAL_MACHINE, p.driverKey) == 1)
            failed |= DeleteKeyTree(HKEY_LOCAL_MACHINE, p.asioKey, driverKeyName) != 0;
    } else {
        failed |= CreateSubKey(HKEY_LOCAL_MACHINE, kSoftwareKey, kAsioKey) != 0;
    }
    failed |= CreateSubKey(HKEY_LOCAL_MACHINE, p.asioKey, driverKeyName) != 0;
    failed |= SetStringValue(HKEY_LOCAL_MACHINE, p.driverKey, kClsidValue, p.classIdText) != 0;
    failed |= SetStringValue(HKEY_LOCAL_MACHINE, p.driverKey, kDescriptionValue, description) != 0;
    return failed ? kRegistrationWriteFailed : kRegistrationDone;
}

LONG UnregisterDriver(REFCLSID clsid, LPCWSTR moduleName, LPCWSTR driverKeyName) {
    Prepared p;
    const LONG prepared = Prepare(clsid, moduleName, driverKeyName, &p);
    if (prepared != kRegistrationDone)
        return prepared;

    bool failed = false;
    if (KeyExists(HKEY_CLASSES_ROOT, p.classKey) == 1)
        failed |= DeleteKeyTree(HKEY_CLASSES_ROOT, kClsidKey, p.classIdText) != 0;
    if (KeyExists(HKEY_LOCAL_MACHINE, p.asioKey) == 1 && KeyExists(HKEY_LOCAL_MACHINE, p.driverKey) == 1)
        failed |= DeleteKeyTree(HKEY_LOCAL_MACHINE, p.asioKey, driverKeyName) != 0;
    return failed ? kRegistrationWriteFailed : kRegistrationDone;
}

extern "C" HRESULT STDMETHODCALLTYPE DllRegisterServer() {
    return ExportResult(
        RegisterDriver(CLSID_ASIOLarkspur, kModuleFileName, kDriverKeyName, kDescription, kThreadingModel));
}

extern "C" HRESULT STDMETHODCALLTYPE DllUnregisterServer() {
    return ExportResult(UnregisterDriver(CLSID_ASIOLarkspur, kModuleFileName, kDriverKeyName));
}
