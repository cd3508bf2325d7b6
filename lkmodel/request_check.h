// The model's checks of the driver's requests against the SDK headers' own definitions (ks.h,
// ksmedia.h, setupapi.h), kept apart from the project's platform declarations so that a wrong value
// there is caught here. Each check returns ERROR_SUCCESS, or the Win32 error with which the KS framework
// or the system would refuse the request; a refusal is counted and printed.
#pragma once

#include <windows.h>

#include <cstddef>

namespace lkmodel {

enum class Target { Filter, Pin };

DWORD CheckIoControl(Target target, DWORD code, const void* in, DWORD inSize, const void* out, DWORD outSize,
                     const OVERLAPPED* overlapped);
DWORD CheckConnect(const void* connect, ACCESS_MASK access);
DWORD CheckCreateFile(DWORD access, DWORD disposition, DWORD flags);
DWORD CheckClassDevs(const GUID* category, DWORD flags);
// cbSize of an SP_DEVICE_INTERFACE_DATA, SP_DEVINFO_DATA or detail record handed to SetupAPI.
DWORD CheckInterfaceData(const char* call, const void* data);
DWORD CheckDeviceInfoData(const char* call, const void* data);
DWORD CheckDetailData(const char* call, const void* detail);
DWORD CheckAliasCategory(const GUID* category);

size_t RequestsChecked();
size_t RequestsRefused();
// Whether refusals are printed (a host testing the checks themselves turns it off).
void PrintRefusals(bool print);

} // namespace lkmodel
