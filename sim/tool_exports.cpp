// C entry points through which tools reach the simulation inside the driver library: detach the
// device, and describe the render pins of the attached devices as their filters report them.
#include "sim/setupapi.h"
#include "sim/text.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool ReadPin(HANDLE filter, ULONG pin, ULONG id, void* value, ULONG size) {
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pin;
    DWORD returned = 0;
    return DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, value, size, &returned,
                           nullptr);
}

// A KSMULTIPLE_ITEM reply, sized by a size query first; empty when the pin does not answer.
std::vector<BYTE> ReadPinMulti(HANDLE filter, ULONG pin, ULONG id) {
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pin;
    DWORD size = 0;
    if (!DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, nullptr, 0, &size, nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_MORE_DATA && error != ERROR_INSUFFICIENT_BUFFER)
            return {};
    }
    std::vector<BYTE> reply(size);
    DWORD returned = 0;
    if (size < sizeof(KSMULTIPLE_ITEM) ||
        !DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, reply.data(), size, &returned,
                         nullptr))
        return {};
    return reply;
}

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string SubFormatText(const GUID& subFormat) {
    if (IsEqualGUID(subFormat, KSDATAFORMAT_SUBTYPE_PCM))
        return "PCM";
    if (IsEqualGUID(subFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
        return "IEEE float";
    if (IsEqualGUID(subFormat, GUID_NULL))
        return "any subformat";
    return GuidText(subFormat);
}

void DescribeDataRanges(std::string& text, const std::vector<BYTE>& reply) {
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, reply.data(), sizeof header);
    size_t offset = sizeof header;
    for (ULONG i = 0; i < header.Count && offset + sizeof(KSDATARANGE) <= reply.size(); ++i) {
        KSDATARANGE range;
        std::memcpy(&range, reply.data() + offset, sizeof range);
        char line[200];
        if (IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
            offset + sizeof(KSDATARANGE_AUDIO) <= reply.size()) {
            KSDATARANGE_AUDIO audio;
            std::memcpy(&audio, reply.data() + offset, sizeof audio);
            std::snprintf(line, sizeof line, "    audio %s, up to %u channels, %u-%u bits, %u-%u Hz\n",
                          SubFormatText(range.SubFormat).c_str(), audio.MaximumChannels,
                          audio.MinimumBitsPerSample, audio.MaximumBitsPerSample,
                          audio.MinimumSampleFrequency, audio.MaximumSampleFrequency);
        } else {
            std::snprintf(line, sizeof line, "    major format %s, subformat %s\n",
                          GuidText(range.MajorFormat).c_str(), SubFormatText(range.SubFormat).c_str());
        }
        text += line;
        if (range.FormatSize < sizeof(KSDATARANGE))
            break;
        offset += range.FormatSize;
    }
}

void DescribeFilter(std::string& text, HANDLE filter) {
    ULONG count = 0;
    if (!ReadPin(filter, 0, KSPROPERTY_PIN_CTYPES, &count, sizeof count)) {
        text += "  the filter does not report its pins\n";
        return;
    }
    int renderPins = 0;
    for (ULONG pin = 0; pin < count; ++pin) {
        ULONG communication = 0, flow = 0;
        if (!ReadPin(filter, pin, KSPROPERTY_PIN_COMMUNICATION, &communication, sizeof communication) ||
            !ReadPin(filter, pin, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow))
            continue;
        if (flow != KSPIN_DATAFLOW_IN ||
            (communication != KSPIN_COMMUNICATION_SINK && communication != KSPIN_COMMUNICATION_BOTH))
            continue;
        ++renderPins;
        WCHAR name[MAX_PATH] = {};
        ReadPin(filter, pin, KSPROPERTY_PIN_NAME, name, sizeof name - sizeof(WCHAR));
        char line[400];
        std::snprintf(line, sizeof line, "  render pin %u \"%s\", data ranges:\n", pin,
                      sim::ToUtf8(name).c_str());
        text += line;
        std::vector<BYTE> ranges = ReadPinMulti(filter, pin, KSPROPERTY_PIN_DATARANGES);
        if (ranges.empty())
            text += "    (none reported)\n";
        else
            DescribeDataRanges(text, ranges);
    }
    if (renderPins == 0)
        text += "  no render pin\n";
}

} // namespace

// The simulated machine has no device attached from now on.
extern "C" void LkSimAttachNoDevice() {
    sim::AttachNoDevice();
}

// Describes every present audio device interface and its render pins into `out` (cut to `size` bytes
// with a terminating zero); returns the full length of the text.
extern "C" size_t LkSimDescribeRenderPins(char* out, size_t size) {
    std::string text;
    for (const sim::DeviceInterface& entry : sim::GetDeviceInterfaces()) {
        if (!entry.present || !IsEqualGUID(entry.category, KSCATEGORY_AUDIO))
            continue;
        text += "device " + sim::ToUtf8(entry.instanceId.c_str()) + "\n";
        HANDLE filter = CreateFileW(entry.devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (filter == INVALID_HANDLE_VALUE) {
            char line[64];
            std::snprintf(line, sizeof line, "  cannot be opened (error %u)\n", GetLastError());
            text += line;
            continue;
        }
        DescribeFilter(text, filter);
        CloseHandle(filter);
    }
    if (text.empty())
        text = "no audio device attached\n";
    if (out && size > 0) {
        const size_t n = text.size() < size - 1 ? text.size() : size - 1;
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return text.size();
}
