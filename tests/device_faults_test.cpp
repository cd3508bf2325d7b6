// A device-fault sweep, driven through IASIO as a host does: every simulated system call of init failed
// in turn, every allocation of init failed in turn with the device answering late, failures that come
// after pending, and a device that stops answering. Run under AddressSanitizer (leaks, use after free)
// and ThreadSanitizer: nothing leaks, nothing crashes, a failed init says why.
#include "asio/asio_larkspur.h"
#include "sim/failure_injection.h"
#include "sim/kernel_objects.h"
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"
#include "sim/threads.h"
#include "tests/support/alloc_control.h"
#include "tests/support/host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using sim::larkspur::Clock;
using sim::larkspur::Device;
using testing_support::DriverError;

constexpr char kEnumFailure[] = "ASIO Larkspur Driver Enum Failure!";

class DeviceFaults : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFailures();
        testing_support::ResetAllocationFailures();
        device = Device::Create(Clock::Stepped);
        sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});
        handlesBefore = sim::OpenHandleCount();
    }
    void TearDown() override {
        sim::ClearFailures();
        testing_support::ResetAllocationFailures();
        device->ReleaseHeld();
        sim::ResetDeviceInterfaces();
        EXPECT_EQ(sim::OpenHandleCount(), handlesBefore) << "handles leaked";
    }

    // One driver object: init, then (when bound) release. Returns whether init bound the device.
    bool InitOnce() {
        IASIO* driver = testing_support::CreateDriver();
        EXPECT_NE(driver, nullptr);
        if (!driver)
            return false;
        const bool bound = driver->init(nullptr) == ASIOTrue;
        if (!bound) {
            EXPECT_EQ(DriverError(driver), kEnumFailure);
        }
        EXPECT_EQ(driver->Release(), 0u);
        return bound;
    }

    std::shared_ptr<Device> device;
    size_t handlesBefore = 0;
};

TEST_F(DeviceFaults, EverySystemCallOfInitFailedInTurn) {
    using sim::Call;
    const Call calls[] = {Call::CreateEventW,
                          Call::DeviceIoControl,
                          Call::WaitForSingleObject,
                          Call::CloseHandle,
                          Call::CreateFileW,
                          Call::GetOverlappedResult,
                          Call::SetupDiGetClassDevsW,
                          Call::SetupDiEnumDeviceInterfaces,
                          Call::SetupDiGetDeviceInterfaceDetailW,
                          Call::SetupDiGetDeviceInstanceIdW,
                          Call::SetupDiGetDeviceInterfaceAlias};
    ASSERT_TRUE(InitOnce());
    unsigned failuresMade = 0;
    for (bool pending : {false, true}) {
        device->SetPendingProperties(pending);
        for (Call call : calls) {
            unsigned skip = 0;
            for (; skip < 2000; ++skip) {
                sim::FailNext(call, ERROR_GEN_FAILURE, 1, skip);
                const size_t handles = sim::OpenHandleCount();
                InitOnce();
                const bool reached = !sim::FailurePlanned(call);
                sim::ClearFailures();
                // A failed CloseHandle leaves its handle open, as on Windows; anything else is a leak.
                if (call != Call::CloseHandle) {
                    EXPECT_EQ(sim::OpenHandleCount(), handles) << static_cast<int>(call) << " " << skip;
                }
                if (!reached)
                    break;
                ++failuresMade;
            }
            EXPECT_LT(skip, 2000u) << static_cast<int>(call);
        }
    }
    EXPECT_GT(failuresMade, 100u);
    EXPECT_TRUE(InitOnce()) << "after the sweep the device binds as before";
    handlesBefore = sim::OpenHandleCount();
}

TEST_F(DeviceFaults, EveryAllocationOfInitFailedInTurnWhileTheDeviceAnswersLate) {
    device->SetPendingProperties(true);
    long n = 0;
    for (; n < 2000; ++n) {
        IASIO* driver = testing_support::CreateDriver();
        ASSERT_NE(driver, nullptr);
        testing_support::FailOneAllocationAfter(n);
        const bool bound = driver->init(nullptr) == ASIOTrue;
        const bool failed = testing_support::FailedAllocations() > 0;
        testing_support::ResetAllocationFailures();
        if (!bound) {
            EXPECT_EQ(DriverError(driver), kEnumFailure) << n;
        }
        EXPECT_EQ(driver->Release(), 0u);
        if (!failed)
            break;
    }
    EXPECT_LT(n, 2000);
}

TEST_F(DeviceFaults, FailuresThatComeAfterPendingFailInit) {
    device->SetPendingProperties(true);
    // The pin count refused after pending is no count: with it, init must fail as when refused at once.
    device->ChangeDescriptor([](auto& d) {
        d.rawPinCount = std::vector<BYTE>(2, 0);
        for (auto& pin : d.pins)
            pin.refusedProperties[KSPROPERTY_PIN_DATARANGES] = ERROR_NOT_SUPPORTED;
    });
    EXPECT_FALSE(InitOnce());
    device->ChangeDescriptor([](auto& d) { d.rawPinCount.reset(); });
    EXPECT_FALSE(InitOnce()) << "a render pin without data ranges is no render pin";
    device->ChangeDescriptor([](auto& d) {
        for (auto& pin : d.pins)
            pin.refusedProperties.clear();
    });
    EXPECT_TRUE(InitOnce());
}

TEST_F(DeviceFaults, ADeviceThatNeverAnswersFailsInitWithAMessage) {
    device->SetHung(true);
    EXPECT_FALSE(InitOnce());
    EXPECT_EQ(device->HeldRequests(), 0u) << "what timed out was cancelled";

    // Cancellation ignored too: the requests stay with the device, the driver object still goes, and
    // the device coming back later writes into memory that is still there.
    device->SetCancelIgnored(true);
    EXPECT_FALSE(InitOnce());
    EXPECT_GE(device->HeldRequests(), 1u);
    device->SetCancelIgnored(false);
    device->SetHung(false);
    EXPECT_GE(device->ReleaseHeld(), 1u);
    EXPECT_TRUE(InitOnce());
}

TEST_F(DeviceFaults, ADeviceThatStopsAnsweringWhileStreamingLetsTheHostGo) {
    IASIO* driver = testing_support::CreateDriver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    testing_support::HostRecorder host;
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 2, 512, &host.callbacks), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(device->WaitForPendingWrites(1, 5000));
    device->SetHung(true);
    device->SetCancelIgnored(true);
    device->CompleteWrites(1); // nothing: a hung device completes nothing
    // Every call returns: the device's requests are bounded and the held ones outlive the driver.
    driver->stop();
    driver->disposeBuffers();
    EXPECT_EQ(driver->Release(), 0u);
    for (int i = 0; i < 2000 && sim::RunningThreads() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(sim::RunningThreads(), 0u);
    device->SetCancelIgnored(false);
    device->SetHung(false);
    device->ReleaseHeld();
}

} // namespace
