// The device's filter: KSPROPSETID_Pin requests (KSP_PIN) about each pin factory and the topology nodes.
#include "sim/larkspur/targets.h"

#include <cstring>

namespace sim::larkspur {
namespace {

std::vector<BYTE> MultipleItem(const void* items, size_t bytes, ULONG count) {
    std::vector<BYTE> reply(sizeof(KSMULTIPLE_ITEM) + bytes);
    const KSMULTIPLE_ITEM header{static_cast<ULONG>(reply.size()), count};
    std::memcpy(reply.data(), &header, sizeof header);
    if (bytes)
        std::memcpy(reply.data() + sizeof header, items, bytes);
    return reply;
}

template <typename T> std::vector<BYTE> Value(const T& value) {
    std::vector<BYTE> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

} // namespace

DWORD FilterTarget::IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                              DWORD* returned, OVERLAPPED* overlapped) {
    if (m_device->Hold(this, overlapped))
        return ERROR_IO_PENDING;
    if (const DWORD gate = GateRequest(m_device->Unplugged(), m_device->FaultHung(), overlapped, m_held);
        gate != ERROR_SUCCESS)
        return gate;
    if (code != IOCTL_KS_PROPERTY)
        return kErrorInvalidFunction;
    if (!in || inSize < sizeof(KSPROPERTY))
        return ERROR_INVALID_PARAMETER;
    KSPROPERTY property;
    std::memcpy(&property, in, sizeof property);
    if (!(property.Flags & KSPROPERTY_TYPE_GET))
        return ERROR_NOT_SUPPORTED;

    const auto snapshot = m_device->DescriptorSnapshot();
    const FilterDescriptor& descriptor = *snapshot;
    std::vector<BYTE> reply;
    if (property.Set == KSPROPSETID_Topology) {
        if (property.Id != KSPROPERTY_TOPOLOGY_NODES)
            return ERROR_NOT_FOUND;
        reply = descriptor.rawNodes
                    ? *descriptor.rawNodes
                    : MultipleItem(descriptor.nodes.data(), descriptor.nodes.size() * sizeof(GUID),
                                   static_cast<ULONG>(descriptor.nodes.size()));
    } else if (property.Set == KSPROPSETID_Pin) {
        if (property.Id == KSPROPERTY_PIN_CTYPES) {
            reply = descriptor.rawPinCount ? *descriptor.rawPinCount
                                           : Value(static_cast<ULONG>(descriptor.pins.size()));
        } else {
            if (inSize < sizeof(KSP_PIN))
                return ERROR_INVALID_PARAMETER;
            KSP_PIN request;
            std::memcpy(&request, in, sizeof request);
            if (request.PinId >= descriptor.pins.size())
                return ERROR_INVALID_PARAMETER;
            const PinDescriptor& pin = descriptor.pins[request.PinId];
            if (auto refused = pin.refusedProperties.find(property.Id);
                refused != pin.refusedProperties.end())
                return m_device->Answer(refused->second, 0, overlapped);
            if (auto claimed = pin.claimedSizes.find(property.Id);
                claimed != pin.claimedSizes.end() && outSize == 0) {
                *returned = claimed->second;
                return m_device->Answer(m_device->SizeQueryError(), claimed->second, overlapped);
            }
            if (auto raw = pin.rawReplies.find(property.Id); raw != pin.rawReplies.end()) {
                reply = raw->second;
            } else {
                ULONG live = 0;
                {
                    std::lock_guard lock(m_device->m_mutex);
                    if (request.PinId < m_device->m_liveInstances.size())
                        live = m_device->m_liveInstances[request.PinId];
                }
                switch (property.Id) {
                case KSPROPERTY_PIN_CINSTANCES:
                    reply = Value(KSPIN_CINSTANCES{pin.possibleInstances, live});
                    break;
                case KSPROPERTY_PIN_GLOBALCINSTANCES:
                    reply = Value(KSPIN_CINSTANCES{pin.possibleGlobalInstances, live});
                    break;
                case KSPROPERTY_PIN_DATAFLOW:
                    reply = Value(static_cast<ULONG>(pin.dataFlow));
                    break;
                case KSPROPERTY_PIN_COMMUNICATION:
                    reply = Value(static_cast<ULONG>(pin.communication));
                    break;
                case KSPROPERTY_PIN_CATEGORY:
                    reply = Value(pin.category);
                    break;
                case KSPROPERTY_PIN_INTERFACES:
                    reply =
                        MultipleItem(pin.interfaces.data(), pin.interfaces.size() * sizeof(KSPIN_INTERFACE),
                                     static_cast<ULONG>(pin.interfaces.size()));
                    break;
                case KSPROPERTY_PIN_MEDIUMS:
                    reply = MultipleItem(pin.mediums.data(), pin.mediums.size() * sizeof(KSPIN_MEDIUM),
                                         static_cast<ULONG>(pin.mediums.size()));
                    break;
                case KSPROPERTY_PIN_DATARANGES: {
                    std::vector<BYTE> ranges;
                    for (const auto& range : pin.dataRanges)
                        ranges.insert(ranges.end(), range.begin(), range.end());
                    reply =
                        MultipleItem(ranges.data(), ranges.size(), static_cast<ULONG>(pin.dataRanges.size()));
                    break;
                }
                case KSPROPERTY_PIN_NAME: {
                    const size_t bytes = (pin.name.size() + 1) * sizeof(char16_t);
                    reply.resize(bytes);
                    std::memcpy(reply.data(), pin.name.c_str(), bytes);
                    break;
                }
                default:
                    return ERROR_NOT_FOUND;
                }
            }
        }
    } else {
        return kErrorSetNotFound;
    }
    return ReplyProperty(*m_device, reply.data(), static_cast<DWORD>(reply.size()), out, outSize, returned,
                         overlapped);
}

} // namespace sim::larkspur
