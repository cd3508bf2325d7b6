// The driver as hosts meet it, driven only through IASIO against the simulated Larkspur: a player's and
// a workstation's call sequences, the latency it reports against what the device shows, and a device
// lost in the middle of a stream.
#include "asio/packing.h"
#include "ks/audio_pin.h"
#include "sim/kernel_objects.h"
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"
#include "sim/threads.h"
#include "tests/support/host.h"
#include "tests/support/stepped_device.h"
#include "tests/support/stream_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

using namespace testing_support;
using sim::larkspur::Clock;
using sim::larkspur::Device;
using sim::larkspur::FaultKind;

namespace {

constexpr int32_t kFrames = 64;

class HostConformance : public SteppedDriverTest<> {
protected:
    void TearDown() override {
        host.duringSwitch = nullptr;
        host.duringReset = nullptr;
        SteppedDriverTest::TearDown();
    }

    // What a host does before start: the buffer size it is offered, two outputs, its callbacks.
    int32_t CreateStereo() {
        int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
        EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
        ASIOIoFormat format{};
        driver->future(kAsioGetIoFormat, &format);
        const bool dsd = format.FormatType == kASIODSDFormat;
        const int32_t size = dsd ? 32 * kFrames : kFrames;
        EXPECT_EQ(host.CreateStereo(driver, size, kFrames), ASE_OK);
        return size;
    }
    // Completes one write at a time, each once the switch of the one before has run, until the host
    // had `switches` in all. The first needs no completion.
    void Pump(int switches) {
        ASSERT_TRUE(host.WaitForSwitches(std::min(switches, m_switchesAtStart + 1)));
        while (host.switches.load() < switches) {
            const int next = host.switches.load() + 1;
            ASSERT_TRUE(device->WaitForPendingWrites(1, 5000));
            ASSERT_EQ(device->CompleteWrites(1), 1u);
            ASSERT_TRUE(host.WaitForSwitches(next));
        }
    }
    ASIOError Start() {
        m_switchesAtStart = host.switches.load();
        return driver->start();
    }
    int m_switchesAtStart = 0;
    // The frame index at which the device received the first frame of the host's period `period`.
    long FirstFrameOf(int period, const std::vector<BYTE>& audio) {
        const uint32_t word = static_cast<uint32_t>(StreamHost::Word(period, 0, 0));
        for (size_t at = 0; at + 8 <= audio.size(); at += 8) {
            uint32_t left = 0;
            std::memcpy(&left, audio.data() + at, 4);
            if (left == word)
                return static_cast<long>(at / 8);
        }
        return -1;
    }
    // Every period the host filled, in order from the first, as the device holds it.
    void ExpectPeriodsInOrder(int periods) {
        const std::vector<BYTE> audio = device->Audio();
        ASSERT_GE(audio.size(), static_cast<size_t>(periods) * kFrames * 8);
        for (int period = 0; period < periods; ++period) {
            for (int32_t j = 0; j < kFrames; ++j) {
                uint32_t words[2];
                std::memcpy(words, audio.data() + (static_cast<size_t>(period) * kFrames + j) * 8, 8);
                ASSERT_EQ(words[0], static_cast<uint32_t>(StreamHost::Word(period, 0, j)))
                    << period << ":" << j;
                ASSERT_EQ(words[1], static_cast<uint32_t>(StreamHost::Word(period, 1, j)))
                    << period << ":" << j;
            }
        }
    }
};

TEST_F(HostConformance, APlayerPlaysPcmThenDsdFromTheFirstPeriod) {
    int32_t inputs = 0, outputs = 0;
    ASSERT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
    ASSERT_EQ(outputs, 2);
    ASSERT_EQ(driver->canSampleRate(44100.0), ASE_OK);
    ASSERT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    CreateStereo();
    ASSERT_EQ(Start(), ASE_OK);
    Pump(12);
    StopWithDrain();
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    ExpectPeriodsInOrder(10);

    // DSD the way players ask for it.
    device->ClearRecord();
    ASIOIoFormat format{kASIODSDFormat, {}};
    ASSERT_EQ(driver->future(kAsioCanDoIoFormat, &format), ASE_SUCCESS);
    ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
    ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
    host.switches = 0; // periods count from this stream's start
    ASSERT_EQ(CreateStereo(), 32 * kFrames);
    ASIOChannelInfo info{0, ASIOFalse, 0, 0, 0, {}};
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTDSDInt8MSB1);
    ASSERT_EQ(Start(), ASE_OK);
    Pump(12);
    StopWithDrain();
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(device->ModeCodes(), (std::vector<ULONG>{DEVICE_MODE_DSD, DEVICE_MODE_STREAM_END}));
    ExpectPeriodsInOrder(10);
}

// The host's clock as a switch sees it: switch k runs at 1000 + 10 k ms.
void AdvanceClock(int period) {
    sim::SetTimeOverride(1000 + 10 * static_cast<DWORD>(period + 1));
}

TEST_F(HostConformance, AWorkstationFollowsPositionsAndRestartsForANewRate) {
    host.timeInfo = true;
    for (double rate : {44100.0, 48000.0, 96000.0})
        EXPECT_EQ(driver->canSampleRate(rate), ASE_OK) << rate;
    const int32_t size = CreateStereo();
    sim::SetTimeOverride(1000);
    host.duringSwitch = &AdvanceClock;
    host.askPosition = driver;
    ASSERT_EQ(Start(), ASE_OK);
    Pump(10);

    std::vector<ASIOTime> times;
    std::vector<ASIOSamples> positions;
    std::vector<ASIOTimeStamp> stamps;
    {
        std::lock_guard lock(host.mutex);
        times = host.times;
        positions = host.positions;
        stamps = host.stamps;
    }
    ASSERT_GE(times.size(), 10u);
    for (size_t k = 0; k < times.size(); ++k) {
        // Exactly one buffer further at every switch, with that switch's own time.
        const uint64_t expected = k * static_cast<uint64_t>(size);
        EXPECT_EQ(times[k].timeInfo.samplePosition.lo, expected) << k;
        const uint64_t nanoseconds = (1000 + 10 * k) * 1000000ull;
        EXPECT_EQ(times[k].timeInfo.systemTime.lo, static_cast<uint32_t>(nanoseconds)) << k;
        EXPECT_EQ(times[k].timeInfo.systemTime.hi, static_cast<uint32_t>(nanoseconds >> 32)) << k;
        // getSamplePosition inside the switch gives the same pair.
        EXPECT_EQ(positions[k].lo, expected) << k;
        EXPECT_EQ(stamps[k].lo, times[k].timeInfo.systemTime.lo) << k;
    }

    // A new rate while running: no call back from inside setSampleRate, then one reset request from
    // the render thread at the next period.
    ASSERT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(host.resetRequests.load(), 0);
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    EXPECT_EQ(rate, 48000.0);
    const int switches = host.switches.load();
    Pump(switches + 1);
    ASSERT_TRUE(WaitUntil([&] { return host.resetRequests.load() == 1; }));
    EXPECT_EQ(host.switchesAtReset.load(), switches + 1);
    Pump(switches + 4);
    EXPECT_EQ(host.resetRequests.load(), 1); // once per stream

    // The reset dance: stop, dispose, set up again, start; the device now runs at the new rate.
    StopWithDrain();
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    host.askPosition = nullptr;
    host.duringSwitch = nullptr;
    sim::ClearTimeOverride();
    CreateStereo();
    int32_t in = 0, out = 0;
    ASSERT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, size);
    ASSERT_EQ(Start(), ASE_OK);
    WAVEFORMATEXTENSIBLE format{};
    ASSERT_TRUE(device->LatestConnect(&format, nullptr));
    EXPECT_EQ(format.Format.nSamplesPerSec, 48000u);
    Pump(host.switches.load() + 3);
    EXPECT_EQ(host.resetRequests.load(), 1);
}

// The played frames at the return of each switch, read on the render thread.
std::shared_ptr<Device> g_latencyDevice;
std::vector<long> g_playedAtSwitch;
void RecordPlayed(int) {
    g_playedAtSwitch.push_back(static_cast<long>(g_latencyDevice->Audio().size() / 8));
}

TEST_F(HostConformance, OutputLatencyIsWhatTheDeviceShows) {
    for (bool dsd : {false, true}) {
        if (dsd) {
            ASIOIoFormat format{kASIODSDFormat, {}};
            ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
            ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
        }
        device->ClearRecord();
        host.switches = 0;
        g_latencyDevice = device;
        g_playedAtSwitch.clear();
        g_playedAtSwitch.reserve(64);
        const int32_t size = CreateStereo();
        host.duringSwitch = &RecordPlayed;
        ASSERT_EQ(Start(), ASE_OK);
        Pump(12);
        StopWithDrain();
        host.duringSwitch = nullptr;
        // Latencies follow the buffers in force: read them while the host's buffers exist.
        int32_t in = 0, out = 0;
        ASSERT_EQ(driver->getLatencies(&in, &out), ASE_OK);
        ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
        EXPECT_EQ(in, size);
        // From a switch's return to the first sample of its half leaving the device, in samples of
        // the mode: the frames the device played in between. Switch k fills period k + 1.
        const std::vector<BYTE> audio = device->Audio();
        const int samplesPerFrame = dsd ? 32 : 1;
        for (int k = 0; k < 10; ++k) {
            const long first = FirstFrameOf(k + host.firstSwitchPeriod, audio);
            ASSERT_GE(first, 0) << k;
            EXPECT_EQ((first - g_playedAtSwitch[k]) * samplesPerFrame, out) << (dsd ? "dsd " : "pcm ") << k;
        }
        g_latencyDevice.reset();
    }
}

// A device lost mid-stream, each way it can be lost.
struct Loss {
    FaultKind fault;
    const char* text;
};

std::string FaultName(const ::testing::TestParamInfo<Loss>& info) {
    static const char* const names[] = {"None", "Unplug", "Stall", "Refuse", "Hang", "Fail"};
    return names[static_cast<int>(info.param.fault)];
}

class DeviceLost : public HostConformance, public ::testing::WithParamInterface<Loss> {};

TEST_P(DeviceLost, OneResetRequestAReasonAndTheClockGoesOn) {
    const Loss loss = GetParam();
    CreateStereo();
    host.askPosition = driver;
    ASSERT_EQ(Start(), ASE_OK);
    Pump(6);
    device->SetFault({loss.fault, 0});
    // The write in flight completes (or not) as the fault has it; the driver closes the pin and calls
    // the host from its own clock, as a host that ignores the reset request needs.
    device->CompleteWrites(1);
    ASSERT_TRUE(WaitUntil([&] { return host.resetRequests.load() == 1; }, 10000));
    EXPECT_EQ(DriverError(driver), loss.text);
    const int atReset = host.switches.load();
    ASSERT_TRUE(host.WaitForSwitches(atReset + 20));
    EXPECT_EQ(device->OpenPins(), 0u);
    EXPECT_EQ(host.resetRequests.load(), 1);

    // Later calls answer, positions went on one buffer at a time, and the host can tear down.
    EXPECT_EQ(driver->stop(), ASE_OK);
    const int after = host.switches.load();
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    EXPECT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.lo, static_cast<uint32_t>(after - 1) * kFrames);
    {
        std::lock_guard lock(host.mutex);
        for (size_t k = 0; k < host.positions.size(); ++k)
            ASSERT_EQ(host.positions[k].lo, k * kFrames) << k;
    }
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    device->CompleteWrites(10);
    EXPECT_EQ(sim::RunningThreads(), 0);
    EXPECT_EQ(host.switches.load(), after);
    EXPECT_EQ(host.resetRequests.load(), 1);
    host.askPosition = nullptr;

    // Setting up again either streams or says why not; a gone device says so at start.
    CreateStereo();
    const ASIOError again = Start();
    if (loss.fault == FaultKind::Unplug) {
        EXPECT_EQ(again, ASE_NotPresent);
        EXPECT_NE(DriverError(driver), "");
    } else {
        EXPECT_EQ(again, ASE_OK);
    }
    device->SetFault({});
}

INSTANTIATE_TEST_SUITE_P(Faults, DeviceLost,
                         ::testing::Values(Loss{FaultKind::Unplug, "The Larkspur was disconnected"},
                                           Loss{FaultKind::Stall, "The Larkspur stopped taking audio"},
                                           Loss{FaultKind::Refuse, "The Larkspur stopped taking audio"},
                                           Loss{FaultKind::Fail, "The Larkspur stopped taking audio"}),
                         FaultName);

// A write the device still holds when the host stops is cancelled before the pin closes: its OVERLAPPED
// is the next stream's. The next stream plays from its first period.
TEST_F(HostConformance, StopCancelsTheWriteTheDeviceHolds) {
    CreateStereo();
    ASSERT_EQ(Start(), ASE_OK);
    Pump(5);
    device->SetFault({FaultKind::Stall, 0});
    ASSERT_TRUE(device->WaitForPendingWrites(1, 5000));
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(sim::RunningThreads(), 0);
    EXPECT_EQ(device->CancelledWrites(), 1u);
    EXPECT_EQ(device->OpenPins(), 0u);
    EXPECT_EQ(host.resetRequests.load(), 0);

    device->SetFault({});
    device->ClearRecord();
    host.switches = 0;
    host.FillFirstHalf(); // a player seeking: the new first period goes in before start
    ASSERT_EQ(Start(), ASE_OK);
    Pump(6);
    StopWithDrain();
    ExpectPeriodsInOrder(4);
}

// The host tears down while the device is lost: it hears nothing from a thread that finds out after.
TEST_F(HostConformance, NoResetRequestAfterTheHostEnteredStop) {
    CreateStereo();
    ASSERT_EQ(Start(), ASE_OK);
    Pump(5);
    device->SetFault({FaultKind::Stall, 0});
    EXPECT_EQ(driver->stop(), ASE_OK); // the write in flight never returns; stop does not wait it out
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(sim::RunningThreads(), 0);
    EXPECT_EQ(host.resetRequests.load(), 0);
    EXPECT_EQ(device->OpenPins(), 0u);
    device->SetFault({});
}

} // namespace
