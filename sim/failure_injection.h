// Failure injection for the simulated platform: any simulated call can be told to fail its next
// calls with a given error, so every failure path of the driver is reachable from a test.
#pragma once

#include "platform/platform.h"

namespace sim {

enum class Call {
    CreateEventW,
    SetEvent,
    WaitForSingleObject,
    WaitForMultipleObjects,
    CloseHandle,
    DeviceIoControl,
    CreateFileW,
    LoadLibraryW,
    LoadLibraryExW,
    GetProcAddress,
    KsCreatePin,
    CreateThread,
    AvSetMmThreadCharacteristicsA,
    GetModuleHandleW,
    GetModuleFileNameW,
    CharLowerW,
    StringFromCLSID,
    RegOpenKeyW,
    RegOpenKeyExW,
    RegCreateKeyW,
    RegSetValueExW,
    RegQueryValueExW,
    RegEnumKeyW,
    RegDeleteKeyW,
    RegCloseKey,
    SetupDiGetClassDevsW,
    SetupDiEnumDeviceInterfaces,
    SetupDiGetDeviceInterfaceDetailW,
    SetupDiGetDeviceInstanceIdW,
    SetupDiGetDeviceInterfaceAlias,
    GetOverlappedResult,
    CancelIoEx,
    CreateWaitableTimerExW,
    Count
};

// The next `count` calls of `call`, after letting `skip` calls through, fail with `error`.
void FailNext(Call call, DWORD error, unsigned count = 1, unsigned skip = 0);

// Called by each simulated function on entry: true (and the error) when this call is to fail.
bool TakeFailure(Call call, DWORD* error);

// Whether failures planned for `call` have not all happened yet (the calls they wait for never came).
bool FailurePlanned(Call call);

// Forget every pending failure.
void ClearFailures();

} // namespace sim
