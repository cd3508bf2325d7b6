// The user's safety buffers and the output latency they add: parsing the registry value, the latencies a
// host reads with the device's own share, and the panel's OK step for both settings.
#include "asio/asio_larkspur.h"
#include "asio/buffer_size_setting.h"
#include "asio/safety_setting.h"
#include "ks/audio_pin.h"
#include "ks/trace.h"
#include "sim/debug_output.h"
#include "sim/larkspur/device.h"
#include "sim/registry.h"
#include "sim/setupapi.h"
#include "tests/support/host.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

using namespace testing_support;
using sim::larkspur::Clock;
using sim::larkspur::Device;

namespace {

const std::u16string kKey = u"Software\\Larkspur\\ASIO";

void StoreSafety(uint32_t value) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&value);
    sim::RegistrySetValue(HKEY_CURRENT_USER, kKey, u"SafetyBuffers", REG_DWORD,
                          std::vector<BYTE>(bytes, bytes + sizeof value));
}

SafetyBuffersSetting Parse(uint32_t value) {
    return ParseSafetyBuffersValue(ERROR_SUCCESS, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                   sizeof value);
}

std::string Describe(const SafetyBuffersSetting& setting) {
    char text[256];
    DescribeSafetyBuffersSetting(setting, text, sizeof text);
    return text;
}

class SafetySetting : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetRegistry();
        sim::ClearDebugOutput();
    }
    void TearDown() override {
        SetTraceLevel(0);
        sim::ResetRegistry();
    }
};

TEST_F(SafetySetting, ZeroToTwoAreTakenAndAnythingElseIsZeroWithATrace) {
    for (uint32_t value : {0u, 1u, 2u}) {
        EXPECT_EQ(Parse(value).buffers, static_cast<int32_t>(value));
        EXPECT_EQ(Parse(value).source, SafetyBuffersSource::Setting);
    }
    SetTraceLevel(TRACE_ERROR);
    for (uint32_t value : {3u, 7u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Parse(value).buffers, 0) << value;
        EXPECT_EQ(Parse(value).source, SafetyBuffersSource::Invalid) << value;
    }
    const DWORD one = 1;
    const auto* data = reinterpret_cast<const BYTE*>(&one);
    EXPECT_EQ(ParseSafetyBuffersValue(ERROR_SUCCESS, REG_SZ, data, 4).buffers, 0);
    EXPECT_EQ(ParseSafetyBuffersValue(ERROR_SUCCESS, REG_DWORD, data, 2).source,
              SafetyBuffersSource::Invalid);
    EXPECT_EQ(ParseSafetyBuffersValue(ERROR_MORE_DATA, 11 /* REG_QWORD */, data, 8).buffers, 0);
    EXPECT_EQ(ParseSafetyBuffersValue(ERROR_FILE_NOT_FOUND, 0, nullptr, 0).source,
              SafetyBuffersSource::Missing);
    // Two parses of each of the four numbers, then one line for each of the other four.
    const std::vector<std::string> trace = sim::DebugOutput();
    ASSERT_EQ(trace.size(), 12u);
    EXPECT_EQ(trace[0],
              "SafetyBuffers 3 in HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO is not 0, 1 or 2; using 0");
    EXPECT_EQ(trace[11], "No SafetyBuffers in HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO; using 0");
}

TEST_F(SafetySetting, ReadsWritesAndDescribesTheUsersValue) {
    EXPECT_EQ(ReadSafetyBuffersSetting().source, SafetyBuffersSource::Missing);
    EXPECT_EQ(Describe(ReadSafetyBuffersSetting()),
              "the default, as HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO has no SafetyBuffers");

    EXPECT_EQ(WriteSafetyBuffersSetting(2), ERROR_SUCCESS);
    const auto stored = sim::RegistryGetValue(HKEY_CURRENT_USER, kKey, u"SafetyBuffers");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(stored->data, (std::vector<BYTE>{2, 0, 0, 0}));
    EXPECT_EQ(ReadSafetyBuffersSetting().buffers, 2);
    EXPECT_EQ(Describe(ReadSafetyBuffersSetting()),
              "set by SafetyBuffers in HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO");
    // The buffer size beside it is its own value.
    EXPECT_EQ(ReadBufferSizeSetting().source, BufferSizeSource::Missing);

    EXPECT_EQ(WriteSafetyBuffersSetting(3), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WriteSafetyBuffersSetting(-1), ERROR_INVALID_PARAMETER);
    sim::DenyRegistryWrites(HKEY_CURRENT_USER, true);
    EXPECT_EQ(WriteSafetyBuffersSetting(1), ERROR_ACCESS_DENIED);
    sim::DenyRegistryWrites(HKEY_CURRENT_USER, false);
    EXPECT_EQ(ReadSafetyBuffersSetting().buffers, 2);

    StoreSafety(5);
    EXPECT_EQ(
        Describe(ReadSafetyBuffersSetting()),
        "the default, as SafetyBuffers 5 in HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO is not 0, 1 or 2");
    sim::RegistrySetString(HKEY_CURRENT_USER, kKey, u"SafetyBuffers", u"1");
    const SafetyBuffersSetting text = ReadSafetyBuffersSetting();
    EXPECT_EQ(text.buffers, 0);
    EXPECT_EQ(
        Describe(text),
        "the default, as SafetyBuffers in HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO is not a REG_DWORD");
    char small[8];
    EXPECT_EQ(DescribeSafetyBuffersSetting(text, small, sizeof small), Describe(text).size());
    EXPECT_STREQ(small, "the def");
    EXPECT_EQ(sim::OpenRegistryKeyCount(), 0u);
}

TEST(DeviceLatency, KsTimeIsTakenIn100nsUnitsWhenItIsUsable) {
    LONGLONG value = -1;
    EXPECT_TRUE(KsTimeTo100ns(KSTIME{20000, 1, 1}, &value));
    EXPECT_EQ(value, 20000);
    // Nanoseconds given as a fraction: 2 ms.
    EXPECT_TRUE(KsTimeTo100ns(KSTIME{2000000, 1, 100}, &value));
    EXPECT_EQ(value, 20000);
    // A product beyond 64 bits whose quotient fits.
    EXPECT_TRUE(KsTimeTo100ns(KSTIME{LLONG_MAX, 3, 4}, &value));
    EXPECT_EQ(value, LLONG_MAX / 4 * 3 + (LLONG_MAX % 4) * 3 / 4);
    EXPECT_TRUE(KsTimeTo100ns(KSTIME{12345, 0, 7}, &value));
    EXPECT_EQ(value, 0);

    value = 99;
    EXPECT_FALSE(KsTimeTo100ns(KSTIME{20000, 1, 0}, &value));
    EXPECT_FALSE(KsTimeTo100ns(KSTIME{-1, 1, 1}, &value));
    EXPECT_FALSE(KsTimeTo100ns(KSTIME{LLONG_MAX, 2, 1}, &value));
    EXPECT_FALSE(KsTimeTo100ns(KSTIME{LLONG_MAX / 2 + 1, 0xFFFFFFFFu, 0x7FFFFFFFu}, &value));
    EXPECT_EQ(value, 99);
}

// Through IASIO, against a Larkspur whose clock is stepped (no buffer of its own) or real-time (2 ms).
class SafetyHost : public SafetySetting {
protected:
    void Bind(Clock clock) {
        device = Device::Create(clock);
        sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});
        driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    }
    void TearDown() override {
        if (driver) {
            EXPECT_EQ(driver->Release(), 0u);
        }
        sim::ResetDeviceInterfaces();
        SafetySetting::TearDown();
    }
    void SetFormat(ASIOIoFormatType type) {
        ASIOIoFormat format{};
        format.FormatType = type;
        ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
    }
    ASIOError Create(int32_t size) {
        ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
        return driver->createBuffers(infos, 2, size, &recorder.callbacks);
    }
    // Output latency, checked against the input latency and the internal buffer samples.
    int32_t OutputLatency(int32_t bufferSamples) {
        int32_t in = -1, out = -1;
        EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
        EXPECT_EQ(in, bufferSamples);
        ASIOInternalBufferInfo held{-1, -1};
        EXPECT_EQ(driver->future(kAsioGetInternalBufferSamples, &held), ASE_SUCCESS);
        EXPECT_EQ(held.inputSamples, 0);
        EXPECT_EQ(held.outputSamples, out - bufferSamples);
        return out;
    }
    ASIOLarkspur* Larkspur() { return static_cast<ASIOLarkspur*>(driver); }

    std::shared_ptr<Device> device;
    IASIO* driver = nullptr;
    HostRecorder recorder;
};

TEST_F(SafetyHost, LatencyAddsABufferPerSafetyBufferAndTheRealTimeDevicesShare) {
    Bind(Clock::RealTime);
    for (int32_t safety : {0, 1, 2}) {
        StoreSafety(safety);
        SetFormat(kASIOPCMFormat);
        ASSERT_EQ(driver->setSampleRate(44100.0), ASE_OK);
        ASSERT_EQ(Create(1024), ASE_OK);
        // 2 ms at 44100 Hz: 88.2 samples, rounded up.
        EXPECT_EQ(OutputLatency(1024), 1024 * (1 + safety) + 89) << safety;
        // The share follows the rate: 96 samples at 48000 Hz.
        ASSERT_EQ(driver->setSampleRate(48000.0), ASE_OK);
        EXPECT_EQ(OutputLatency(1024), 1024 * (1 + safety) + 96) << safety;
        ASSERT_EQ(driver->disposeBuffers(), ASE_OK);

        // DSD counts one-bit samples at the bit rate: 2 ms of DSD64 is 5644.8 of them.
        SetFormat(kASIODSDFormat);
        ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
        ASSERT_EQ(Create(32768), ASE_OK);
        EXPECT_EQ(OutputLatency(32768), 32768 * (1 + safety) + 5645) << safety;
        ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    }
    // Reading the latency opened and closed a pin at each createBuffers, and sent the device no mode.
    EXPECT_EQ(device->OpenPins(), 0u);
    EXPECT_TRUE(device->ModeCodes().empty());
}

TEST_F(SafetyHost, TheSteppedDeviceHoldsNothingOfItsOwn) {
    Bind(Clock::Stepped);
    for (int32_t safety : {0, 1, 2}) {
        StoreSafety(safety);
        SetFormat(kASIOPCMFormat);
        ASSERT_EQ(Create(256), ASE_OK);
        EXPECT_EQ(OutputLatency(256), 256 * (1 + safety)) << safety;
        SetFormat(kASIODSDFormat);
        ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
        ASSERT_EQ(Create(8192), ASE_OK);
        EXPECT_EQ(OutputLatency(8192), 8192 * (1 + safety)) << safety;
        ASSERT_EQ(driver->setSampleRate(44100.0), ASE_NoClock); // still DSD
        SetFormat(kASIOPCMFormat);
        ASSERT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    }
}

TEST_F(SafetyHost, BuffersKeepTheirSafetyAndWithoutThemTheSettingCounts) {
    Bind(Clock::RealTime);
    StoreSafety(2);
    // No buffers and no measurement yet: the settings in force, no device share.
    EXPECT_EQ(OutputLatency(1024), 3 * 1024);
    ASSERT_EQ(Create(512), ASE_OK);
    StoreSafety(0); // a change meanwhile does not move the stream set up
    EXPECT_EQ(OutputLatency(512), 3 * 512 + 89);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    // The setting again, with the share measured last.
    EXPECT_EQ(OutputLatency(1024), 1024 + 89);
    StoreSafety(9);
    EXPECT_EQ(OutputLatency(1024), 1024 + 89);
}

TEST_F(SafetyHost, OkSendsOneResetAndOneLatencyChangePerOk) {
    Bind(Clock::RealTime);
    ASSERT_EQ(Create(1024), ASE_OK);
    recorder.messages.clear();
    const std::basic_string<int32_t> once{kAsioResetRequest, kAsioLatenciesChanged};

    // Nothing changed: nothing sent.
    EXPECT_EQ(Larkspur()->ApplyPanelSettings(1024, 0), ERROR_SUCCESS);
    EXPECT_TRUE(recorder.messages.empty());
    // The safety alone, then both at once: one pair each time.
    EXPECT_EQ(Larkspur()->ApplyPanelSettings(1024, 1), ERROR_SUCCESS);
    EXPECT_EQ(recorder.messages, once);
    EXPECT_EQ(ReadSafetyBuffersSetting().buffers, 1);
    recorder.messages.clear();
    EXPECT_EQ(Larkspur()->ApplyPanelSettings(256, 2), ERROR_SUCCESS);
    EXPECT_EQ(recorder.messages, once);
    recorder.messages.clear();

    // Values not offered store neither setting and tell nothing.
    EXPECT_EQ(Larkspur()->ApplyPanelSettings(256, 3), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Larkspur()->ApplyPanelSettings(100, 0), ERROR_INVALID_PARAMETER);
    sim::DenyRegistryWrites(HKEY_CURRENT_USER, true);
    EXPECT_EQ(Larkspur()->ApplyPanelSettings(512, 0), ERROR_ACCESS_DENIED);
    sim::DenyRegistryWrites(HKEY_CURRENT_USER, false);
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(ReadBufferSizeSetting().frames, 256);
    EXPECT_EQ(ReadSafetyBuffersSetting().buffers, 2);

    // The host sets up again and reads the new latencies.
    EXPECT_EQ(OutputLatency(1024), 1024 + 89);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    ASSERT_EQ(Create(256), ASE_OK);
    EXPECT_EQ(OutputLatency(256), 3 * 256 + 89);

    // Without buffers the settings are stored and no one is told.
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    recorder.messages.clear();
    EXPECT_EQ(Larkspur()->ApplyPanelSettings(256, 0), ERROR_SUCCESS);
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(ReadSafetyBuffersSetting().buffers, 0);
}

TEST_F(SafetyHost, PanelFactsGiveTheOutputLatencyOfEachChoice) {
    Bind(Clock::RealTime);
    StoreSafety(1);
    ASSERT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    ASSERT_EQ(Create(1024), ASE_OK);
    ControlPanelFacts facts;
    Larkspur()->GetPanelFacts(&facts);
    EXPECT_EQ(facts.settingSafety, 1);
    EXPECT_DOUBLE_EQ(facts.deviceMilliseconds, 2.0);
    EXPECT_EQ(facts.overloads, 0u);
    // 256 samples at 48000 Hz with two safety buffers: three buffers of 5.33 ms and the device's 2 ms.
    ASSERT_EQ(facts.choices[3], 256);
    EXPECT_DOUBLE_EQ(PanelOutputMilliseconds(facts, 3, 2), 3 * 256000.0 / 48000.0 + 2.0);
    EXPECT_DOUBLE_EQ(PanelOutputMilliseconds(facts, 5, 0), 1024000.0 / 48000.0 + 2.0);
    EXPECT_EQ(PanelOutputMilliseconds(facts, 7, 0), 0.0); // no such choice
    EXPECT_EQ(PanelOutputMilliseconds(facts, -1, 0), 0.0);
    // What the panel shows for the settings in force is what a host is told.
    int32_t in = 0, out = 0;
    ASSERT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_NEAR(PanelOutputMilliseconds(facts, 5, 1), 1000.0 * out / 48000.0, 1000.0 / 48000.0);
}

} // namespace
