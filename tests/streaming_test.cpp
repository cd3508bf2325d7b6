// The driver streaming end to end against the simulated Larkspur with a stepped clock: what the device
// receives, in which order the host is called, time information, stop and drain, and the stream's
// failure paths.
#include "asio/packing.h"
#include "asio/render_thread.h"
#include "ks/audio_pin.h"
#include "sim/failure_injection.h"
#include "sim/kernel_objects.h"
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"
#include "sim/threads.h"
#include "tests/support/host.h"
#include "tests/support/stepped_device.h"
#include "tests/support/stream_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

using namespace testing_support;
using sim::larkspur::Clock;
using sim::larkspur::Device;
using sim::larkspur::RecordEvent;

namespace {

constexpr int32_t kFrames = 64;

class Streaming : public SteppedDriverTest<> {
protected:
    void UseDsd() {
        ASIOIoFormat format{};
        format.FormatType = kASIODSDFormat;
        ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
    }

    void CreateOutputs(int outputs, int32_t bufferSize, int inputs = 0) {
        std::vector<ASIOBufferInfo> infos;
        for (int i = 0; i < outputs; ++i)
            infos.push_back({ASIOFalse, i, {}});
        for (int i = 0; i < inputs; ++i)
            infos.push_back({ASIOTrue, i, {}});
        ASSERT_EQ(driver->createBuffers(infos.data(), static_cast<int32_t>(infos.size()), bufferSize,
                                        &host.callbacks),
                  ASE_OK);
        host.buffers.assign(infos.begin(), infos.begin() + outputs);
        int32_t a, b, preferred, d;
        driver->getBufferSize(&a, &b, &preferred, &d);
        ASIOIoFormat format{};
        driver->future(kAsioGetIoFormat, &format);
        host.frames = format.FormatType == kASIODSDFormat ? preferred / 32 : preferred;
        host.FillFirstHalf();
    }

    void Pump(int switches) { PumpSwitches(*device, host, switches); }

    // The device's audio cut into packets of `frames` frames, each as 32-bit words.
    std::vector<std::vector<uint32_t>> Packets(int32_t frames) {
        const std::vector<BYTE> audio = device->Audio();
        const size_t packetBytes = static_cast<size_t>(frames) * 8;
        std::vector<std::vector<uint32_t>> packets;
        for (size_t at = 0; at + packetBytes <= audio.size(); at += packetBytes) {
            std::vector<uint32_t> words(frames * 2);
            std::memcpy(words.data(), audio.data() + at, packetBytes);
            packets.push_back(words);
        }
        EXPECT_EQ(audio.size() % packetBytes, 0u);
        return packets;
    }

    // The packet the host's period k produced, for `outputs` buffers (one buffer feeds both words).
    std::vector<uint32_t> Expected(int period, int outputs, int32_t frames) {
        std::vector<uint32_t> words;
        for (int32_t j = 0; j < frames; ++j) {
            words.push_back(static_cast<uint32_t>(StreamHost::Word(period, 0, j)));
            words.push_back(static_cast<uint32_t>(StreamHost::Word(period, outputs >= 2 ? 1 : 0, j)));
        }
        return words;
    }
};

TEST_F(Streaming, PcmArrivesBitExactInPeriodOrder) {
    CreateOutputs(2, kFrames, 2);
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(12);
    EXPECT_EQ(device->ModeCodes(), std::vector<ULONG>{DEVICE_MODE_PCM});
    StopWithDrain();

    // Priming hands out 0, 1, 0; then every completion hands out the half it has just packed.
    const std::vector<int32_t> indices = host.Indices();
    ASSERT_GE(indices.size(), 12u);
    for (size_t i = 0; i < indices.size(); ++i)
        EXPECT_EQ(indices[i], static_cast<int32_t>(i % 2)) << i;

    // Every period the host filled reaches the device once and in order, from the first one on.
    const auto packets = Packets(kFrames);
    size_t data = 0;
    while (data < packets.size() && packets[data] != std::vector<uint32_t>(kFrames * 2, 0))
        ++data;
    ASSERT_GE(data, 9u);
    for (size_t i = 0; i < data; ++i)
        ASSERT_EQ(packets[i], Expected(static_cast<int>(i), 2, kFrames)) << "packet " << i;

    // Stream end, then silence: 16 silence writes, of which the device completed all but the last.
    EXPECT_EQ(device->Events(), (std::vector<RecordEvent>{{RecordEvent::Mode, DEVICE_MODE_PCM},
                                                          {RecordEvent::State, KSSTATE_RUN},
                                                          {RecordEvent::Mode, DEVICE_MODE_STREAM_END},
                                                          {RecordEvent::State, KSSTATE_STOP}}));
    EXPECT_GE(packets.size() - data, 15u);
    EXPECT_EQ(device->WritePackets(), data + 16);
    EXPECT_EQ(device->OpenPins(), 0u);

    WAVEFORMATEXTENSIBLE format{};
    ULONG interfaceId = 99;
    ASSERT_TRUE(device->LatestConnect(&format, &interfaceId));
    EXPECT_EQ(format.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(format.Format.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(format.Format.nBlockAlign, 4);
    EXPECT_EQ(format.Format.wBitsPerSample, 32);
    EXPECT_EQ(format.dwChannelMask, 3u);
    EXPECT_EQ(interfaceId, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
}

TEST_F(Streaming, OneOutputBufferFeedsBothWords) {
    CreateOutputs(1, kFrames);
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(8);
    StopWithDrain();
    const auto packets = Packets(kFrames);
    ASSERT_GE(packets.size(), 5u);
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(packets[i], Expected(static_cast<int>(i), 1, kFrames)) << i;
}

TEST_F(Streaming, DsdTravelsByteSwappedAndEndsInDsdSilence) {
    UseDsd();
    ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
    CreateOutputs(2, 32 * kFrames);
    ASSERT_EQ(host.frames, kFrames);
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(9);
    StopWithDrain();

    WAVEFORMATEXTENSIBLE format{};
    ULONG interfaceId = 0;
    ASSERT_TRUE(device->LatestConnect(&format, &interfaceId));
    EXPECT_EQ(format.Format.nSamplesPerSec, 44100u); // the DSD bit rate / 64
    EXPECT_EQ(device->ModeCodes(), (std::vector<ULONG>{DEVICE_MODE_DSD, DEVICE_MODE_STREAM_END}));

    // The device swaps each word back: it holds what the host wrote.
    const auto packets = Packets(kFrames);
    size_t data = 0;
    while (data < packets.size() && packets[data] != std::vector<uint32_t>(kFrames * 2, kDsdSilenceWord))
        ++data;
    ASSERT_GE(data, 6u);
    for (size_t i = 0; i < data; ++i)
        ASSERT_EQ(packets[i], Expected(static_cast<int>(i), 2, kFrames)) << i;
    ASSERT_GE(packets.size() - data, 15u);
    for (size_t i = data; i < packets.size(); ++i)
        EXPECT_EQ(packets[i], std::vector<uint32_t>(kFrames * 2, kDsdSilenceWord));
}

TEST_F(Streaming, TimeInfoCarriesPositionStampAndFlags) {
    host.timeInfo = true;
    sim::SetTimeOverride(7000);
    CreateOutputs(2, kFrames);
    ASSERT_EQ(driver->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
    ASSERT_EQ(driver->setClockSource(0), ASE_OK); // sets the clock-changed flag for the first switch
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(8);
    StopWithDrain();
    sim::ClearTimeOverride();

    std::vector<ASIOTime> times;
    {
        std::lock_guard lock(host.mutex);
        times = host.times;
    }
    ASSERT_GE(times.size(), 8u);
    EXPECT_EQ(host.Indices().size(), times.size()); // only bufferSwitchTimeInfo was called
    for (size_t i = 0; i < times.size(); ++i) {
        const AsioTimeInfo& info = times[i].timeInfo;
        // Copies: the packed record's doubles may sit on 4-byte boundaries.
        const double speed = info.speed, rate = info.sampleRate;
        EXPECT_EQ(speed, 1.0);
        EXPECT_EQ(rate, 44100.0);
        EXPECT_EQ(info.systemTime.hi, 1u); // 7e9 ns
        EXPECT_EQ(info.systemTime.lo, static_cast<uint32_t>(7000000000ull - 4294967296ull));
        // Changed-flags reach the first switch only.
        EXPECT_EQ(info.flags, i == 0 ? (7u | kClockSourceChanged) : 7u) << i;
        EXPECT_EQ(times[i].timeCode.flags, 3u);
        EXPECT_EQ(times[i].timeCode.timeCodeSamples.lo, info.samplePosition.lo + 26460000u);
    }
    // Switch k stands at k buffers, in samples per channel.
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_EQ(times[i].timeInfo.samplePosition.lo, i * kFrames) << i;
        EXPECT_EQ(times[i].timeInfo.samplePosition.hi, 0u);
    }
}

TEST_F(Streaming, SamplePositionBeforeDuringAndAfterAStream) {
    ASIOSamples position{1, 1};
    ASIOTimeStamp stamp{1, 1};
    ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.lo, 0u);
    EXPECT_EQ(stamp.lo, 0u);
    EXPECT_EQ(stamp.hi, 0u);

    sim::SetTimeOverride(3);
    CreateOutputs(2, kFrames);
    host.askPosition = driver;
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(6);
    StopWithDrain();
    sim::ClearTimeOverride();
    host.askPosition = nullptr;
    // Asked inside each switch: that switch's pair, k buffers in.
    std::vector<ASIOSamples> positions;
    {
        std::lock_guard lock(host.mutex);
        positions = host.positions;
        for (const ASIOTimeStamp& s : host.stamps)
            EXPECT_EQ(s.lo, 3000000u);
    }
    ASSERT_GE(positions.size(), 6u);
    for (size_t k = 0; k < positions.size(); ++k)
        EXPECT_EQ(positions[k].lo, k * kFrames) << k;

    // A stopped stream's position stands still at its last switch.
    ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.lo, (positions.size() - 1) * kFrames);
    EXPECT_EQ(position.hi, 0u);
    EXPECT_EQ(stamp.lo, 3000000u);

    // A new start begins at 0 again, and so does DSD, counting one-bit samples.
    UseDsd();
    ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
    const int first = host.switches.load();
    CreateOutputs(2, 32 * kFrames);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForSwitches(first + 1)); // the one switch before any completion
    ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.lo, 0u);
    Pump(first + 3);
    ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.lo, 2u * 32 * kFrames);
}

TEST_F(Streaming, StartRefusesWithoutBuffersOrFilterOrUsableRate) {
    ASSERT_EQ(driver->start(), ASE_NotPresent); // no createBuffers
    EXPECT_EQ(DriverError(driver), "The Larkspur cannot start: the host created no buffers");

    // Rates no pin takes never reach start; a DSD stream left at a PCM rate does, and finds no pin.
    for (double rate : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                        -44100.0, 5e9, 8000.0})
        EXPECT_EQ(driver->setSampleRate(rate), ASE_NoClock) << rate;
    UseDsd();
    CreateOutputs(2, 32 * kFrames);
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    EXPECT_EQ(device->OpenPins(), 0u);
    EXPECT_EQ(sim::RunningThreads(), 0);

    // A driver that never found the device.
    IASIO* unbound = CreateDriver();
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    StreamHost other;
    ASSERT_EQ(unbound->createBuffers(&info, 1, kFrames, &other.callbacks), ASE_OK);
    EXPECT_EQ(unbound->start(), ASE_NotPresent);
    EXPECT_EQ(DriverError(unbound), "ASIO Larkspur No pins available for rendering");
    unbound->Release();
}

TEST_F(Streaming, AHalfShorterThanOneWordNeverStreams) {
    // Zero-byte writes would complete at once, over and over: whichever call refuses, no thread runs.
    for (bool dsd : {false, true}) {
        if (dsd)
            UseDsd();
        ASIOBufferInfo info{ASIOFalse, 0, {}};
        if (driver->createBuffers(&info, 1, dsd ? 16 : 0, &host.callbacks) == ASE_OK) {
            EXPECT_EQ(driver->start(), ASE_InvalidMode) << dsd;
            EXPECT_EQ(DriverError(driver), "The buffer size is too small for the Larkspur");
        }
        EXPECT_EQ(sim::RunningThreads(), 0);
        EXPECT_EQ(device->OpenPins(), 0u);
        EXPECT_EQ(host.switches.load(), 0);
    }
}

TEST_F(Streaming, AFractionalRateIsRefusedAndTheStreamKeepsItsRate) {
    ASSERT_EQ(driver->setSampleRate(44100.7), ASE_NoClock);
    CreateOutputs(2, kFrames);
    ASSERT_EQ(driver->start(), ASE_OK);
    WAVEFORMATEXTENSIBLE format{};
    ULONG interfaceId = 0;
    ASSERT_TRUE(device->LatestConnect(&format, &interfaceId));
    EXPECT_EQ(format.Format.nSamplesPerSec, 44100u);
}

TEST_F(Streaming, ASecondStartWhileStreamingChangesNothing) {
    CreateOutputs(2, kFrames);
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(5);
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(sim::RunningThreads(), 1);
    EXPECT_EQ(device->OpenPins(), 1u);
    Pump(9);
    const auto indices = host.Indices();
    for (size_t i = 0; i < indices.size(); ++i)
        EXPECT_EQ(indices[i], static_cast<int32_t>(i % 2)) << i;
}

TEST_F(Streaming, StopStopsCallbacksAndRestartsCleanly) {
    const size_t handles = sim::OpenHandleCount();
    CreateOutputs(2, kFrames);
    for (int round = 0; round < 3; ++round) {
        const int before = host.switches.load();
        ASSERT_EQ(driver->start(), ASE_OK);
        Pump(before + 6);
        StopWithDrain();
        const int after = host.switches.load();
        device->CompleteWrites(100);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(host.switches.load(), after); // no callback after stop
        EXPECT_EQ(sim::RunningThreads(), 0);
        // Events, the pin and the thread handle are all closed again.
        EXPECT_EQ(sim::OpenHandleCount(), handles) << round;
    }
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->stop(), ASE_OK);
}

// The host's positions of every switch so far, in samples per channel.
std::vector<uint64_t> Positions(StreamHost& host) {
    std::lock_guard lock(host.mutex);
    std::vector<uint64_t> positions;
    for (const ASIOSamples& p : host.positions)
        positions.push_back((uint64_t{p.hi} << 32) | p.lo);
    return positions;
}

TEST_F(Streaming, AnInputOnlyStreamRunsAndPlaysSilence) {
    CreateOutputs(0, kFrames, 2);
    host.askPosition = driver;
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(8);
    EXPECT_EQ(device->OpenPins(), 1u);
    StopWithDrain();
    // The device played the mode's silence, from the first write on, as for any stream.
    const auto packets = Packets(kFrames);
    ASSERT_GE(packets.size(), 8u);
    for (const auto& packet : packets)
        EXPECT_EQ(packet, std::vector<uint32_t>(kFrames * 2, 0u));
    const auto positions = Positions(host);
    for (size_t k = 0; k < positions.size(); ++k)
        EXPECT_EQ(positions[k], k * kFrames) << k;
    // The Larkspur has no capture path: the host reads silence.
    ASIOBufferInfo inputs[2] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}};
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    ASSERT_EQ(driver->createBuffers(inputs, 2, kFrames, &host.callbacks), ASE_OK);
    for (const ASIOBufferInfo& info : inputs)
        for (int half = 0; half < 2; ++half)
            for (int32_t j = 0; j < kFrames; ++j)
                ASSERT_EQ(static_cast<const int32_t*>(info.buffers[half])[j], 0);
}

// After the device is lost the host is called at the stream's pace from the driver's own clock, with
// positions one buffer apart, until it stops; it hears one reset request and why.
void ExpectOwnClock(IASIO* driver, StreamHost& host, sim::larkspur::Device& device, int switchesAtLoss) {
    ASSERT_TRUE(WaitUntil([&] { return host.resetRequests.load() == 1; }, 10000));
    EXPECT_EQ(host.switchesAtReset.load(), switchesAtLoss);
    ASSERT_TRUE(host.WaitForSwitches(switchesAtLoss + 30));
    EXPECT_EQ(device.OpenPins(), 0u);
    EXPECT_EQ(sim::RunningThreads(), 2); // the render thread and the watch for the device's return
    const auto positions = Positions(host);
    for (size_t k = 0; k < positions.size(); ++k)
        ASSERT_EQ(positions[k], k * kFrames) << k;
    const auto indices = host.Indices();
    for (size_t k = 0; k < indices.size(); ++k)
        ASSERT_EQ(indices[k], static_cast<int32_t>(k % 2)) << k;
    // A running stream: start changes nothing; another object is still refused.
    EXPECT_EQ(driver->start(), ASE_OK);
    IASIO* other = CreateBoundDriver(device.shared_from_this());
    ASSERT_NE(other, nullptr);
    StreamHost otherHost;
    ASSERT_EQ(otherHost.CreateStereo(other, kFrames, kFrames), ASE_OK);
    EXPECT_EQ(other->start(), ASE_NotPresent);
    other->Release();
    // stop returns promptly and the clock stops with it; a new start opens a new pin.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_EQ(sim::RunningThreads(), 0);
    const int stopped = host.switches.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(host.switches.load(), stopped);
    EXPECT_EQ(host.resetRequests.load(), 1);
}

TEST_F(Streaming, ADeviceThatStopsCompletingLeavesTheHostOnItsOwnClock) {
    CreateOutputs(2, kFrames);
    host.askPosition = driver;
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(4);
    // No more completions: after its wait limit the thread closes the pin, sending nothing more to a
    // device that does not answer, and goes on calling the host.
    ExpectOwnClock(driver, host, *device, 4);
    EXPECT_EQ(device->ModeCodes(), (std::vector<ULONG>{DEVICE_MODE_PCM}));
    EXPECT_EQ(DriverError(driver), "The Larkspur stopped taking audio");
    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(device->OpenPins(), 1u);
}

TEST_F(Streaming, AWriteRefusedAtOnceLeavesTheHostOnItsOwnClock) {
    CreateOutputs(2, kFrames);
    host.askPosition = driver;
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(3);
    // From now on the device refuses every request; the next resubmission fails at once.
    sim::FailNext(sim::Call::DeviceIoControl, ERROR_GEN_FAILURE, 1000000);
    device->CompleteWrites(1);
    ExpectOwnClock(driver, host, *device, 3);
    sim::ClearFailures();
    EXPECT_EQ(DriverError(driver), "The Larkspur stopped taking audio");
}

TEST_F(Streaming, InitWhileStreamingStopsTheStreamFirst) {
    CreateOutputs(2, kFrames);
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(5);
    std::atomic<bool> done{false};
    std::thread initialiser([&] {
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        done = true;
    });
    while (!done.load()) {
        device->CompleteWrites(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    initialiser.join();
    EXPECT_EQ(sim::RunningThreads(), 0);
    EXPECT_EQ(device->OpenPins(), 0u);
    // The new binding streams.
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(host.switches.load() + 4);
}

// The render thread stuck in a host callback outlives stop's wait; a new start waits for it.
std::atomic<bool> g_gateClosed{false};
std::atomic<bool> g_inGate{false};
void Gate(int period) {
    if (period == 5) {
        g_inGate = true;
        while (g_gateClosed.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        g_inGate = false;
    }
}

TEST_F(Streaming, StartWaitsForAThreadStillDraining) {
    CreateOutputs(2, kFrames);
    g_gateClosed = true;
    host.duringSwitch = &Gate;
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(5);
    ASSERT_TRUE(device->WaitForPendingWrites(1, 5000));
    device->CompleteWrites(1);
    ASSERT_TRUE(WaitUntil([] { return g_inGate.load(); }));

    EXPECT_EQ(driver->stop(), ASE_OK); // gives up after its bounded wait
    EXPECT_EQ(sim::RunningThreads(), 1);
    std::atomic<bool> started{false};
    std::thread starter([&] {
        EXPECT_EQ(driver->start(), ASE_OK);
        started = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(started.load());
    g_gateClosed = false;
    while (!started.load()) {
        device->CompleteWrites(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    starter.join();
    EXPECT_EQ(sim::RunningThreads(), 1); // the old thread ended before the new one began
    host.duringSwitch = nullptr;
}

TEST_F(Streaming, ReleaseWhileStreamingEndsTheThreadFirst) {
    CreateOutputs(2, kFrames);
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(6);
    std::atomic<bool> released{false};
    std::thread releaser([&] {
        EXPECT_EQ(driver->Release(), 0u);
        released = true;
    });
    while (!released.load()) {
        device->CompleteWrites(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    releaser.join();
    driver = nullptr;
    EXPECT_EQ(sim::RunningThreads(), 0);
    EXPECT_EQ(device->OpenPins(), 0u);
}

TEST_F(Streaming, TheRenderThreadDoesNotAllocateWhileStreaming) {
    for (bool timeInfo : {false, true}) {
        host.timeInfo = timeInfo;
        CreateOutputs(2, kFrames);
        const int first = host.switches.load();
        ASSERT_EQ(driver->start(), ASE_OK);
        Pump(first + 40);
        StopWithDrain();
        std::vector<long> counts;
        {
            std::lock_guard lock(host.mutex);
            counts.assign(host.allocationsAtSwitch.begin() + first + 3, host.allocationsAtSwitch.end());
        }
        ASSERT_GE(counts.size(), 30u);
        EXPECT_EQ(counts.front(), counts.back()) << (timeInfo ? "time info" : "buffer switch");
    }
}

} // namespace

namespace {

// The device's real-time clock: writes complete as their frames would have played.
class RealTimeStreaming : public ::testing::Test {
protected:
    void SetUp() override {
        device = Device::Create(Clock::RealTime);
        sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});
        CreateStreamingDriver();
    }

    // A driver bound to the device with two outputs of short periods: 32 frames at 384 kHz is about
    // 83 microseconds, which keeps many cycles quick.
    void CreateStreamingDriver() {
        driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(driver->setSampleRate(384000.0), ASE_OK);
        ASSERT_EQ(host.CreateStereo(driver, 32, 32), ASE_OK);
    }
    void TearDown() override {
        if (driver)
            driver->Release();
        sim::ResetDeviceInterfaces();
        EXPECT_TRUE(WaitUntil([] { return sim::RunningThreads() == 0; }));
    }

    std::shared_ptr<Device> device;
    IASIO* driver = nullptr;
    StreamHost host;
};

TEST_F(RealTimeStreaming, TwoHundredStartStopCycles) {
    const size_t handles = sim::OpenHandleCount();
    for (int cycle = 0; cycle < 200; ++cycle) {
        const int before = host.switches.load();
        ASSERT_EQ(driver->start(), ASE_OK) << cycle;
        ASSERT_TRUE(host.WaitForSwitches(before + 4)) << cycle;
        ASSERT_EQ(driver->stop(), ASE_OK);
        ASSERT_EQ(sim::RunningThreads(), 0) << cycle;
        ASSERT_EQ(device->OpenPins(), 0u) << cycle;
    }
    EXPECT_EQ(sim::OpenHandleCount(), handles);
}

TEST_F(RealTimeStreaming, DestroyingTheDriverWhileStreaming) {
    for (int round = 0; round < 20; ++round) {
        const int before = host.switches.load();
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(host.WaitForSwitches(before + 3));
        EXPECT_EQ(driver->Release(), 0u);
        EXPECT_EQ(sim::RunningThreads(), 0);
        EXPECT_EQ(device->OpenPins(), 0u);
        driver = nullptr;
        CreateStreamingDriver(); // a new driver for the next round
    }
}

} // namespace

namespace {

// Start's own failures, known before it returns: the host hears ASE_HWMalfunction with a reason, and
// nothing of the stream is left behind.
class StartFailures : public SteppedDriverTest<> {
protected:
    void SetUp() override {
        SteppedDriverTest::SetUp();
        ASSERT_EQ(host.CreateStereo(driver, kFrames, kFrames), ASE_OK);
    }
    void ExpectNothingLeft(size_t handles) {
        EXPECT_EQ(sim::RunningThreads(), 0);
        EXPECT_EQ(device->OpenPins(), 0u);
        EXPECT_EQ(sim::OpenHandleCount(), handles);
    }
};

TEST_F(StartFailures, NoThreadMeansNoStream) {
    const size_t handles = sim::OpenHandleCount();
    sim::FailNext(sim::Call::CreateThread, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(driver->start(), ASE_HWMalfunction);
    EXPECT_EQ(DriverError(driver), "The Larkspur driver could not start its audio thread");
    ExpectNothingLeft(handles);
    EXPECT_EQ(host.switches.load(), 0);
    // The next start streams.
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForSwitches(3));
}

TEST_F(StartFailures, EveryEventThatCannotBeMadeFailsTheStartCleanly) {
    const size_t handles = sim::OpenHandleCount();
    bool sawThreadEvents = false;
    for (unsigned skip = 0; skip < 40; ++skip) {
        sim::FailNext(sim::Call::CreateEventW, ERROR_NOT_ENOUGH_MEMORY, 1, skip);
        const int before = host.switches.load();
        const ASIOError result = driver->start();
        sim::ClearFailures();
        if (result == ASE_OK) {
            // Past the last event start makes: it streams.
            ASSERT_TRUE(host.WaitForSwitches(before + 3)) << skip << " " << DriverError(driver);
            StopWithDrain();
            continue;
        }
        ASSERT_EQ(result, ASE_HWMalfunction) << skip;
        const std::string text = DriverError(driver);
        sawThreadEvents = sawThreadEvents || text == "The Larkspur driver ran out of system resources";
        EXPECT_TRUE(text == "The Larkspur driver ran out of system resources" ||
                    text == "The Larkspur did not start playing")
            << skip << ": " << text;
        ExpectNothingLeft(handles);
    }
    EXPECT_TRUE(sawThreadEvents);
}

} // namespace
