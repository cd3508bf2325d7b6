// The inspector's report: the rates each mode takes, asked through canSampleRate, and the latencies.
#include "sim/larkspur/device.h"
#include "sim/registry.h"
#include "sim/setupapi.h"
#include "tests/support/host.h"
#include "tools/lkinfo/report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace testing_support;
using sim::larkspur::Clock;
using sim::larkspur::Device;

namespace {

extern "C" size_t LkDescribeSafetyBuffersSetting(char* out, size_t size);

std::string Report(IASIO* driver, const std::string& safetySource = {}) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    lkinfo::PrintReport(driver, file, {}, {}, safetySource);
    std::rewind(file);
    std::string text;
    char chunk[512];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    std::fclose(file);
    return text;
}

// The line of the report that starts with `prefix` after the section `section`.
std::string LineAfter(const std::string& text, const std::string& section, const std::string& prefix) {
    const size_t at = text.find(prefix, text.find(section));
    if (at == std::string::npos)
        return {};
    return text.substr(at, text.find('\n', at) - at);
}

class LkinfoReport : public ::testing::Test {
protected:
    void TearDown() override { sim::ResetDeviceInterfaces(); }
};

TEST_F(LkinfoReport, ListsTheRatesTheDeviceTakesInEachMode) {
    auto device = Device::Create(Clock::Stepped);
    device->ChangeDescriptor([](sim::larkspur::FilterDescriptor& descriptor) {
        descriptor.pins[0].dataRanges = {sim::larkspur::AudioDataRange(2, 32, 32, 44100, 192000)};
    });
    sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    const std::string text = Report(driver);

    EXPECT_EQ(LineAfter(text, "PCM mode", "  sample rates"),
              "  sample rates     44100 48000 88200 96000 176400 192000 Hz");
    EXPECT_EQ(LineAfter(text, "DSD mode", "  sample rates"),
              "  sample rates     2822400 (DSD64) 3072000 (DSD64) 5644800 (DSD128) 6144000 (DSD128) 11289600 "
              "(DSD256) 12288000 (DSD256) Hz");
    // Latencies as the driver reports them, at the mode's rate.
    int32_t input = 0, output = 0;
    ASSERT_EQ(driver->getLatencies(&input, &output), ASE_OK);
    EXPECT_EQ(LineAfter(text, "PCM mode", "  latencies"),
              "  latencies        input " + std::to_string(input) + ", output " + std::to_string(output) +
                  " samples at 44100 Hz");
    EXPECT_NE(LineAfter(text, "DSD mode", "  latencies").find("at 2822400 Hz"), std::string::npos);

    // The report leaves the driver as it found it.
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    EXPECT_EQ(rate, 44100.0);
    ASIOIoFormat format{};
    driver->future(kAsioGetIoFormat, &format);
    EXPECT_EQ(format.FormatType, kASIOPCMFormat);
    EXPECT_EQ(driver->Release(), 0u);
}

TEST_F(LkinfoReport, ShowsTheSafetyBuffersInForceAndTheLatencyTheyAdd) {
    sim::ResetRegistry();
    const uint32_t two = 2;
    const auto* bytes = reinterpret_cast<const BYTE*>(&two);
    sim::RegistrySetValue(HKEY_CURRENT_USER, u"Software\\Larkspur\\ASIO", u"SafetyBuffers", REG_DWORD,
                          std::vector<BYTE>(bytes, bytes + sizeof two));
    auto device = Device::Create(Clock::Stepped);
    sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    char source[256];
    LkDescribeSafetyBuffersSetting(source, sizeof source);
    const std::string text = Report(driver, source);
    sim::ResetRegistry();

    EXPECT_EQ(LineAfter(text, "", "Safety buffers"),
              "Safety buffers   2, set by SafetyBuffers in HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO");
    // One buffer in flight and two queued before it; the stepped device holds nothing of its own.
    EXPECT_EQ(LineAfter(text, "PCM mode", "  latencies"),
              "  latencies        input 1024, output 3072 samples at 44100 Hz");
    EXPECT_EQ(LineAfter(text, "PCM mode", "  output latency"),
              "  output latency   69.66 ms: one buffer + 2048 samples held");
    EXPECT_EQ(LineAfter(text, "DSD mode", "  latencies"),
              "  latencies        input 32768, output 98304 samples at 2822400 Hz");
    EXPECT_EQ(driver->Release(), 0u);
}

TEST_F(LkinfoReport, SaysSoWhenNoDeviceIsBound) {
    sim::SetDeviceInterfaces({});
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    const std::string text = Report(driver);
    EXPECT_EQ(LineAfter(text, "PCM mode", "  sample rates"), "  sample rates     none: no device is bound");
    EXPECT_EQ(LineAfter(text, "DSD mode", "  sample rates"), "  sample rates     none: no device is bound");
    EXPECT_NE(LineAfter(text, "DSD mode", "  latencies"), "");
    EXPECT_EQ(driver->Release(), 0u);
}

} // namespace
