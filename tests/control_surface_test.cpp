// The driver's queries and settings, driven through IASIO as a host does.
#include "tests/support/host.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using namespace testing_support;

namespace {

class ControlSurface : public ::testing::Test {
protected:
    void SetUp() override {
        driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override {
        if (driver) {
            EXPECT_EQ(driver->Release(), 0u);
        }
    }
    void SetFormat(ASIOIoFormatType type) {
        ASIOIoFormat format{};
        format.FormatType = type;
        ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
    }
    IASIO* driver = nullptr;
};

TEST_F(ControlSurface, AFreshDriverReportsItsDefaults) {
    char name[32];
    std::memset(name, 'x', sizeof name);
    driver->getDriverName(name);
    EXPECT_STREQ(name, "Larkspur ASIO 1.03");
    EXPECT_EQ(name[19], 'x'); // 19 bytes written, no more
    EXPECT_EQ(driver->getDriverVersion(), 2);
    EXPECT_EQ(DriverError(driver), "");
    char error[128];
    std::memset(error, 'x', sizeof error);
    driver->getErrorMessage(error);
    EXPECT_EQ(error[0], '\0');
    EXPECT_EQ(error[1], 'x'); // the terminator only

    int32_t in = 0, out = 0;
    EXPECT_EQ(driver->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 2);
    EXPECT_EQ(out, 2);
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 1024);  // one buffer
    EXPECT_EQ(out, 1024); // the half in flight; no safety buffers, no device measured yet

    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
    EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(minSize, 1024);
    EXPECT_EQ(maxSize, 1024);
    EXPECT_EQ(preferred, 1024);
    EXPECT_EQ(granularity, 0);

    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 44100.0);
    // No device is bound before init.
    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_NotPresent);
    EXPECT_EQ(driver->canSampleRate(-5.0), ASE_NotPresent);
    EXPECT_EQ(driver->controlPanel(), ASE_NotPresent);
    EXPECT_EQ(driver->outputReady(), ASE_OK);
}

TEST_F(ControlSurface, ClockSourceIsInternalOnly) {
    ASIOClockSource clocks[2];
    std::memset(clocks, 0x55, sizeof clocks);
    int32_t count = 7;
    EXPECT_EQ(driver->getClockSources(clocks, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(clocks[0].index, 0);
    EXPECT_EQ(clocks[0].associatedChannel, -1);
    EXPECT_EQ(clocks[0].associatedGroup, -1);
    EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
    EXPECT_STREQ(clocks[0].name, "Internal");
    EXPECT_EQ(clocks[1].index, 0x55555555); // only the first record is written
    EXPECT_EQ(driver->setClockSource(1), ASE_NotPresent);
    EXPECT_EQ(driver->setClockSource(-1), ASE_NotPresent);
    EXPECT_EQ(driver->setClockSource(0), ASE_OK);
}

TEST_F(ControlSurface, DsdFormatChangesSizesAndSampleType) {
    SetFormat(kASIODSDFormat);
    ASIOIoFormat format{};
    format.FormatType = kASIOFormatInvalid;
    EXPECT_EQ(driver->future(kAsioGetIoFormat, &format), ASE_SUCCESS);
    EXPECT_EQ(format.FormatType, kASIODSDFormat);

    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
    EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(minSize, 32768);
    EXPECT_EQ(maxSize, 32768);
    EXPECT_EQ(preferred, 32768);

    ASIOChannelInfo info{};
    info.channel = 1;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTDSDInt8MSB1);

    // Values that name no format change nothing; PCM brings the PCM figures back.
    format.FormatType = 7;
    EXPECT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_NotPresent);
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTDSDInt8MSB1);
    SetFormat(kASIOPCMFormat);
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
    EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, 1024);
}

TEST_F(ControlSurface, OnlyTheFormatsTheDriverPlaysAreClaimedOrTaken) {
    for (ASIOIoFormatType type : {kASIOPCMFormat, kASIODSDFormat}) {
        ASIOIoFormat format{};
        format.FormatType = type;
        EXPECT_EQ(driver->future(kAsioCanDoIoFormat, &format), ASE_SUCCESS) << type;
    }
    SetFormat(kASIODSDFormat);
    for (ASIOIoFormatType type : {-1, 2, 7, 42}) {
        ASIOIoFormat format{};
        format.FormatType = type;
        EXPECT_EQ(driver->future(kAsioCanDoIoFormat, &format), ASE_NotPresent) << type;
        EXPECT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_NotPresent) << type;
        EXPECT_EQ(format.FormatType, type); // the host's record is left alone
        ASIOIoFormat now{};
        ASSERT_EQ(driver->future(kAsioGetIoFormat, &now), ASE_SUCCESS);
        EXPECT_EQ(now.FormatType, kASIODSDFormat) << type;
    }
    EXPECT_EQ(driver->future(kAsioCanDoIoFormat, nullptr), ASE_InvalidParameter);
}

TEST_F(ControlSurface, InternalBufferSamplesAreWhatLatencyAddsToOneBuffer) {
    EXPECT_EQ(driver->future(kAsioGetInternalBufferSamples, nullptr), ASE_InvalidParameter);
    for (ASIOIoFormatType type : {kASIOPCMFormat, kASIODSDFormat}) {
        SetFormat(type);
        ASIOInternalBufferInfo held{-1, -1};
        ASSERT_EQ(driver->future(kAsioGetInternalBufferSamples, &held), ASE_SUCCESS);
        int32_t in = 0, out = 0, minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
        ASSERT_EQ(driver->getLatencies(&in, &out), ASE_OK);
        ASSERT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
        EXPECT_EQ(held.inputSamples, 0);
        EXPECT_EQ(held.outputSamples, out - preferred) << type;
    }
}

// DSD players scan DSD rates before they switch the format.
TEST_F(ControlSurface, InPcmModeDsdRatesGetDsdModesAnswer) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    const double dsdRates[] = {2822400, 5644800, 11289600, 22579200, 3072000, 6144000, 12288000, 24576000};
    for (double rate : dsdRates)
        EXPECT_EQ(driver->canSampleRate(rate), ASE_OK) << rate;
    for (double rate : {2822401.0, 2822400.5, 64.0 * 800000, -2822400.0, 0.0})
        EXPECT_EQ(driver->canSampleRate(rate), ASE_NoClock) << rate;
    // Only the current format's rates are taken: the format has not changed.
    EXPECT_EQ(driver->setSampleRate(2822400.0), ASE_NoClock);
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    EXPECT_EQ(rate, 44100.0);

    // DSD mode answers for DSD only, as before.
    SetFormat(kASIODSDFormat);
    for (double dsdRate : dsdRates)
        EXPECT_EQ(driver->canSampleRate(dsdRate), ASE_OK) << dsdRate;
    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_NoClock);
    EXPECT_EQ(driver->canSampleRate(96000.0), ASE_NoClock);
}

TEST_F(ControlSurface, ChannelInfoNamesChannelsAndRefusesOthers) {
    ASIOChannelInfo info{};
    info.channel = 0;
    info.isInput = ASIOTrue;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse);
    EXPECT_EQ(info.channelGroup, 0);
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
    EXPECT_STREQ(info.name, " channel 0");

    for (int32_t bad : {2, -1, 1000}) {
        ASIOChannelInfo untouched{};
        untouched.channel = bad;
        untouched.channelGroup = 99;
        EXPECT_EQ(driver->getChannelInfo(&untouched), ASE_InvalidParameter);
        EXPECT_EQ(untouched.channelGroup, 99);
    }
}

TEST_F(ControlSurface, FutureSelectors) {
    EXPECT_EQ(driver->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
    EXPECT_EQ(driver->future(kAsioDisableTimeCodeRead, nullptr), ASE_SUCCESS);
    EXPECT_EQ(driver->future(kAsioSetInputMonitor, nullptr), ASE_SUCCESS);
    for (int32_t selector = kAsioTransport; selector <= kAsioGetOutputMeter; ++selector)
        EXPECT_EQ(driver->future(selector, nullptr), ASE_NotPresent) << selector;
    for (int32_t selector :
         {kAsioCanInputMonitor, kAsioCanTimeInfo, kAsioCanTimeCode, kAsioCanReportOverload})
        EXPECT_EQ(driver->future(selector, nullptr), ASE_SUCCESS) << selector;
    for (int32_t selector : {0, -1, 12, 13, 16, 17, 0x23111960, 0x24042011, 0x25042013})
        EXPECT_EQ(driver->future(selector, nullptr), ASE_NotPresent) << selector;
}

TEST_F(ControlSurface, NullHostPointersAreRefusedAndChangeNothing) {
    int32_t value = 77;
    EXPECT_EQ(driver->getChannels(nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getChannels(&value, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getLatencies(nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getLatencies(&value, nullptr), ASE_InvalidParameter);
    int32_t a = 77, b = 77, c = 77;
    EXPECT_EQ(driver->getBufferSize(nullptr, &a, &b, &c), ASE_InvalidParameter);
    EXPECT_EQ(driver->getBufferSize(&a, nullptr, &b, &c), ASE_InvalidParameter);
    EXPECT_EQ(driver->getBufferSize(&a, &b, nullptr, &c), ASE_InvalidParameter);
    EXPECT_EQ(driver->getBufferSize(&a, &b, &c, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSampleRate(nullptr), ASE_InvalidParameter);
    ASIOClockSource clock{};
    EXPECT_EQ(driver->getClockSources(nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getClockSources(&clock, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getChannelInfo(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(a, 77);
    EXPECT_EQ(clock.index, 0);
    EXPECT_EQ(clock.name[0], '\0');

    EXPECT_EQ(driver->future(kAsioSetIoFormat, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->future(kAsioGetIoFormat, nullptr), ASE_InvalidParameter);
    int32_t preferred = 0, d = 0;
    driver->getBufferSize(&a, &b, &preferred, &d);
    EXPECT_EQ(preferred, 1024); // still PCM

    driver->getDriverName(nullptr);
    driver->getErrorMessage(nullptr);
}

TEST_F(ControlSurface, SampleRateChangesAreAnnouncedOnlyWhenTheRateChanges) {
    HostRecorder host;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    ASSERT_EQ(driver->createBuffers(&info, 1, 256, &host.callbacks), ASE_OK);

    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(host.rateChanges, 0);
    // The host asked for the change: it is not called back about it from inside its own call.
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    EXPECT_EQ(host.rateChanges, 0);
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    EXPECT_EQ(rate, 96000.0);

    // Rates the device cannot run are refused and announce nothing.
    EXPECT_EQ(driver->setSampleRate(std::numeric_limits<double>::quiet_NaN()), ASE_NoClock);
    EXPECT_EQ(driver->setSampleRate(-1.0), ASE_NoClock);
    EXPECT_EQ(host.rateChanges, 0);
    driver->getSampleRate(&rate);
    EXPECT_EQ(rate, 96000.0);

    // Without callbacks nothing is called.
    driver->disposeBuffers();
    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(host.rateChanges, 0);
}

TEST_F(ControlSurface, StopAndPositionBeforeAnyStream) {
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->stop(), ASE_OK);
    ASIOSamples position{9, 9};
    ASIOTimeStamp stamp{9, 9};
    EXPECT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.hi, 0u);
    EXPECT_EQ(position.lo, 0u);
    EXPECT_EQ(stamp.hi, 0u);
    EXPECT_EQ(stamp.lo, 0u);
}

} // namespace
