#include "sim/ntstatus.h"

namespace sim {
namespace {

struct Pair {
    DWORD error;
    ULONG status;
};

// Both directions of the translation for the codes the simulation uses; the first entry for a
// status is what GetLastError reports for it.
constexpr Pair kPairs[] = {
    {ERROR_SUCCESS, kStatusSuccess},
    {ERROR_IO_PENDING, kStatusPending},
    {ERROR_MORE_DATA, kStatusBufferOverflow},
    {ERROR_GEN_FAILURE, kStatusUnsuccessful},
    {ERROR_INVALID_HANDLE, kStatusInvalidHandle},
    {ERROR_INVALID_PARAMETER, kStatusInvalidParameter},
    {1 /* ERROR_INVALID_FUNCTION */, kStatusInvalidDeviceRequest},
    {ERROR_ACCESS_DENIED, kStatusAccessDenied},
    {ERROR_INSUFFICIENT_BUFFER, kStatusBufferTooSmall},
    {1450 /* ERROR_NO_SYSTEM_RESOURCES */, kStatusInsufficientResources},
    {ERROR_NOT_ENOUGH_MEMORY, kStatusInsufficientResources},
    {ERROR_NOT_SUPPORTED, kStatusNotSupported},
    {ERROR_OPERATION_ABORTED, kStatusCancelled},
    {22 /* ERROR_BAD_COMMAND */, kStatusInvalidDeviceState},
    {1167 /* ERROR_DEVICE_NOT_CONNECTED */, kStatusDeviceNotConnected},
    {ERROR_NOT_FOUND, kStatusNotFound},
    {1170 /* ERROR_SET_NOT_FOUND */, kStatusPropsetNotFound},
    {1169 /* ERROR_NO_MATCH */, kStatusNoMatch},
    {ERROR_TIMEOUT, kStatusIoTimeout},
};

} // namespace

ULONG NtStatusFromWin32(DWORD error) {
    for (const Pair& pair : kPairs)
        if (pair.error == error)
            return pair.status;
    // Anything else still fails: an error status that carries the Win32 code (FACILITY_NTWIN32).
    return 0xC0070000u | (error & 0xFFFFu);
}

DWORD Win32FromNtStatus(ULONG status) {
    for (const Pair& pair : kPairs)
        if (pair.status == status)
            return pair.error;
    if ((status & 0xFFFF0000u) == 0xC0070000u)
        return status & 0xFFFFu;
    return 317; // ERROR_MR_MID_NOT_FOUND, what Windows reports for a status it has no text for
}

} // namespace sim
