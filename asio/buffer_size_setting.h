// The user's buffer size: HKEY_CURRENT_USER\Software\Larkspur\ASIO, value BufferSize (REG_DWORD, PCM
// frames of one buffer half). DSD sizes follow it: 32 one-bit samples per frame.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

constexpr int32_t kDefaultBufferFrames = 1024;
// The sizes a user may choose, smallest first.
inline constexpr int32_t kBufferSizeChoices[] = {32, 64, 128, 256, 512, 1024, 2048};
constexpr int kBufferSizeChoiceCount = sizeof kBufferSizeChoices / sizeof kBufferSizeChoices[0];

// Where the setting lives, relative to HKEY_CURRENT_USER, and its value name.
extern const WCHAR kBufferSizeKeyPath[];
extern const WCHAR kBufferSizeValueName[];
// The key as people read it, for traces and descriptions.
inline constexpr char kUserSettingsKeyText[] = "HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO";

enum class BufferSizeSource {
    Setting, // a valid BufferSize value
    Missing, // no key or no value: the default
    Invalid, // a value that is not a REG_DWORD of a listed size: the default
};

struct BufferSizeSetting {
    int32_t frames = kDefaultBufferFrames; // what is in force: the setting or the default
    BufferSizeSource source = BufferSizeSource::Missing;
    // What the registry held, for the description: its type and, for a 4-byte value, the number.
    DWORD storedType = 0;
    DWORD storedSize = 0;
    uint32_t storedValue = 0;
};

bool IsBufferSizeChoice(int64_t frames);

// The setting from the answer of RegQueryValueExW for the value (status, type, data as read, size the
// registry reported). Anything unusable gives the default, with a level-1 trace.
BufferSizeSetting ParseBufferSizeValue(LONG status, DWORD type, const BYTE* data, DWORD size);

// Reads the setting of the current user; never fails.
BufferSizeSetting ReadBufferSizeSetting();

// Stores `frames` as the user's setting; ERROR_INVALID_PARAMETER for a size not in the list, else the
// registry's status.
LONG WriteBufferSizeSetting(int32_t frames);

// One line for people: where the size in force came from. Cut to `size` bytes with a terminating zero;
// returns the full length.
size_t DescribeBufferSizeSetting(const BufferSizeSetting& setting, char* out, size_t size);

// The user's settings key, shared by the driver's settings: RegQueryValueExW of `name` into `data`
// (`*size` bytes on entry), with ERROR_FILE_NOT_FOUND when the key is missing.
LONG QueryUserSettingValue(const WCHAR* name, DWORD* type, BYTE* data, DWORD* size);
// Stores `value` as a REG_DWORD named `name`, creating the key; the registry's status.
LONG StoreUserSettingDword(const WCHAR* name, DWORD value);
// Copies `length` bytes of `text` into `out` (cut to `size` bytes with a terminating zero); returns the
// full length, 0 for a negative one.
size_t CopySettingDescription(const char* text, int length, char* out, size_t size);

// How long one buffer of `frames` (PCM frames, or 32-sample DSD words) lasts at `sampleRate`, in
// milliseconds; 0 for a rate that is not positive.
double BufferMilliseconds(int32_t frames, double sampleRate, bool dsd);
