// Self-registration: the COM class key through which COM finds the module, and the ASIO driver key
// through which hosts list the driver.
#pragma once

#include "platform/platform.h"

enum : LONG {
    kRegistrationDone = 0,
    kRegistrationNoModule = -101,     // no loaded module of the given file name
    kRegistrationNoModulePath = -102, // its path came back empty or did not fit
    kRegistrationNoClassIdText = -103,
    kRegistrationWriteFailed = -104, // a key or value could not be written or deleted
};

// Writes HKEY_CLASSES_ROOT\CLSID\{class ID} (rewritten only when missing or pointing at another file)
// and HKEY_LOCAL_MACHINE\SOFTWARE\ASIO\<driver key name> (always recreated).
LONG RegisterDriver(REFCLSID clsid, LPCWSTR moduleName, LPCWSTR driverKeyName, LPCWSTR description,
                    LPCWSTR threadingModel);
// Removes both keys; SOFTWARE\ASIO stays.
LONG UnregisterDriver(REFCLSID clsid, LPCWSTR moduleName, LPCWSTR driverKeyName);

// The exports regsvr32 calls: S_OK, SELFREG_E_CLASS when the registry refused a write or delete,
// 0xFFFFFFFF when the module could not be identified.
extern "C" HRESULT STDMETHODCALLTYPE DllRegisterServer();
extern "C" HRESULT STDMETHODCALLTYPE DllUnregisterServer();
