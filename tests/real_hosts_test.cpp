// What players and host libraries do that simple hosts do not: a DSD scan while the driver is still in
// PCM mode, a host that ignores the reset request after its device was lost, a device that comes back,
// and a host that lets go of the driver from inside a callback of a lost stream.
#include "sim/larkspur/device.h"
#include "sim/threads.h"
#include "tests/support/host.h"
#include "tests/support/stepped_device.h"
#include "tests/support/stream_host.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace testing_support;

namespace {

constexpr int32_t kFrames = 64;

class RealHosts : public SteppedDriverTest<> {};

TEST_F(RealHosts, ADsdPlayerScansInPcmModeThenSelectsDsdAndPlays) {
    // Both rate families, DSD64 to DSD512, asked before the format is chosen.
    for (double rate :
         {2822400.0, 5644800.0, 11289600.0, 22579200.0, 3072000.0, 6144000.0, 12288000.0, 24576000.0})
        EXPECT_EQ(driver->canSampleRate(rate), ASE_OK) << rate;
    EXPECT_EQ(driver->canSampleRate(90316800.0), ASE_NoClock); // DSD2048: past the pin's range
    EXPECT_EQ(driver->canSampleRate(2822401.0), ASE_NoClock);
    EXPECT_EQ(driver->setSampleRate(2822400.0), ASE_NoClock); // still a PCM driver
    ASIOSampleRate rate = 0;
    ASSERT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 44100.0);

    ASIOIoFormat format{kASIODSDFormat, {}};
    ASSERT_EQ(driver->future(kAsioCanDoIoFormat, &format), ASE_SUCCESS);
    ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
    ASSERT_EQ(driver->setSampleRate(5644800.0), ASE_OK);
    ASSERT_EQ(host.CreateStereo(driver, 32 * kFrames, kFrames), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    PumpSwitches(*device, host, 6);
    StopWithDrain();
    WAVEFORMATEXTENSIBLE wave{};
    ASSERT_TRUE(device->LatestConnect(&wave, nullptr));
    EXPECT_EQ(wave.Format.nSamplesPerSec, 88200u);
    EXPECT_EQ(device->ModeCodes().front(), static_cast<ULONG>(0x8000)); // DSD mode
}

TEST_F(RealHosts, ALostDeviceThatComesBackAsksTheHostToResetAgain) {
    ASSERT_EQ(host.CreateStereo(driver, kFrames, kFrames), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    PumpSwitches(*device, host, 4);
    device->Unplug();
    device->CompleteWrites(1);
    ASSERT_TRUE(WaitUntil([&] { return host.resetRequests.load() == 1; }));
    // The host ignores it and keeps getting called; the device returns while the stream is started.
    ASSERT_TRUE(host.WaitForSwitches(host.switches.load() + 10));
    EXPECT_EQ(DriverError(driver), "The Larkspur was disconnected");
    device->Replug();
    ASSERT_TRUE(WaitUntil([&] { return host.resetRequests.load() == 2; }, 5000));
    const int atSecond = host.switches.load();
    ASSERT_TRUE(host.WaitForSwitches(atSecond + 400, 10000)); // more than a watch period later
    EXPECT_EQ(host.resetRequests.load(), 2);

    // A host that acts on it sets up again and plays on the device.
    ASSERT_EQ(driver->stop(), ASE_OK);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    host.switches = 0;
    ASSERT_EQ(host.CreateStereo(driver, kFrames, kFrames), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    PumpSwitches(*device, host, 5);
    EXPECT_EQ(device->OpenPins(), 1u);
}

TEST_F(RealHosts, AStallThatNeverLeftBringsNoSecondReset) {
    ASSERT_EQ(host.CreateStereo(driver, kFrames, kFrames), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    PumpSwitches(*device, host, 3);
    device->SetFault({sim::larkspur::FaultKind::Stall, 0});
    ASSERT_TRUE(WaitUntil([&] { return host.resetRequests.load() == 1; }, 5000));
    device->SetFault({});
    // Well past two watch periods: the device was never gone, so it never came back.
    ASSERT_TRUE(host.WaitForSwitches(host.switches.load() + 800, 10000));
    EXPECT_EQ(host.resetRequests.load(), 1);
}

IASIO* g_releasing = nullptr;
std::atomic<int> g_releasedAt{-1};
void ReleaseInsideTheSwitch(int period) {
    if (IASIO* driver = g_releasing; driver && period == 12) {
        g_releasing = nullptr;
        driver->stop();
        driver->disposeBuffers();
        g_releasedAt = static_cast<int>(driver->Release());
    }
}

TEST_F(RealHosts, TheFinalReleaseInsideACallbackOfALostStream) {
    ASSERT_EQ(host.CreateStereo(driver, kFrames, kFrames), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    PumpSwitches(*device, host, 4);
    device->SetFault({sim::larkspur::FaultKind::Fail, 0});
    g_releasing = driver;
    host.duringSwitch = &ReleaseInsideTheSwitch;
    device->CompleteWrites(1);
    // The own clock reaches switch 12, where the host lets go; the object goes with the thread.
    ASSERT_TRUE(WaitUntil([] { return g_releasedAt.load() == 0; }, 5000));
    driver = nullptr;
    ASSERT_TRUE(WaitUntil([] { return sim::RunningThreads() == 0; }, 5000));
    host.duringSwitch = nullptr;
    EXPECT_EQ(device->OpenPins(), 0u);
    device->SetFault({});
}

} // namespace
