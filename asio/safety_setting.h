// The user's safety buffers: HKEY_CURRENT_USER\Software\Larkspur\ASIO, value SafetyBuffers (REG_DWORD,
// 0 to 2): writes kept queued at the device beyond the one it plays, each adding a buffer of latency.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

constexpr int32_t kDefaultSafetyBuffers = 0;
constexpr int32_t kMaxSafetyBuffers = 2;

extern const WCHAR kSafetyBuffersValueName[];

enum class SafetyBuffersSource {
    Setting, // a valid SafetyBuffers value
    Missing, // no key or no value: the default
    Invalid, // a value that is not a REG_DWORD from 0 to 2: the default
};

struct SafetyBuffersSetting {
    int32_t buffers = kDefaultSafetyBuffers; // what is in force: the setting or the default
    SafetyBuffersSource source = SafetyBuffersSource::Missing;
    // What the registry held, for the description: its type and, for a 4-byte value, the number.
    DWORD storedType = 0;
    DWORD storedSize = 0;
    uint32_t storedValue = 0;
};

bool IsSafetyBuffersChoice(int64_t buffers);

// The setting from the answer of RegQueryValueExW for the value; anything unusable gives the default,
// with a level-1 trace.
SafetyBuffersSetting ParseSafetyBuffersValue(LONG status, DWORD type, const BYTE* data, DWORD size);

// Reads the setting of the current user; never fails.
SafetyBuffersSetting ReadSafetyBuffersSetting();

// Stores `buffers`; ERROR_INVALID_PARAMETER outside 0 to 2, else the registry's status.
LONG WriteSafetyBuffersSetting(int32_t buffers);

// One line for people: where the setting in force came from, cut to `size` bytes with a terminating
// zero; returns the full length.
size_t DescribeSafetyBuffersSetting(const SafetyBuffersSetting& setting, char* out, size_t size);
