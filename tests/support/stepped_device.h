// Driving a stream through the simulated Larkspur on a stepped clock, for tests that stream: polling
// with a limit, completing writes one at a time, and a stop whose drain the test completes.
#pragma once

#include "platform/asio.h"
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"
#include "tests/support/host.h"
#include "tests/support/stream_host.h"

#include <gtest/gtest.h>

#include <memory>

namespace testing_support {

// Attaches `device` as the machine's only Larkspur and creates a driver bound to it by init; null when
// either fails.
inline IASIO* CreateBoundDriver(const std::shared_ptr<sim::larkspur::Device>& device) {
    sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});
    IASIO* driver = CreateDriver();
    if (driver && driver->init(nullptr) != ASIOTrue) {
        driver->Release();
        driver = nullptr;
    }
    return driver;
}

// Completes one write at a time, each once the thread resubmitted, until the host had `switches`.
inline void PumpSwitches(sim::larkspur::Device& device, StreamHost& host, int switches) {
    while (host.switches.load() < switches) {
        ASSERT_TRUE(device.WaitForPendingWrites(1, 5000));
        const int before = host.switches.load();
        ASSERT_EQ(device.CompleteWrites(1), 1u);
        ASSERT_TRUE(host.WaitForSwitches(before + 1));
    }
}

} // namespace testing_support
