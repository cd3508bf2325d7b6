#include "sim/larkspur/device.h"

#include <cstring>

namespace sim::larkspur {
namespace {

constexpr GUID kNodeTypeSpeaker{0xDFF21CE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kNodeTypeDac{0x507AE360, 0xC554, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kNodeTypeVolume{0x3A5ACC00, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kSubtypeAnalog{0x6DBA3190, 0x67BD, 0x11CF, {0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
constexpr GUID kSpecifierNone{0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

} // namespace

std::vector<BYTE> AudioDataRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate,
                                 ULONG maxRate, const GUID& subFormat, const GUID& majorFormat,
                                 const GUID& specifier) {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof range;
    range.DataRange.MajorFormat = majorFormat;
    range.DataRange.SubFormat = subFormat;
    range.DataRange.Specifier = specifier;
    range.MaximumChannels = maxChannels;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    std::vector<BYTE> bytes(sizeof range);
    std::memcpy(bytes.data(), &range, sizeof range);
    return bytes;
}

KSIDENTIFIER Identifier(const GUID& set, ULONG id, ULONG flags) {
    KSIDENTIFIER identifier{};
    identifier.Set = set;
    identifier.Id = id;
    identifier.Flags = flags;
    return identifier;
}

FilterDescriptor DefaultDescriptor() {
    PinDescriptor render;
    render.communication = KSPIN_COMMUNICATION_SINK;
    render.dataFlow = KSPIN_DATAFLOW_IN;
    render.interfaces = {Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING)};
    render.mediums = {Identifier(KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE)};
    render.dataRanges = {AudioDataRange(2, 32, 32, 44100, 768000)};
    render.name = u"Larkspur Output";
    render.category = GUID_NULL;
    render.possibleInstances = 1;
    render.possibleGlobalInstances = 1;

    // The analog side of the device: described, never instantiated.
    PinDescriptor bridge;
    bridge.communication = KSPIN_COMMUNICATION_BRIDGE;
    bridge.dataFlow = KSPIN_DATAFLOW_OUT;
    bridge.interfaces = {Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING)};
    bridge.mediums = {Identifier(KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE)};
    KSDATARANGE analog{};
    analog.FormatSize = sizeof analog;
    analog.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    analog.SubFormat = kSubtypeAnalog;
    analog.Specifier = kSpecifierNone;
    std::vector<BYTE> analogBytes(sizeof analog);
    std::memcpy(analogBytes.data(), &analog, sizeof analog);
    bridge.dataRanges = {analogBytes};
    bridge.name = u"Larkspur Line Out";
    bridge.category = kNodeTypeSpeaker;
    bridge.possibleInstances = 0;
    bridge.possibleGlobalInstances = 0;

    FilterDescriptor descriptor;
    descriptor.pins = {render, bridge};
    descriptor.nodes = {kNodeTypeDac, kNodeTypeVolume};
    return descriptor;
}

} // namespace sim::larkspur
