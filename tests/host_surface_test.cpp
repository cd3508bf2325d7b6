// The driver as hosts use it, through IASIO only, against a simulated Larkspur with a stepped clock: a
// player setting up PCM and then DSD, a workstation building its rate menu, hosts that misuse
// createBuffers or switch formats mid-stream, and a host that keeps the class factory.
#include "asio/packing.h"
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"
#include "sim/threads.h"
#include "tests/support/host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <set>
#include <thread>
#include <vector>

using namespace testing_support;
using sim::larkspur::Clock;
using sim::larkspur::Device;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr uint32_t kLeftWord = 0x11223344u;
constexpr uint32_t kRightWord = 0x55667788u;

// A host that leaves its buffers as they are and counts what it is told; safe on the render thread.
struct QuietHost {
    static inline std::atomic<int> switches{0};
    static inline std::atomic<int> rateChanges{0};
    static void Switch(int32_t, ASIOBool) { switches.fetch_add(1); }
    static void RateChanged(ASIOSampleRate) { rateChanges.fetch_add(1); }
    static int32_t Message(int32_t, int32_t, void*, double*) { return 0; }
    static ASIOTime* SwitchTimeInfo(ASIOTime* time, int32_t index, ASIOBool direct) {
        Switch(index, direct);
        return time;
    }
    ASIOCallbacks callbacks{&Switch, &RateChanged, &Message, &SwitchTimeInfo};
    QuietHost() {
        switches = 0;
        rateChanges = 0;
    }
};

bool WaitUntil(const std::function<bool()>& condition, unsigned timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class Host : public ::testing::Test {
protected:
    void SetUp() override {
        device = Device::Create(Clock::Stepped);
        sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});
        driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override {
        if (driver) {
            StopWithDrain();
            EXPECT_EQ(driver->Release(), 0u);
        }
        sim::ResetDeviceInterfaces();
        EXPECT_TRUE(WaitUntil([] { return sim::RunningThreads() == 0; }));
    }

    ASIOError SetFormat(ASIOIoFormatType type) {
        ASIOIoFormat format{};
        format.FormatType = type;
        return driver->future(kAsioSetIoFormat, &format);
    }
    ASIOIoFormatType Format() {
        ASIOIoFormat format{};
        format.FormatType = kASIOFormatInvalid;
        EXPECT_EQ(driver->future(kAsioGetIoFormat, &format), ASE_SUCCESS);
        return format.FormatType;
    }
    int32_t PreferredSize() {
        int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
        EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
        return preferred;
    }
    double Rate() {
        ASIOSampleRate rate = 0;
        EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
        return rate;
    }
    bool IsActive(int32_t channel, bool input) {
        ASIOChannelInfo info{};
        info.channel = channel;
        info.isInput = input ? ASIOTrue : ASIOFalse;
        EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
        return info.isActive == ASIOTrue;
    }

    // Completes `count` writes, one at a time as the render thread sends them.
    void Play(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(device->WaitForPendingWrites(1, 5000));
            ASSERT_EQ(device->CompleteWrites(1), 1u);
        }
    }
    // stop() on another thread while writes are completed, so the drain can run its course.
    void StopWithDrain() {
        std::atomic<bool> done{false};
        std::thread stopper([&] {
            driver->stop();
            done = true;
        });
        while (!done.load()) {
            device->CompleteWrites(1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        stopper.join();
    }
    // What the device received, as 32-bit words (DSD words as the host wrote them).
    std::vector<uint32_t> DeviceWords() {
        const std::vector<BYTE> audio = device->Audio();
        std::vector<uint32_t> words(audio.size() / 4);
        std::memcpy(words.data(), audio.data(), words.size() * 4);
        return words;
    }

    std::shared_ptr<Device> device;
    IASIO* driver = nullptr;
    QuietHost host;
};

// ---- A workstation: its rate menu from canSampleRate, and setSampleRate from that menu.

using RateMenu = Host;

const double kPcmRates[] = {8000,  11025,  16000,  22050,  32000,  44100,  48000,  88200,
                            96000, 176400, 192000, 352800, 384000, 705600, 768000, 1536000};
const double kDsdRates[] = {2822400, 3072000, 5644800, 6144000, 11289600, 12288000, 22579200, 24576000};

std::vector<double> Menu(IASIO* driver, const double* rates, size_t count) {
    std::vector<double> menu;
    for (size_t i = 0; i < count; ++i) {
        const ASIOError answer = driver->canSampleRate(rates[i]);
        EXPECT_TRUE(answer == ASE_OK || answer == ASE_NoClock) << rates[i] << " gave " << answer;
        if (answer == ASE_OK)
            menu.push_back(rates[i]);
    }
    return menu;
}

TEST_F(RateMenu, FollowsTheRenderPinsRangesInEachMode) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(
        Menu(driver, kPcmRates, std::size(kPcmRates)),
        (std::vector<double>{44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 705600, 768000}));
    ASSERT_EQ(SetFormat(kASIODSDFormat), ASE_SUCCESS);
    // DSD64 to DSD512 travel at 44.1 kHz to 384 kHz: all within the pin's range.
    EXPECT_EQ(Menu(driver, kDsdRates, std::size(kDsdRates)),
              std::vector<double>(std::begin(kDsdRates), std::end(kDsdRates)));
    // A PCM rate is no DSD rate: 44100 / 64 is no whole rate, 48000 / 64 is below the range.
    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_NoClock);
    EXPECT_EQ(driver->canSampleRate(48000.0), ASE_NoClock);
    EXPECT_EQ(driver->canSampleRate(64.0 * 768000), ASE_OK);
    EXPECT_EQ(driver->canSampleRate(64.0 * 768001), ASE_NoClock);

    // A device that takes less: the menu shrinks with it after the next init.
    device->ChangeDescriptor([](sim::larkspur::FilterDescriptor& descriptor) {
        descriptor.pins[0].dataRanges = {sim::larkspur::AudioDataRange(2, 32, 32, 44100, 96000)};
    });
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(Menu(driver, kDsdRates, std::size(kDsdRates)),
              (std::vector<double>{2822400, 3072000, 5644800, 6144000}));
    ASSERT_EQ(SetFormat(kASIOPCMFormat), ASE_SUCCESS);
    EXPECT_EQ(Menu(driver, kPcmRates, std::size(kPcmRates)),
              (std::vector<double>{44100, 48000, 88200, 96000}));
}

TEST_F(RateMenu, AnswersForTheFormatStartBuildsNotJustTheRate) {
    // The pin takes these rates, but only in 16 bits: start's 32-bit stream would find no pin.
    device->ChangeDescriptor([](sim::larkspur::FilterDescriptor& descriptor) {
        descriptor.pins[0].dataRanges = {sim::larkspur::AudioDataRange(2, 16, 16, 8000, 768000)};
    });
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_TRUE(Menu(driver, kPcmRates, std::size(kPcmRates)).empty());
    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_NoClock);
}

TEST_F(RateMenu, RefusedRatesChangeNothingAndAnnounceNothing) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    ASSERT_EQ(driver->createBuffers(&info, 1, 256, &host.callbacks), ASE_OK);
    ASSERT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    const int announced = QuietHost::rateChanges.load();

    for (const double rate : {0.0, -0.0, -48000.0, kNaN, kInfinity, -kInfinity, 48000.5, 44099.999999,
                              std::numeric_limits<double>::denorm_min(), 1e300, 4294967296.0}) {
        EXPECT_EQ(driver->canSampleRate(rate), ASE_NoClock) << rate;
        EXPECT_EQ(driver->setSampleRate(rate), ASE_NoClock) << rate;
        EXPECT_EQ(Rate(), 48000.0) << rate;
    }
    ASSERT_EQ(SetFormat(kASIODSDFormat), ASE_SUCCESS);
    for (const double rate : {2822401.0, 2822400.5, 2822432.0, 44100.0}) {
        EXPECT_EQ(driver->canSampleRate(rate), ASE_NoClock) << rate;
        EXPECT_EQ(driver->setSampleRate(rate), ASE_NoClock) << rate;
    }
    EXPECT_EQ(Rate(), 48000.0);
    EXPECT_EQ(QuietHost::rateChanges.load(), announced);
}

TEST_F(RateMenu, WithoutADeviceNoRateIsPresent) {
    sim::SetDeviceInterfaces({});
    ASSERT_EQ(driver->init(nullptr), ASIOFalse);
    for (const double rate : {44100.0, 48000.0, 2822400.0, 0.0, kNaN}) {
        EXPECT_EQ(driver->canSampleRate(rate), ASE_NotPresent) << rate;
        EXPECT_EQ(driver->setSampleRate(rate), ASE_NotPresent) << rate;
    }
    EXPECT_EQ(Rate(), 44100.0);
}

// ---- A host that keeps the class factory to create drivers later.

TEST(HostKeepsTheFactory, TheModuleStaysLoadedAndTheFactoryKeepsWorking) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_ASIOLarkspur, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    // What CoFreeUnusedLibraries asks before unloading: the factory alone must keep the module.
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    for (int round = 0; round < 2; ++round) {
        IASIO* driver = nullptr;
        ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_ASIOLarkspur, reinterpret_cast<void**>(&driver)),
                  S_OK);
        EXPECT_EQ(driver->Release(), 0u);
        EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    }
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

} // namespace
