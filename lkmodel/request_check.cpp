// Built from the SDK's STATIC_ values and records only: nothing here includes the project's platform
// headers, which are what these checks are meant to catch.
#include "lkmodel/request_check.h"

#include <ks.h>
#include <ksmedia.h>
#include <mmreg.h>
#include <setupapi.h>
#include <winioctl.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace lkmodel {
namespace {

constexpr GUID kPinSet = {STATIC_KSPROPSETID_Pin};
constexpr GUID kConnectionSet = {STATIC_KSPROPSETID_Connection};
constexpr GUID kAudioSet = {STATIC_KSPROPSETID_Audio};
constexpr GUID kTopologySet = {STATIC_KSPROPSETID_Topology};
constexpr GUID kInterfaceSet = {STATIC_KSINTERFACESETID_Standard};
constexpr GUID kMediumSet = {STATIC_KSMEDIUMSETID_Standard};
constexpr GUID kTypeAudio = {STATIC_KSDATAFORMAT_TYPE_AUDIO};
constexpr GUID kSubtypePcm = {STATIC_KSDATAFORMAT_SUBTYPE_PCM};
constexpr GUID kSpecifierWave = {STATIC_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX};
constexpr GUID kCategoryAudio = {STATIC_KSCATEGORY_AUDIO};
constexpr GUID kCategoryRender = {STATIC_KSCATEGORY_RENDER};

constexpr DWORD kVendorSetMode = CTL_CODE(FILE_DEVICE_KS, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kVendorRequestSize = 264;
constexpr DWORD kErrorSetNotFound = 1170;
constexpr DWORD kErrorInvalidUserBuffer = 1784;

std::atomic<size_t> g_checked{0};
std::atomic<size_t> g_refused{0};
std::atomic<bool> g_print{true};

bool Same(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void Format(const GUID& g, char* text, size_t size) {
    std::snprintf(text, size, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

DWORD Refuse(DWORD error, const char* request, const char* field, const char* held, const char* expected) {
    ++g_refused;
    if (g_print) {
        std::printf("refused: %s: %s is %s, expected %s\n", request, field, held, expected);
        std::fflush(stdout);
    }
    return error;
}

DWORD RefuseNumber(DWORD error, const char* request, const char* field, unsigned long long held,
                   unsigned long long expected) {
    char heldText[32], expectedText[32];
    std::snprintf(heldText, sizeof heldText, "%#llx", held);
    std::snprintf(expectedText, sizeof expectedText, "%#llx", expected);
    return Refuse(error, request, field, heldText, expectedText);
}

DWORD RefuseGuid(DWORD error, const char* request, const char* field, const GUID& held,
                 const GUID& expected) {
    char heldText[40], expectedText[40];
    Format(held, heldText, sizeof heldText);
    Format(expected, expectedText, sizeof expectedText);
    return Refuse(error, request, field, heldText, expectedText);
}

#define EXPECT_NUMBER(error, request, field, held, expected)                                                 \
    do {                                                                                                     \
        if ((held) != (expected))                                                                            \
            return RefuseNumber(error, request, field, static_cast<unsigned long long>(held),                \
                                static_cast<unsigned long long>(expected));                                  \
    } while (0)
#define EXPECT_GUID(error, request, field, held, expected)                                                   \
    do {                                                                                                     \
        if (!Same(held, expected))                                                                           \
            return RefuseGuid(error, request, field, held, expected);                                        \
    } while (0)

DWORD CheckProperty(Target target, const void* in, DWORD inSize, const void* out, DWORD outSize) {
    const char* request = "IOCTL_KS_PROPERTY";
    if (!in || inSize < sizeof(KSPROPERTY))
        return RefuseNumber(ERROR_INVALID_PARAMETER, request, "input length", inSize, sizeof(KSPROPERTY));
    KSPROPERTY property;
    std::memcpy(&property, in, sizeof property);
    if (property.Flags != KSPROPERTY_TYPE_GET && property.Flags != KSPROPERTY_TYPE_SET)
        return RefuseNumber(ERROR_INVALID_PARAMETER, request, "KSPROPERTY.Flags", property.Flags,
                            KSPROPERTY_TYPE_GET);
    if (Same(property.Set, kPinSet)) {
        request = "KSPROPSETID_Pin request";
        EXPECT_NUMBER(ERROR_INVALID_FUNCTION, request, "target (1 = pin)", target == Target::Pin, 0);
        EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "KSPROPERTY.Flags", property.Flags,
                      KSPROPERTY_TYPE_GET);
        switch (property.Id) {
        case KSPROPERTY_PIN_CTYPES:
            return ERROR_SUCCESS;
        case KSPROPERTY_PIN_CINSTANCES:
        case KSPROPERTY_PIN_DATAFLOW:
        case KSPROPERTY_PIN_DATARANGES:
        case KSPROPERTY_PIN_INTERFACES:
        case KSPROPERTY_PIN_MEDIUMS:
        case KSPROPERTY_PIN_COMMUNICATION:
        case KSPROPERTY_PIN_GLOBALCINSTANCES:
        case KSPROPERTY_PIN_CATEGORY:
        case KSPROPERTY_PIN_NAME: {
            EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "input length (KSP_PIN)", inSize,
                          sizeof(KSP_PIN));
            KSP_PIN pin;
            std::memcpy(&pin, in, sizeof pin);
            EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "KSP_PIN.Reserved", pin.Reserved, 0);
            return ERROR_SUCCESS;
        }
        default:
            return RefuseNumber(ERROR_NOT_FOUND, request, "KSPROPERTY.Id", property.Id,
                                KSPROPERTY_PIN_CTYPES);
        }
    }
    if (Same(property.Set, kConnectionSet)) {
        request = "KSPROPSETID_Connection request";
        EXPECT_NUMBER(ERROR_INVALID_FUNCTION, request, "target (1 = pin)", target == Target::Pin, 1);
        EXPECT_NUMBER(ERROR_NOT_FOUND, request, "KSPROPERTY.Id", property.Id, KSPROPERTY_CONNECTION_STATE);
        if (property.Flags == KSPROPERTY_TYPE_SET) {
            EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "value length", outSize, sizeof(KSSTATE));
            if (!out)
                return Refuse(ERROR_INVALID_PARAMETER, request, "value", "null", "a KSSTATE");
            KSSTATE state;
            std::memcpy(&state, out, sizeof state);
            if (state != KSSTATE_STOP && state != KSSTATE_RUN)
                return RefuseNumber(ERROR_INVALID_PARAMETER, request, "state", state, KSSTATE_RUN);
        }
        return ERROR_SUCCESS;
    }
    if (Same(property.Set, kAudioSet)) {
        request = "KSPROPSETID_Audio request";
        EXPECT_NUMBER(ERROR_INVALID_FUNCTION, request, "target (1 = pin)", target == Target::Pin, 1);
        if (property.Id != KSPROPERTY_AUDIO_LATENCY)
            EXPECT_NUMBER(ERROR_NOT_FOUND, request, "KSPROPERTY.Id", property.Id, KSPROPERTY_AUDIO_POSITION);
        EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "KSPROPERTY.Flags", property.Flags,
                      KSPROPERTY_TYPE_GET);
        EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "value length", outSize,
                      property.Id == KSPROPERTY_AUDIO_LATENCY ? sizeof(KSTIME) : sizeof(KSAUDIO_POSITION));
        return ERROR_SUCCESS;
    }
    if (Same(property.Set, kTopologySet)) {
        request = "KSPROPSETID_Topology request";
        EXPECT_NUMBER(ERROR_INVALID_FUNCTION, request, "target (1 = pin)", target == Target::Pin, 0);
        EXPECT_NUMBER(ERROR_NOT_FOUND, request, "KSPROPERTY.Id", property.Id, KSPROPERTY_TOPOLOGY_NODES);
        EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "KSPROPERTY.Flags", property.Flags,
                      KSPROPERTY_TYPE_GET);
        return ERROR_SUCCESS;
    }
    char held[40];
    Format(property.Set, held, sizeof held);
    return Refuse(kErrorSetNotFound, request, "KSPROPERTY.Set", held,
                  "a set the device serves (Pin, Connection, Audio, Topology)");
}

DWORD CheckWrite(Target target, const void* in, DWORD inSize, const void* out, DWORD outSize,
                 const OVERLAPPED* overlapped) {
    const char* request = "IOCTL_KS_WRITE_STREAM";
    EXPECT_NUMBER(ERROR_INVALID_FUNCTION, request, "target (1 = pin)", target == Target::Pin, 1);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "input length", inSize, 0);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "input buffer", in != nullptr, 0);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "output length", outSize, sizeof(KSSTREAM_HEADER));
    if (!out)
        return Refuse(ERROR_INVALID_PARAMETER, request, "header", "null", "a KSSTREAM_HEADER");
    if (!overlapped || !overlapped->hEvent)
        return Refuse(ERROR_INVALID_PARAMETER, request, "OVERLAPPED", "without an event",
                      "an OVERLAPPED with an event");
    KSSTREAM_HEADER header;
    std::memcpy(&header, out, sizeof header);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "KSSTREAM_HEADER.Size", header.Size,
                  sizeof(KSSTREAM_HEADER));
    if (header.DataUsed > header.FrameExtent)
        return RefuseNumber(ERROR_INVALID_PARAMETER, request, "KSSTREAM_HEADER.DataUsed", header.DataUsed,
                            header.FrameExtent);
    if (header.DataUsed != 0 && !header.Data)
        return Refuse(ERROR_INVALID_PARAMETER, request, "KSSTREAM_HEADER.Data", "null", "the audio buffer");
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "KSSTREAM_HEADER.DataUsed % 8", header.DataUsed % 8, 0);
    return ERROR_SUCCESS;
}

DWORD CheckVendor(Target target, const void* in, DWORD inSize, const void* out, DWORD outSize) {
    const char* request = "vendor mode request";
    EXPECT_NUMBER(ERROR_INVALID_FUNCTION, request, "target (1 = pin)", target == Target::Pin, 1);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "input length", inSize, kVendorRequestSize);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "output length", outSize, 0);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "output buffer", out != nullptr, 0);
    if (!in)
        return Refuse(ERROR_INVALID_PARAMETER, request, "input", "null", "264 bytes");
    ULONG words[2];
    std::memcpy(words, in, sizeof words);
    if (words[0] != 0x8000 && words[0] != 0x10000 && words[0] != 0x8002)
        return RefuseNumber(ERROR_INVALID_PARAMETER, request, "mode code", words[0], 0x10000);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "bytes 4-7", words[1], 0);
    return ERROR_SUCCESS;
}

} // namespace

DWORD CheckIoControl(Target target, DWORD code, const void* in, DWORD inSize, const void* out, DWORD outSize,
                     const OVERLAPPED* overlapped) {
    ++g_checked;
    switch (code) {
    case IOCTL_KS_PROPERTY:
        return CheckProperty(target, in, inSize, out, outSize);
    case IOCTL_KS_WRITE_STREAM:
        return CheckWrite(target, in, inSize, out, outSize, overlapped);
    case kVendorSetMode:
        return CheckVendor(target, in, inSize, out, outSize);
    default:
        return RefuseNumber(ERROR_INVALID_FUNCTION, "DeviceIoControl", "control code", code,
                            IOCTL_KS_PROPERTY);
    }
}

DWORD CheckConnect(const void* block, ACCESS_MASK access) {
    ++g_checked;
    const char* request = "KsCreatePin";
    if (!block)
        return Refuse(ERROR_INVALID_PARAMETER, request, "connect request", "null", "a KSPIN_CONNECT");
    EXPECT_NUMBER(ERROR_ACCESS_DENIED, request, "desired access", access, GENERIC_READ | GENERIC_WRITE);
    KSPIN_CONNECT connect;
    std::memcpy(&connect, block, sizeof connect);
    EXPECT_GUID(ERROR_NO_MATCH, request, "Interface.Set", connect.Interface.Set, kInterfaceSet);
    EXPECT_NUMBER(ERROR_NO_MATCH, request, "Interface.Id", connect.Interface.Id,
                  KSINTERFACE_STANDARD_STREAMING);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "Interface.Flags", connect.Interface.Flags, 0);
    EXPECT_GUID(ERROR_NO_MATCH, request, "Medium.Set", connect.Medium.Set, kMediumSet);
    EXPECT_NUMBER(ERROR_NO_MATCH, request, "Medium.Id", connect.Medium.Id, KSMEDIUM_TYPE_ANYINSTANCE);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "Medium.Flags", connect.Medium.Flags, 0);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "PinToHandle", connect.PinToHandle != nullptr, 0);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "Priority.PriorityClass", connect.Priority.PriorityClass,
                  KSPRIORITY_NORMAL);

    const BYTE* formatBytes = static_cast<const BYTE*>(block) + sizeof(KSPIN_CONNECT);
    KSDATAFORMAT format;
    std::memcpy(&format, formatBytes, sizeof format);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "KSDATAFORMAT.FormatSize", format.FormatSize,
                  sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE));
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "KSDATAFORMAT.Flags", format.Flags, 0);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "KSDATAFORMAT.SampleSize", format.SampleSize, 8);
    EXPECT_GUID(ERROR_NO_MATCH, request, "KSDATAFORMAT.MajorFormat", format.MajorFormat, kTypeAudio);
    EXPECT_GUID(ERROR_NO_MATCH, request, "KSDATAFORMAT.SubFormat", format.SubFormat, kSubtypePcm);
    EXPECT_GUID(ERROR_NO_MATCH, request, "KSDATAFORMAT.Specifier", format.Specifier, kSpecifierWave);

    WAVEFORMATEXTENSIBLE wave;
    std::memcpy(&wave, formatBytes + sizeof(KSDATAFORMAT), sizeof wave);
    EXPECT_NUMBER(ERROR_NO_MATCH, request, "wFormatTag", wave.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_NUMBER(ERROR_NO_MATCH, request, "nChannels", wave.Format.nChannels, 2);
    EXPECT_NUMBER(ERROR_NO_MATCH, request, "wBitsPerSample", wave.Format.wBitsPerSample, 32);
    // The device's own kernel driver takes a block of 4 for its two 32-bit words.
    EXPECT_NUMBER(ERROR_NO_MATCH, request, "nBlockAlign", wave.Format.nBlockAlign, 4);
    EXPECT_NUMBER(ERROR_NO_MATCH, request, "nAvgBytesPerSec", wave.Format.nAvgBytesPerSec,
                  wave.Format.nSamplesPerSec * 4ull);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "cbSize", wave.Format.cbSize,
                  sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX));
    EXPECT_NUMBER(ERROR_NO_MATCH, request, "wValidBitsPerSample", wave.Samples.wValidBitsPerSample, 32);
    EXPECT_NUMBER(ERROR_NO_MATCH, request, "dwChannelMask", wave.dwChannelMask,
                  SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT);
    EXPECT_GUID(ERROR_NO_MATCH, request, "SubFormat", wave.SubFormat, kSubtypePcm);
    return ERROR_SUCCESS;
}

DWORD CheckCreateFile(DWORD access, DWORD disposition, DWORD flags) {
    ++g_checked;
    const char* request = "CreateFileW";
    EXPECT_NUMBER(ERROR_ACCESS_DENIED, request, "desired access", access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "disposition", disposition, OPEN_EXISTING);
    EXPECT_NUMBER(ERROR_INVALID_PARAMETER, request, "FILE_FLAG_OVERLAPPED", flags & FILE_FLAG_OVERLAPPED,
                  FILE_FLAG_OVERLAPPED);
    return ERROR_SUCCESS;
}

DWORD CheckClassDevs(const GUID* category, DWORD flags) {
    ++g_checked;
    const char* request = "SetupDiGetClassDevsW";
    if (!category)
        return Refuse(ERROR_INVALID_PARAMETER, request, "class", "null", "KSCATEGORY_AUDIO");
    EXPECT_GUID(ERROR_INVALID_PARAMETER, request, "class", *category, kCategoryAudio);
    EXPECT_NUMBER(ERROR_INVALID_FLAGS, request, "flags", flags, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return ERROR_SUCCESS;
}

DWORD CheckInterfaceData(const char* call, const void* data) {
    ++g_checked;
    if (!data)
        return Refuse(ERROR_INVALID_PARAMETER, call, "SP_DEVICE_INTERFACE_DATA", "null", "a record");
    DWORD size;
    std::memcpy(&size, data, sizeof size);
    EXPECT_NUMBER(kErrorInvalidUserBuffer, call, "SP_DEVICE_INTERFACE_DATA.cbSize", size,
                  sizeof(SP_DEVICE_INTERFACE_DATA));
    return ERROR_SUCCESS;
}

DWORD CheckDeviceInfoData(const char* call, const void* data) {
    ++g_checked;
    if (!data)
        return ERROR_SUCCESS; // optional everywhere the driver passes it
    DWORD size;
    std::memcpy(&size, data, sizeof size);
    EXPECT_NUMBER(kErrorInvalidUserBuffer, call, "SP_DEVINFO_DATA.cbSize", size, sizeof(SP_DEVINFO_DATA));
    return ERROR_SUCCESS;
}

DWORD CheckDetailData(const char* call, const void* detail) {
    ++g_checked;
    if (!detail)
        return ERROR_SUCCESS;
    DWORD size;
    std::memcpy(&size, detail, sizeof size);
    EXPECT_NUMBER(kErrorInvalidUserBuffer, call, "SP_DEVICE_INTERFACE_DETAIL_DATA_W.cbSize", size,
                  sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    return ERROR_SUCCESS;
}

DWORD CheckAliasCategory(const GUID* category) {
    ++g_checked;
    if (!category)
        return Refuse(ERROR_INVALID_PARAMETER, "SetupDiGetDeviceInterfaceAlias", "alias class", "null",
                      "KSCATEGORY_RENDER");
    EXPECT_GUID(ERROR_INVALID_PARAMETER, "SetupDiGetDeviceInterfaceAlias", "alias class", *category,
                kCategoryRender);
    return ERROR_SUCCESS;
}

size_t RequestsChecked() {
    return g_checked.load();
}

size_t RequestsRefused() {
    return g_refused.load();
}

void PrintRefusals(bool print) {
    g_print = print;
}

} // namespace lkmodel
