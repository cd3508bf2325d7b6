// Driving a stream through the simulated Larkspur on a stepped clock, for tests that stream: polling
// with a limit, completing writes one at a time, and a stop whose drain the test completes.
#pragma once

#include "platform/asio.h"
#include "sim/failure_injection.h"
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"
#include "sim/threads.h"
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

// A fixture for tests that stream: a driver on a Larkspur whose writes complete when the test says,
// bound by init unless `kInit` is false. Tear-down clears injected failures, stops the stream (completing
// its drain), releases the driver and waits for its threads.
template <typename HostType = StreamHost, bool kInit = true>
class SteppedDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        device = sim::larkspur::Device::Create(sim::larkspur::Clock::Stepped);
        sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});
        driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        if constexpr (kInit) {
            ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        }
    }
    void TearDown() override {
        sim::ClearFailures();
        if (driver) {
            StopWithDrain();
            EXPECT_EQ(driver->Release(), 0u);
        }
        sim::ResetDeviceInterfaces();
        EXPECT_TRUE(WaitUntil([] { return sim::RunningThreads() == 0; }));
    }
    // stop() on another thread while writes are completed, so the drain can run its course.
    void StopWithDrain() { StopWhileCompleting(driver, *device); }

    std::shared_ptr<sim::larkspur::Device> device;
    IASIO* driver = nullptr;
    HostType host;
};

} // namespace testing_support
