// A host that takes the driver's size streams bit-exact through the simulated Larkspur with the user's
// buffer size: 64 samples in PCM, 2048 in DSD.
#include "asio/packing.h"
#include "sim/larkspur/device.h"
#include "sim/registry.h"
#include "sim/setupapi.h"
#include "sim/threads.h"
#include "tests/support/host.h"
#include "tests/support/stepped_device.h"
#include "tests/support/stream_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

using namespace testing_support;
using sim::larkspur::Clock;
using sim::larkspur::Device;

namespace {

class BufferSizeStreaming : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetRegistry();
        const uint32_t frames = 64;
        const auto* bytes = reinterpret_cast<const BYTE*>(&frames);
        sim::RegistrySetValue(HKEY_CURRENT_USER, u"Software\\Larkspur\\ASIO", u"BufferSize", REG_DWORD,
                              std::vector<BYTE>(bytes, bytes + sizeof frames));
        device = Device::Create(Clock::Stepped);
        driver = CreateBoundDriver(device);
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override {
        if (driver) {
            StopWhileCompleting(driver, *device);
            EXPECT_EQ(driver->Release(), 0u);
        }
        sim::ResetDeviceInterfaces();
        sim::ResetRegistry();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (sim::RunningThreads() != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(sim::RunningThreads(), 0);
    }

    // Sets up as a host that takes the preferred size, and returns that size.
    int32_t CreateAtPreferredSize(bool dsd) {
        ASIOIoFormat format{};
        format.FormatType = dsd ? kASIODSDFormat : kASIOPCMFormat;
        EXPECT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
        EXPECT_EQ(driver->setSampleRate(dsd ? 2822400.0 : 48000.0), ASE_OK);
        int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
        EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
        EXPECT_EQ(minSize, preferred);
        EXPECT_EQ(maxSize, preferred);
        EXPECT_EQ(granularity, 0);
        std::vector<ASIOBufferInfo> infos = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
        EXPECT_EQ(driver->createBuffers(infos.data(), 2, preferred, &host.callbacks), ASE_OK);
        host.buffers = infos;
        host.frames = dsd ? preferred / 32 : preferred;
        host.FillFirstHalf();
        return preferred;
    }

    // Every packet of `frames` frames the device received before `silence` is one whole period of the
    // host's pattern on both channels, and the periods follow each other. Returns how many there were.
    size_t CheckPeriods(int32_t frames, uint32_t silence) {
        const std::vector<BYTE> audio = device->Audio();
        const size_t packetBytes = static_cast<size_t>(frames) * 8;
        EXPECT_EQ(audio.size() % packetBytes, 0u);
        size_t periods = 0;
        int lastPeriod = -1;
        for (size_t at = 0; at + packetBytes <= audio.size(); at += packetBytes) {
            std::vector<uint32_t> words(static_cast<size_t>(frames) * 2);
            std::memcpy(words.data(), audio.data() + at, packetBytes);
            if (words == std::vector<uint32_t>(words.size(), silence))
                break;
            const int period = static_cast<int>(words[0] >> 20);
            for (int32_t j = 0; j < frames; ++j) {
                EXPECT_EQ(words[2 * j], static_cast<uint32_t>(StreamHost::Word(period, 0, j)))
                    << at << " " << j;
                EXPECT_EQ(words[2 * j + 1], static_cast<uint32_t>(StreamHost::Word(period, 1, j)))
                    << at << " " << j;
            }
            EXPECT_GE(period, lastPeriod);
            lastPeriod = period;
            ++periods;
        }
        return periods;
    }

    std::shared_ptr<Device> device;
    IASIO* driver = nullptr;
    StreamHost host;
};

TEST_F(BufferSizeStreaming, PcmAtTheUsersSize) {
    ASSERT_EQ(CreateAtPreferredSize(false), 64);
    ASSERT_EQ(driver->start(), ASE_OK);
    PumpSwitches(*device, host, 12);
    StopWhileCompleting(driver, *device);
    EXPECT_GE(CheckPeriods(64, 0), 8u);
    WAVEFORMATEXTENSIBLE format{};
    ULONG interfaceId = 0;
    ASSERT_TRUE(device->LatestConnect(&format, &interfaceId));
    EXPECT_EQ(format.Format.nSamplesPerSec, 48000u);
}

TEST_F(BufferSizeStreaming, DsdAtThirtyTwoTimesTheUsersSize) {
    ASSERT_EQ(CreateAtPreferredSize(true), 2048);
    ASSERT_EQ(host.frames, 64);
    ASSERT_EQ(driver->start(), ASE_OK);
    PumpSwitches(*device, host, 10);
    StopWhileCompleting(driver, *device);
    EXPECT_GE(CheckPeriods(64, kDsdSilenceWord), 6u);
}

} // namespace
