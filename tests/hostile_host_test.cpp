// Hosts that break the rules: two driver objects on two threads, one object called from several threads
// at once, calls from inside the buffer switch, callback records with holes. Nothing may crash, hang or
// race (these run under AddressSanitizer and ThreadSanitizer).
#include "ks/audio_pin.h"
#include "sim/kernel_objects.h"
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"
#include "sim/threads.h"
#include "tests/support/host.h"
#include "tests/support/stream_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <thread>

using namespace testing_support;
using sim::larkspur::Clock;
using sim::larkspur::Device;
using sim::larkspur::FaultKind;

namespace {

constexpr char kBusy[] = "The Larkspur is already playing for another ASIO host";

// Callbacks that count, one set per host N, touching nothing else.
template <int N> struct CountingHost {
    static inline std::atomic<int> switches{0};
    static inline std::atomic<int> resets{0};
    static void Switch(int32_t, ASIOBool) { switches.fetch_add(1); }
    static void Rate(ASIOSampleRate) {}
    static int32_t Message(int32_t selector, int32_t, void*, double*) {
        if (selector == kAsioResetRequest)
            resets.fetch_add(1);
        return 0;
    }
    static ASIOTime* TimeInfo(ASIOTime* time, int32_t, ASIOBool) {
        switches.fetch_add(1);
        return time;
    }
    static inline ASIOCallbacks callbacks{&Switch, &Rate, &Message, &TimeInfo};
};

// A driver bound to the device with two outputs of short periods (32 frames at 384 kHz).
IASIO* StreamingDriver(ASIOCallbacks* callbacks) {
    IASIO* driver = CreateDriver();
    if (!driver)
        return nullptr;
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    if (driver->init(nullptr) != ASIOTrue || driver->setSampleRate(384000.0) != ASE_OK ||
        driver->createBuffers(infos, 2, 32, callbacks) != ASE_OK) {
        driver->Release();
        return nullptr;
    }
    return driver;
}

class HostileHost : public ::testing::Test {
protected:
    void UseDevice(Clock clock) {
        device = Device::Create(clock);
        sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});
    }
    void TearDown() override {
        sim::ResetDeviceInterfaces();
        EXPECT_TRUE(WaitUntil([] { return sim::RunningThreads() == 0; }));
        if (device) {
            EXPECT_EQ(device->OpenPins(), 0u);
        }
    }
    std::shared_ptr<Device> device;
};

TEST_F(HostileHost, TwoObjectsOnTwoThreadsNeverShareTheStream) {
    UseDevice(Clock::RealTime);
    std::atomic<int> started{0}, refused{0};
    std::atomic<bool> badResult{false};
    auto run = [&](ASIOCallbacks* callbacks, std::atomic<int>* switches, unsigned seed) {
        IASIO* driver = StreamingDriver(callbacks);
        ASSERT_NE(driver, nullptr);
        std::mt19937 random(seed);
        for (int round = 0; round < 40; ++round) {
            const ASIOError result = driver->start();
            if (result == ASE_OK) {
                started.fetch_add(1);
                const int before = switches->load();
                WaitUntil([&] { return switches->load() >= before + 3; }, 2000);
            } else if (result == ASE_NotPresent && DriverError(driver) == kBusy) {
                refused.fetch_add(1);
            } else {
                badResult = true;
            }
            if (device->OpenPins() > 1)
                badResult = true;
            // Tear down in the ways hosts do.
            switch (random() % 3) {
            case 0:
                driver->stop();
                break;
            case 1:
                driver->stop();
                driver->disposeBuffers();
                {
                    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
                    driver->createBuffers(infos, 2, 32, callbacks);
                }
                break;
            default:
                driver->Release();
                driver = StreamingDriver(callbacks);
                ASSERT_NE(driver, nullptr);
                break;
            }
        }
        driver->Release();
    };
    std::thread first(run, &CountingHost<1>::callbacks, &CountingHost<1>::switches, 1u);
    std::thread second(run, &CountingHost<2>::callbacks, &CountingHost<2>::switches, 2u);
    first.join();
    second.join();
    EXPECT_FALSE(badResult.load());
    EXPECT_GT(started.load(), 0);
    EXPECT_EQ(started.load() + refused.load(), 80);
}

TEST_F(HostileHost, AnotherObjectIsRefusedAndLeavesTheStreamAlone) {
    UseDevice(Clock::Stepped);
    StreamHost host;
    IASIO* streaming = CreateDriver();
    ASSERT_EQ(streaming->init(nullptr), ASIOTrue);
    ASSERT_EQ(host.CreateStereo(streaming, 64, 64), ASE_OK);
    ASSERT_EQ(streaming->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForSwitches(1)); // the one switch before any completion

    IASIO* other = StreamingDriver(&CountingHost<3>::callbacks);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->start(), ASE_NotPresent);
    EXPECT_EQ(DriverError(other), kBusy);
    EXPECT_EQ(other->stop(), ASE_OK);
    EXPECT_EQ(other->disposeBuffers(), ASE_OK);
    EXPECT_EQ(other->Release(), 0u);

    // The first stream goes on.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(device->WaitForPendingWrites(1, 5000));
        ASSERT_EQ(device->CompleteWrites(1), 1u);
        ASSERT_TRUE(host.WaitForSwitches(2 + i));
    }
    EXPECT_EQ(device->OpenPins(), 1u);
    EXPECT_EQ(CountingHost<3>::switches.load(), 0);
    std::thread stopper([&] { streaming->stop(); });
    while (sim::RunningThreads() > 0)
        device->CompleteWrites(1);
    stopper.join();
    EXPECT_EQ(streaming->Release(), 0u);
}

TEST_F(HostileHost, OneObjectCalledFromSeveralThreadsAtOnce) {
    UseDevice(Clock::RealTime);
    IASIO* driver = StreamingDriver(&CountingHost<4>::callbacks);
    ASSERT_NE(driver, nullptr);
    auto hammer = [driver](unsigned seed) {
        std::mt19937 random(seed);
        for (int i = 0; i < 150; ++i) {
            ASIOBufferInfo infos[4] = {
                {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, {ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}};
            ASIOSamples position{};
            ASIOTimeStamp stamp{};
            int32_t a = 0, b = 0, c = 0, d = 0;
            char text[128];
            switch (random() % 8) {
            case 0:
                driver->createBuffers(infos, 4, 32, &CountingHost<4>::callbacks);
                break;
            case 1:
            case 2:
                driver->start();
                break;
            case 3:
                driver->stop();
                break;
            case 4:
                driver->disposeBuffers();
                break;
            case 5:
                driver->getSamplePosition(&position, &stamp);
                driver->getLatencies(&a, &b);
                break;
            case 6:
                driver->getBufferSize(&a, &b, &c, &d);
                driver->getErrorMessage(text);
                break;
            default:
                driver->setSampleRate(random() % 2 ? 384000.0 : 352800.0);
                break;
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned seed = 10; seed < 14; ++seed)
        threads.emplace_back(hammer, seed);
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(driver->Release(), 0u);
}

TEST_F(HostileHost, PositionsReadFromAnotherThreadAreWholeSwitches) {
    UseDevice(Clock::RealTime);
    IASIO* driver = StreamingDriver(&CountingHost<5>::callbacks);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(driver->start(), ASE_OK);
    uint64_t last = 0;
    for (int i = 0; i < 20000 && CountingHost<5>::switches.load() < 200; ++i) {
        ASIOSamples position{};
        ASIOTimeStamp stamp{};
        ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
        const uint64_t value = (static_cast<uint64_t>(position.hi) << 32) | position.lo;
        EXPECT_EQ(value % 32, 0u);
        EXPECT_GE(value, last);
        last = value;
    }
    EXPECT_EQ(driver->Release(), 0u);
}

// Calls from inside the buffer switch, on the render thread.
IASIO* g_inside = nullptr;
std::atomic<ASIOError> g_insideResult{ASE_OK};
std::atomic<int> g_insideCalls{0};

void StopInside(int period) {
    if (period == 4) {
        g_insideResult = g_inside->stop();
        g_insideCalls.fetch_add(1);
    }
}
void DisposeInside(int period) {
    if (period == 4) {
        g_insideResult = g_inside->disposeBuffers();
        g_insideCalls.fetch_add(1);
    }
}
void ReleaseInside(int period) {
    if (period == 4) {
        g_insideResult = static_cast<ASIOError>(g_inside->Release());
        g_insideCalls.fetch_add(1);
    }
}

class InsideBufferSwitch : public HostileHost {
protected:
    void SetUp() override {
        UseDevice(Clock::Stepped);
        driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(host.CreateStereo(driver, 64, 64), ASE_OK);
        g_inside = driver;
        g_insideCalls = 0;
    }
    void TearDown() override {
        host.duringSwitch = nullptr;
        if (driver) {
            std::thread stopper([&] { driver->stop(); });
            while (sim::RunningThreads() > 0)
                device->CompleteWrites(1);
            stopper.join();
            EXPECT_EQ(driver->Release(), 0u);
        }
        HostileHost::TearDown();
    }
    // Completes writes until the thread ended or `switches` were reached.
    void Drive(int switches) {
        WaitUntil([&] {
            device->CompleteWrites(1);
            return sim::RunningThreads() == 0 || host.switches.load() >= switches;
        });
    }
    IASIO* driver = nullptr;
    StreamHost host;
};

TEST_F(InsideBufferSwitch, StopThereEndsTheStreamWithoutWaitingForItself) {
    host.duringSwitch = &StopInside;
    ASSERT_EQ(driver->start(), ASE_OK);
    Drive(1000);
    ASSERT_TRUE(WaitUntil([] { return sim::RunningThreads() == 0; }));
    EXPECT_EQ(g_insideCalls.load(), 1);
    EXPECT_EQ(g_insideResult.load(), ASE_OK);
    EXPECT_EQ(host.switches.load(), 5); // the switch that stopped was the last
    EXPECT_EQ(device->OpenPins(), 0u);
    EXPECT_EQ(device->ModeCodes(), (std::vector<ULONG>{DEVICE_MODE_PCM, DEVICE_MODE_STREAM_END}));
    // The host's own stop afterwards, and a new stream.
    host.duringSwitch = nullptr;
    EXPECT_EQ(driver->stop(), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForSwitches(8));
}

TEST_F(InsideBufferSwitch, DisposeBuffersThereIsRefused) {
    host.duringSwitch = &DisposeInside;
    ASSERT_EQ(driver->start(), ASE_OK);
    Drive(10);
    EXPECT_EQ(g_insideCalls.load(), 1);
    EXPECT_EQ(g_insideResult.load(), ASE_InvalidMode);
    EXPECT_GE(host.switches.load(), 10); // the stream goes on with its buffers
}

TEST_F(InsideBufferSwitch, AFinalReleaseThereDestroysTheObjectOnceTheThreadEnds) {
    const size_t handles = sim::OpenHandleCount();
    host.duringSwitch = &ReleaseInside;
    ASSERT_EQ(driver->start(), ASE_OK);
    driver = nullptr; // the host's last reference goes inside the switch
    Drive(1000);
    ASSERT_TRUE(WaitUntil([] { return sim::RunningThreads() == 0; }));
    EXPECT_EQ(g_insideCalls.load(), 1);
    EXPECT_EQ(static_cast<ULONG>(g_insideResult.load()), 0u);
    EXPECT_EQ(host.switches.load(), 5);
    EXPECT_EQ(device->OpenPins(), 0u);

    // Another object streams after it, and what the ended thread left is cleaned up then.
    host.duringSwitch = nullptr;
    IASIO* next = CreateDriver();
    ASSERT_EQ(next->init(nullptr), ASIOTrue);
    ASSERT_EQ(host.CreateStereo(next, 64, 64), ASE_OK);
    ASSERT_EQ(next->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForSwitches(8));
    std::thread stopper([&] { next->stop(); });
    while (sim::RunningThreads() > 0)
        device->CompleteWrites(1);
    stopper.join();
    EXPECT_EQ(next->Release(), 0u);
    EXPECT_LE(sim::OpenHandleCount(), handles);
}

TEST_F(HostileHost, CallbackRecordsWithHoles) {
    UseDevice(Clock::Stepped);
    // No entry at all, then only asioMessage claiming time info without a time-info switch.
    static ASIOCallbacks empty{};
    static ASIOCallbacks timeInfoHole{nullptr, nullptr,
                                      [](int32_t selector, int32_t, void*, double*) -> int32_t {
                                          return selector == kAsioSupportsTimeInfo ? 1 : 0;
                                      },
                                      nullptr};
    for (ASIOCallbacks* callbacks : {&empty, &timeInfoHole}) {
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
        ASSERT_EQ(driver->createBuffers(infos, 2, 64, callbacks), ASE_OK);
        ASSERT_EQ(driver->start(), ASE_OK);
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(device->WaitForPendingWrites(1, 5000));
            device->CompleteWrites(1);
        }
        // The device goes: the reset request finds no entry, or one that ignores it.
        ASSERT_TRUE(device->WaitForPendingWrites(1, 5000));
        device->SetFault({FaultKind::Unplug, 0});
        device->CompleteWrites(1);
        ASSERT_TRUE(WaitUntil([] { return sim::RunningThreads() == 0; }));
        EXPECT_EQ(DriverError(driver), "The Larkspur was disconnected");
        EXPECT_EQ(driver->Release(), 0u);
        device->SetFault({});
    }
}

} // namespace
