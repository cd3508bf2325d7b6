// Helpers of the filter, enumeration and discovery tests: simulated Larkspurs attached to the machine's
// device interfaces, pin descriptions, and reading a filter's lists.
#pragma once

#include "ks/pin.h"
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"
#include "tests/ks_support.h"

#include <memory>
#include <string>
#include <vector>

namespace filter_test {

using sim::larkspur::AudioDataRange;
using sim::larkspur::Device;
using sim::larkspur::PinDescriptor;

// A pin that streams in the standard way, with one 2-channel audio range of the given bit depths.
inline PinDescriptor Pin(KSPIN_COMMUNICATION communication, KSPIN_DATAFLOW flow, ULONG minBits = 16,
                         ULONG maxBits = 32) {
    PinDescriptor pin = sim::larkspur::DefaultDescriptor().pins[0];
    pin.communication = communication;
    pin.dataFlow = flow;
    pin.dataRanges = {AudioDataRange(2, minBits, maxBits, 44100, 192000)};
    return pin;
}

inline std::shared_ptr<Device> DeviceWithPins(std::vector<PinDescriptor> pins) {
    auto device = Device::Create();
    device->ChangeDescriptor([&](sim::larkspur::FilterDescriptor& d) { d.pins = std::move(pins); });
    return device;
}

// The ids of the pins in a filter's list, in list order.
inline std::vector<ULONG> PinIds(const CKsList& list) {
    std::vector<ULONG> ids;
    CKsListNode* position = list.GetHeadPosition();
    CKsPin* pin = nullptr;
    while (list.GetNext(position, &pin))
        ids.push_back(pin->GetId());
    return ids;
}

inline std::u16string NameOf(const CKsFilter& filter) {
    return std::u16string(filter.m_szFilterName);
}

// Starts from a machine without devices and puts the default machine back afterwards.
class MachineTest : public ks_test::KsTest {
protected:
    void SetUp() override {
        KsTest::SetUp();
        sim::AttachNoDevice();
        sim::ClearFileOpens();
    }
    void TearDown() override {
        sim::ResetDeviceInterfaces();
        sim::ClearFileOpens();
        EXPECT_EQ(sim::OpenDeviceInfoSetCount(), 0u) << "device information sets leaked";
        KsTest::TearDown();
    }
    // Attaches a Larkspur (unit > 0 differs from the default machine's) and returns its device path.
    static std::u16string Attach(const std::shared_ptr<Device>& device, unsigned unit) {
        sim::DeviceInterface entry = sim::LarkspurInterface(device->OpenFilter(), unit);
        sim::AddDeviceInterface(entry);
        return entry.devicePath;
    }
};

} // namespace filter_test
