// Reading and writing the user's safety buffers.
#include "asio/safety_setting.h"

#include "asio/buffer_size_setting.h"
#include "ks/trace.h"

#include <cstdio>
#include <cstring>

const WCHAR kSafetyBuffersValueName[] = TEXT("SafetyBuffers");

namespace {

SafetyBuffersSetting Fallback(SafetyBuffersSource source, DWORD type, DWORD size, uint32_t value) {
    SafetyBuffersSetting setting;
    setting.source = source;
    setting.storedType = type;
    setting.storedSize = size;
    setting.storedValue = value;
    return setting;
}

} // namespace

bool IsSafetyBuffersChoice(int64_t buffers) {
    return buffers >= 0 && buffers <= kMaxSafetyBuffers;
}

SafetyBuffersSetting ParseSafetyBuffersValue(LONG status, DWORD type, const BYTE* data, DWORD size) {
    if (status == ERROR_FILE_NOT_FOUND) {
        KsTrace(TRACE_ERROR, "No SafetyBuffers in %s; using %d", kUserSettingsKeyText, kDefaultSafetyBuffers);
        return Fallback(SafetyBuffersSource::Missing, 0, 0, 0);
    }
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(DWORD) || !data) {
        KsTrace(TRACE_ERROR,
                "SafetyBuffers in %s is not a REG_DWORD (status %d, type %u, %u bytes); using %d",
                kUserSettingsKeyText, static_cast<int>(status), static_cast<unsigned>(type),
                static_cast<unsigned>(size), kDefaultSafetyBuffers);
        return Fallback(SafetyBuffersSource::Invalid, type, size, 0);
    }
    uint32_t value = 0;
    std::memcpy(&value, data, sizeof value);
    if (!IsSafetyBuffersChoice(value)) {
        KsTrace(TRACE_ERROR, "SafetyBuffers %u in %s is not 0, 1 or 2; using %d",
                static_cast<unsigned>(value), kUserSettingsKeyText, kDefaultSafetyBuffers);
        return Fallback(SafetyBuffersSource::Invalid, type, size, value);
    }
    SafetyBuffersSetting setting = Fallback(SafetyBuffersSource::Setting, type, size, value);
    setting.buffers = static_cast<int32_t>(value);
    return setting;
}

SafetyBuffersSetting ReadSafetyBuffersSetting() {
    DWORD type = 0;
    BYTE data[sizeof(DWORD)] = {};
    DWORD size = sizeof data;
    const LONG status = QueryUserSettingValue(kSafetyBuffersValueName, &type, data, &size);
    return ParseSafetyBuffersValue(status, type, data, size);
}

LONG WriteSafetyBuffersSetting(int32_t buffers) {
    if (!IsSafetyBuffersChoice(buffers))
        return ERROR_INVALID_PARAMETER;
    return StoreUserSettingDword(kSafetyBuffersValueName, static_cast<DWORD>(buffers));
}

size_t DescribeSafetyBuffersSetting(const SafetyBuffersSetting& setting, char* out, size_t size) {
    char text[200];
    int length = 0;
    switch (setting.source) {
    case SafetyBuffersSource::Setting:
        length = std::snprintf(text, sizeof text, "set by SafetyBuffers in %s", kUserSettingsKeyText);
        break;
    case SafetyBuffersSource::Missing:
        length =
            std::snprintf(text, sizeof text, "the default, as %s has no SafetyBuffers", kUserSettingsKeyText);
        break;
    case SafetyBuffersSource::Invalid:
        if (setting.storedType == REG_DWORD && setting.storedSize == sizeof(DWORD))
            length =
                std::snprintf(text, sizeof text, "the default, as SafetyBuffers %u in %s is not 0, 1 or 2",
                              static_cast<unsigned>(setting.storedValue), kUserSettingsKeyText);
        else
            length =
                std::snprintf(text, sizeof text, "the default, as SafetyBuffers in %s is not a REG_DWORD",
                              kUserSettingsKeyText);
        break;
    }
    return CopySettingDescription(text, length, out, size);
}

// For the inspector, which loads the driver library: the safety buffers in force now and where they
// come from ("1, set by SafetyBuffers in ...").
extern "C" size_t LkDescribeSafetyBuffersSetting(char* out, size_t size) {
    const SafetyBuffersSetting setting = ReadSafetyBuffersSetting();
    char source[200];
    DescribeSafetyBuffersSetting(setting, source, sizeof source);
    char text[220];
    const int length = std::snprintf(text, sizeof text, "%d, %s", static_cast<int>(setting.buffers), source);
    return CopySettingDescription(text, length, out, size);
}
