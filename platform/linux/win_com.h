// COM and registry declarations for builds against the simulated platform.
#pragma once

#include "platform/linux/win_base.h"

inline constexpr IID IID_IUnknown{
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory{
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
using LPUNKNOWN = IUnknown*;

struct IClassFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;
};

// ole32
HRESULT WINAPI StringFromCLSID(REFCLSID clsid, LPOLESTR* text);
void WINAPI CoTaskMemFree(LPVOID block);

// advapi32
using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define REG_SZ 1
#define REG_DWORD 4
#define KEY_QUERY_VALUE 0x0001u
#define KEY_ALL_ACCESS 0xF003Fu
#define KEY_READ 0x20019u

LONG WINAPI RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result);
LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LONG WINAPI RegCreateKeyW(HKEY key, LPCWSTR subKey, PHKEY result);
LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD size);
LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                             LPDWORD size);
LONG WINAPI RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD nameSize);
LONG WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey);
LONG WINAPI RegCloseKey(HKEY key);
