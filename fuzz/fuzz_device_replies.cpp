// libFuzzer target: arbitrary bytes as the simulated Larkspur's replies to every request the driver
// parses on its way through init (filter enumeration, pin enumeration and description) and start
// (render-pin choice and creation, mode request, state, position), read as the driver reads them.
#include "asio/stream_format.h"
#include "ks/audio_filter.h"
#include "ks/enum_filters.h"
#include "ks/pin.h"
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using sim::larkspur::Device;

// The pin properties a pin reads while it describes itself.
constexpr ULONG kPinProperties[] = {
    KSPROPERTY_PIN_COMMUNICATION,    KSPROPERTY_PIN_INTERFACES, KSPROPERTY_PIN_MEDIUMS,
    KSPROPERTY_PIN_DATARANGES,       KSPROPERTY_PIN_DATAFLOW,   KSPROPERTY_PIN_CINSTANCES,
    KSPROPERTY_PIN_GLOBALCINSTANCES, KSPROPERTY_PIN_CATEGORY,   KSPROPERTY_PIN_NAME,
};
constexpr size_t kPropertyCount = sizeof kPinProperties / sizeof kPinProperties[0];
constexpr size_t kPins = 3;
// Reply slots: the pin count, the node list, the position, then each property of each pin.
constexpr size_t kSlots = 3 + kPins * kPropertyCount;

Device& TheDevice() {
    // Never destroyed: the machine's table holds its filter too.
    static std::shared_ptr<Device>* device = [] {
        auto* created = new std::shared_ptr<Device>(Device::Create());
        sim::SetDeviceInterfaces({sim::LarkspurInterface((*created)->OpenFilter(), 1)});
        return created;
    }();
    return **device;
}

// Reads the input as: a flags byte, then records of a slot byte, a 16-bit length and that many bytes.
sim::larkspur::FilterDescriptor Describe(const uint8_t* data, size_t size, uint8_t* flags) {
    sim::larkspur::FilterDescriptor descriptor = sim::larkspur::DefaultDescriptor();
    descriptor.pins.push_back(descriptor.pins[0]);
    *flags = size ? data[0] : 0;
    size_t at = size ? 1 : 0;
    while (at + 3 <= size) {
        const uint8_t selector = data[at];
        size_t length = data[at + 1] | (size_t{data[at + 2]} << 8);
        at += 3;
        if (length > size - at)
            length = size - at;
        std::vector<BYTE> reply(data + at, data + at + length);
        at += length;
        const size_t slot = (selector & 0x7F) % kSlots;
        const bool refuse = (selector & 0x80) != 0;
        if (slot == 0) {
            descriptor.rawPinCount = std::move(reply);
        } else if (slot == 1) {
            descriptor.rawNodes = std::move(reply);
        } else if (slot == 2) {
            descriptor.rawPosition = std::move(reply);
        } else {
            sim::larkspur::PinDescriptor& pin = descriptor.pins[(slot - 3) / kPropertyCount];
            const ULONG id = kPinProperties[(slot - 3) % kPropertyCount];
            if (refuse)
                pin.refusedProperties[id] = length % 2 ? ERROR_NOT_SUPPORTED : ERROR_NOT_FOUND;
            else
                pin.rawReplies[id] = std::move(reply);
        }
    }
    return descriptor;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Device& device = TheDevice();
    uint8_t flags = 0;
    device.SetDescriptor(Describe(data, size, &flags));
    device.SetPendingProperties((flags & 1) != 0);
    device.SetSizeQueryError((flags & 2) ? ERROR_INSUFFICIENT_BUFFER : ERROR_MORE_DATA);
    const bool dsd = (flags & 4) != 0;
    sim::ClearFileOpens();

    // init: the filter enumeration exactly as the driver binds the device.
    HRESULT result = S_OK;
    auto* filters = new (std::nothrow) CKsEnumFilters(&result);
    if (!filters)
        return 0;
    const GUID categories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
    if (SUCCEEDED(filters->EnumFilters(KsFilterTypeAudioRender, categories, 2, TRUE, FALSE, TRUE))) {
        CKsFilter* first = nullptr;
        CKsListNode* position = filters->m_listFilters.GetHeadPosition();
        filters->m_listFilters.GetNext(position, &first);
        auto* filter = static_cast<CKsAudRenFilter*>(first);
        if (filter) {
            filter->EnumerateNodes();
            // start: the render pin in the stream format, the mode, the state, a position read.
            const WAVEFORMATEXTENSIBLE format = StreamWaveFormat(dsd ? 88200 : 44100);
            if (CKsAudPin* pin = filter->CreateRenderPin(&format.Format, FALSE)) {
                pin->SetDeviceMode(dsd ? DEVICE_MODE_DSD : DEVICE_MODE_PCM);
                pin->SetState(KSSTATE_RUN);
                KSAUDIO_POSITION where{};
                pin->GetPosition(&where);
                pin->SetDeviceMode(DEVICE_MODE_STREAM_END);
                pin->ClosePin();
            }
        }
    }
    delete filters;
    return 0;
}
