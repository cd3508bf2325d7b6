// Reading and writing the user's buffer size.
#include "asio/buffer_size_setting.h"

#include "ks/trace.h"

#include <cstdio>
#include <cstring>

const WCHAR kBufferSizeKeyPath[] = TEXT("Software\\Larkspur\\ASIO");
const WCHAR kBufferSizeValueName[] = TEXT("BufferSize");

namespace {

constexpr const char* kKeyText = kUserSettingsKeyText;
constexpr char kChoicesText[] = "32, 64, 128, 256, 512, 1024, 2048";

BufferSizeSetting Fallback(BufferSizeSource source, DWORD type, DWORD size, uint32_t value) {
    BufferSizeSetting setting;
    setting.source = source;
    setting.storedType = type;
    setting.storedSize = size;
    setting.storedValue = value;
    return setting;
}

} // namespace

bool IsBufferSizeChoice(int64_t frames) {
    for (int32_t choice : kBufferSizeChoices) {
        if (frames == choice)
            return true;
    }
    return false;
}

BufferSizeSetting ParseBufferSizeValue(LONG status, DWORD type, const BYTE* data, DWORD size) {
    if (status == ERROR_FILE_NOT_FOUND) {
        KsTrace(TRACE_ERROR, "No BufferSize in %s; using %d", kKeyText, kDefaultBufferFrames);
        return Fallback(BufferSizeSource::Missing, 0, 0, 0);
    }
    // ERROR_MORE_DATA, a wrong type or a short value: something else was stored under the name.
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(DWORD) || !data) {
        KsTrace(TRACE_ERROR, "BufferSize in %s is not a REG_DWORD (status %d, type %u, %u bytes); using %d",
                kKeyText, static_cast<int>(status), static_cast<unsigned>(type), static_cast<unsigned>(size),
                kDefaultBufferFrames);
        return Fallback(BufferSizeSource::Invalid, type, size, 0);
    }
    uint32_t value = 0;
    std::memcpy(&value, data, sizeof value);
    if (!IsBufferSizeChoice(value)) {
        KsTrace(TRACE_ERROR, "BufferSize %u in %s is not a size of this driver; using %d",
                static_cast<unsigned>(value), kKeyText, kDefaultBufferFrames);
        return Fallback(BufferSizeSource::Invalid, type, size, value);
    }
    BufferSizeSetting setting = Fallback(BufferSizeSource::Setting, type, size, value);
    setting.frames = static_cast<int32_t>(value);
    return setting;
}

LONG QueryUserSettingValue(const WCHAR* name, DWORD* type, BYTE* data, DWORD* size) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kBufferSizeKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return ERROR_FILE_NOT_FOUND;
    const LONG status = RegQueryValueExW(key, name, nullptr, type, data, size);
    RegCloseKey(key);
    return status;
}

LONG StoreUserSettingDword(const WCHAR* name, DWORD value) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyW(HKEY_CURRENT_USER, kBufferSizeKeyPath, &key);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
    return status;
}

size_t CopySettingDescription(const char* text, int length, char* out, size_t size) {
    const size_t full = length > 0 ? static_cast<size_t>(length) : 0;
    if (out && size > 0) {
        const size_t n = full < size - 1 ? full : size - 1;
        std::memcpy(out, text, n);
        out[n] = '\0';
    }
    return full;
}

BufferSizeSetting ReadBufferSizeSetting() {
    DWORD type = 0;
    BYTE data[sizeof(DWORD)] = {};
    DWORD size = sizeof data;
    const LONG status = QueryUserSettingValue(kBufferSizeValueName, &type, data, &size);
    return ParseBufferSizeValue(status, type, data, size);
}

LONG WriteBufferSizeSetting(int32_t frames) {
    if (!IsBufferSizeChoice(frames))
        return ERROR_INVALID_PARAMETER;
    return StoreUserSettingDword(kBufferSizeValueName, static_cast<DWORD>(frames));
}

size_t DescribeBufferSizeSetting(const BufferSizeSetting& setting, char* out, size_t size) {
    char text[200];
    int length = 0;
    switch (setting.source) {
    case BufferSizeSource::Setting:
        length = std::snprintf(text, sizeof text, "set by BufferSize in %s", kKeyText);
        break;
    case BufferSizeSource::Missing:
        length = std::snprintf(text, sizeof text, "the default, as %s has no BufferSize", kKeyText);
        break;
    case BufferSizeSource::Invalid:
        if (setting.storedType == REG_DWORD && setting.storedSize == sizeof(DWORD))
            length = std::snprintf(text, sizeof text, "the default, as BufferSize %u in %s is not one of %s",
                                   static_cast<unsigned>(setting.storedValue), kKeyText, kChoicesText);
        else
            length = std::snprintf(text, sizeof text, "the default, as BufferSize in %s is not a REG_DWORD",
                                   kKeyText);
        break;
    }
    return CopySettingDescription(text, length, out, size);
}

double BufferMilliseconds(int32_t frames, double sampleRate, bool dsd) {
    if (!(sampleRate > 0))
        return 0;
    const double samples = dsd ? 32.0 * frames : frames;
    return 1000.0 * samples / sampleRate;
}

// For the inspector, which loads the driver library: where the buffer size comes from now.
extern "C" size_t LkDescribeBufferSizeSetting(char* out, size_t size) {
    return DescribeBufferSizeSetting(ReadBufferSizeSetting(), out, size);
}
