// The ASIO double buffer as a host meets it, at every safety setting, in PCM and in DSD: one switch
// before the first completion, indices alternating from 0, every half once and in order behind the
// safety writes, nothing stale after a restart, the output latency reported against the one the
// device shows, and one drop-out report for each time the device ran dry.
#include "asio/packing.h"
#include "sim/larkspur/device.h"
#include "sim/registry.h"
#include "tests/support/host.h"
#include "tests/support/stepped_device.h"
#include "tests/support/stream_host.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>

using namespace testing_support;
using sim::larkspur::Device;

namespace {

constexpr int32_t kFrames = 64;

struct Setup {
    bool dsd;
    uint32_t safety;
};

std::string SetupName(const ::testing::TestParamInfo<Setup>& info) {
    return std::string(info.param.dsd ? "Dsd" : "Pcm") + "Safety" + std::to_string(info.param.safety);
}

// The played frames at the start of each switch, read on the render thread.
std::shared_ptr<Device> g_device;
std::vector<long> g_playedAtSwitch;
void RecordPlayed(int) {
    g_playedAtSwitch.push_back(static_cast<long>(g_device->Audio().size() / 8));
}

class DoubleBuffer : public SteppedDriverTest<>, public ::testing::WithParamInterface<Setup> {
protected:
    void SetUp() override {
        sim::ResetRegistry();
        const uint32_t safety = GetParam().safety;
        const auto* bytes = reinterpret_cast<const BYTE*>(&safety);
        sim::RegistrySetValue(HKEY_CURRENT_USER, u"Software\\Larkspur\\ASIO", u"SafetyBuffers", REG_DWORD,
                              std::vector<BYTE>(bytes, bytes + sizeof safety));
        SteppedDriverTest::SetUp();
        if (GetParam().dsd) {
            ASIOIoFormat format{kASIODSDFormat, {}};
            ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
            ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
        }
        host.timeInfo = true; // asked at createBuffers
        ASSERT_EQ(host.CreateStereo(driver, Size(), kFrames), ASE_OK);
        device->ClearRecord();
    }
    void TearDown() override {
        host.duringSwitch = nullptr;
        SteppedDriverTest::TearDown();
        g_device.reset();
        sim::ResetRegistry();
    }

    int32_t Size() const { return GetParam().dsd ? 32 * kFrames : kFrames; }
    int Safety() const { return static_cast<int>(GetParam().safety); }
    uint32_t Silence() const { return GetParam().dsd ? kDsdSilenceWord : 0u; }
    void Pump(int switches) { PumpSwitches(*device, host, switches); }

    // The device's record as frames of two words.
    std::vector<std::array<uint32_t, 2>> Frames() const {
        const std::vector<BYTE> audio = device->Audio();
        std::vector<std::array<uint32_t, 2>> frames(audio.size() / 8);
        std::memcpy(frames.data(), audio.data(), frames.size() * 8);
        return frames;
    }
    // `periods` periods in order from `first`, behind the safety writes' silence, from frame `at` on.
    void ExpectPeriods(const std::vector<std::array<uint32_t, 2>>& frames, int first, int periods) {
        const size_t lead = static_cast<size_t>(Safety()) * kFrames;
        ASSERT_GE(frames.size(), lead + static_cast<size_t>(periods) * kFrames);
        for (size_t i = 0; i < lead; ++i)
            ASSERT_EQ(frames[i], (std::array<uint32_t, 2>{Silence(), Silence()})) << i;
        for (int p = 0; p < periods; ++p)
            for (int32_t j = 0; j < kFrames; ++j) {
                const auto& frame = frames[lead + static_cast<size_t>(p) * kFrames + j];
                ASSERT_EQ(frame[0], static_cast<uint32_t>(StreamHost::Word(first + p, 0, j)))
                    << p << ":" << j;
                ASSERT_EQ(frame[1], static_cast<uint32_t>(StreamHost::Word(first + p, 1, j)))
                    << p << ":" << j;
            }
    }
};

TEST_P(DoubleBuffer, OneSwitchBeforeTheFirstCompletionThenOnePerCompletion) {
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForSwitches(1));
    ASSERT_TRUE(device->WaitForPendingWrites(static_cast<size_t>(1 + Safety()), 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(host.switches.load(), 1);
    EXPECT_EQ(device->PendingWrites(), static_cast<size_t>(1 + Safety()));
    Pump(30);
    // Each completion brings one write: the queue stays 1 + S deep.
    EXPECT_EQ(device->PendingWrites(), static_cast<size_t>(1 + Safety()));
    EXPECT_EQ(device->MostPendingWrites(), static_cast<size_t>(1 + Safety()));
    const auto indices = host.Indices();
    for (size_t k = 0; k < indices.size(); ++k)
        ASSERT_EQ(indices[k], static_cast<int32_t>(k % 2)) << k;
}

TEST_P(DoubleBuffer, EveryHalfArrivesOnceInOrderWithExactPositions) {
    host.askPosition = driver;
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(80);
    StopWithDrain();
    // Half 1 as the host filled it before start comes first (period 0), then every switch's half.
    ExpectPeriods(Frames(), 0, 78);
    std::lock_guard lock(host.mutex);
    ASSERT_GE(host.positions.size(), 80u);
    ASSERT_EQ(host.times.size(), host.positions.size());
    for (size_t k = 0; k < host.positions.size(); ++k) {
        const uint64_t expected = k * static_cast<uint64_t>(Size());
        ASSERT_EQ(host.positions[k].lo, static_cast<uint32_t>(expected)) << k;
        ASSERT_EQ(host.times[k].timeInfo.samplePosition.lo, static_cast<uint32_t>(expected)) << k;
    }
}

TEST_P(DoubleBuffer, ARestartOnTheSameBuffersSendsNothingStale) {
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(7);
    StopWithDrain();
    // Both halves hold the mode's silence again.
    for (const ASIOBufferInfo& info : host.buffers)
        for (int half = 0; half < 2; ++half)
            for (int32_t j = 0; j < kFrames; ++j)
                ASSERT_EQ(static_cast<uint32_t>(static_cast<const int32_t*>(info.buffers[half])[j]),
                          Silence());

    // A player seeking: it fills half 1 between stop and start, and that goes first.
    device->ClearRecord();
    host.switches = 0;
    host.FillHalf(1, 100);
    host.firstSwitchPeriod = 101;
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(8);
    StopWithDrain();
    ExpectPeriods(Frames(), 100, 6);

    // A host that fills nothing before its start sends silence first, never the old stream's audio.
    device->ClearRecord();
    host.switches = 0;
    host.firstSwitchPeriod = 200;
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(4);
    StopWithDrain();
    const auto frames = Frames();
    const size_t lead = static_cast<size_t>(Safety() + 1) * kFrames;
    ASSERT_GE(frames.size(), lead + kFrames);
    for (size_t i = 0; i < lead; ++i)
        ASSERT_EQ(frames[i], (std::array<uint32_t, 2>{Silence(), Silence()})) << i;
    EXPECT_EQ(frames[lead][0], static_cast<uint32_t>(StreamHost::Word(200, 0, 0)));
}

TEST_P(DoubleBuffer, TheReportedOutputLatencyIsTheOneTheDeviceShows) {
    g_device = device;
    g_playedAtSwitch.clear();
    g_playedAtSwitch.reserve(64);
    host.duringSwitch = &RecordPlayed;
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(16);
    StopWithDrain();
    host.duringSwitch = nullptr;
    int32_t in = 0, out = 0;
    ASSERT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, Size());
    EXPECT_EQ(out, Size() * (1 + Safety())); // the stepped device holds nothing of its own
    int32_t held[2] = {-1, -1};
    ASSERT_EQ(driver->future(kAsioGetInternalBufferSamples, held), ASE_SUCCESS);
    EXPECT_EQ(held[0], 0);
    EXPECT_EQ(held[1], out - Size());

    // From a switch's return to the first sample of its half leaving the device: the samples the
    // device played in between. Switch k fills period k + 1.
    const auto frames = Frames();
    const int samplesPerFrame = GetParam().dsd ? 32 : 1;
    for (int k = 0; k < 12; ++k) {
        const uint32_t marker = static_cast<uint32_t>(StreamHost::Word(k + 1, 0, 0));
        long first = -1;
        for (size_t i = 0; i < frames.size() && first < 0; ++i)
            if (frames[i][0] == marker)
                first = static_cast<long>(i);
        ASSERT_GE(first, 0) << k;
        EXPECT_EQ((first - g_playedAtSwitch[k]) * samplesPerFrame, out) << k;
    }
}

TEST_P(DoubleBuffer, EachTimeTheDeviceRanDryTheHostHearsOfItOnce) {
    int32_t inputs = 0;
    ASSERT_EQ(driver->future(kAsioCanReportOverload, &inputs), ASE_SUCCESS);
    ASSERT_EQ(driver->start(), ASE_OK);
    Pump(5);
    const size_t queued = static_cast<size_t>(1 + Safety());
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(device->WaitForPendingWrites(queued, 5000));
        const int before = host.switches.load();
        ASSERT_EQ(device->RunDry(), queued);
        // Every write the device held came back at once: one write and one switch for each.
        ASSERT_TRUE(host.WaitForSwitches(before + static_cast<int>(queued)));
        Pump(host.switches.load() + 3);
    }
    ASSERT_TRUE(device->WaitForPendingWrites(queued, 5000));
    EXPECT_EQ(host.overloads.load(), 3);
    const auto stats = device->LatestStreamStats();
    EXPECT_EQ(stats.underrunsStreaming, 3u);
    StopWithDrain();
    EXPECT_EQ(host.overloads.load(), 3); // none for the drain
}

INSTANTIATE_TEST_SUITE_P(Modes, DoubleBuffer,
                         ::testing::Values(Setup{false, 0}, Setup{false, 1}, Setup{false, 2}, Setup{true, 0},
                                           Setup{true, 1}, Setup{true, 2}),
                         SetupName);

} // namespace
