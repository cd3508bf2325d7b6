// The status codes Windows keeps in OVERLAPPED.Internal, and their Win32 counterparts.
#pragma once

#include "platform/platform.h"

namespace sim {

constexpr ULONG kStatusSuccess = 0x00000000;
constexpr ULONG kStatusPending = 0x00000103;
constexpr ULONG kStatusBufferOverflow = 0x80000005;
constexpr ULONG kStatusUnsuccessful = 0xC0000001;
constexpr ULONG kStatusInvalidHandle = 0xC0000008;
constexpr ULONG kStatusInvalidParameter = 0xC000000D;
constexpr ULONG kStatusInvalidDeviceRequest = 0xC0000010;
constexpr ULONG kStatusAccessDenied = 0xC0000022;
constexpr ULONG kStatusBufferTooSmall = 0xC0000023;
constexpr ULONG kStatusInsufficientResources = 0xC000009A;
constexpr ULONG kStatusNotSupported = 0xC00000BB;
constexpr ULONG kStatusCancelled = 0xC0000120;
constexpr ULONG kStatusInvalidDeviceState = 0xC0000184;
constexpr ULONG kStatusDeviceNotConnected = 0xC000009D;
constexpr ULONG kStatusNotFound = 0xC0000225;
constexpr ULONG kStatusPropsetNotFound = 0xC0000230;
constexpr ULONG kStatusNoMatch = 0xC0000272;
constexpr ULONG kStatusIoTimeout = 0xC00000B5;

// The NTSTATUS a kernel driver completes with for a Win32 error the simulated device speaks in.
ULONG NtStatusFromWin32(DWORD error);
// The Win32 error GetLastError reports for a status, as the system translates it.
DWORD Win32FromNtStatus(ULONG status);
// NT_SUCCESS: success and informational codes, not warnings or errors.
inline bool NtSuccess(ULONG status) {
    return static_cast<LONG>(status) >= 0;
}

} // namespace sim
