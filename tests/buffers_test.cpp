// The host's double buffers: createBuffers and disposeBuffers through IASIO.
#include "tests/support/alloc_control.h"
#include "tests/support/host.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace testing_support;

namespace {

class Buffers : public ::testing::Test {
protected:
    void SetUp() override {
        driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override {
        ResetAllocationFailures();
        EXPECT_EQ(driver->Release(), 0u);
    }
    void UseDsd() {
        ASIOIoFormat format{};
        format.FormatType = kASIODSDFormat;
        ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
    }
    bool IsActive(int32_t channel, bool input) { return ChannelActive(driver, channel, input); }
    int32_t PreferredSize() {
        int32_t a, b, preferred, d;
        driver->getBufferSize(&a, &b, &preferred, &d);
        return preferred;
    }
    IASIO* driver = nullptr;
    HostRecorder host;
};

TEST_F(Buffers, TwoOutputsAndTwoInputsInPcm) {
    ASIOBufferInfo infos[4] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, {ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 4, 1024, &host.callbacks), ASE_OK);
    for (ASIOBufferInfo& info : infos) {
        ASSERT_NE(info.buffers[0], nullptr);
        EXPECT_EQ(static_cast<char*>(info.buffers[1]) - static_cast<char*>(info.buffers[0]), 4096);
        // Both halves are writable to their last word.
        std::memset(info.buffers[0], 0x11, 8192);
    }
    EXPECT_EQ(PreferredSize(), 1024);
    for (int32_t channel : {0, 1}) {
        EXPECT_TRUE(IsActive(channel, false));
        EXPECT_TRUE(IsActive(channel, true));
    }
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_FALSE(IsActive(0, false));
    EXPECT_FALSE(IsActive(1, true));
}

TEST_F(Buffers, AsksTheHostAboutTimeInfoAndIoFormatsInOrder) {
    ASIOBufferInfo info{ASIOFalse, 1, {}};
    ASSERT_EQ(driver->createBuffers(&info, 1, 64, &host.callbacks), ASE_OK);
    EXPECT_EQ(host.messages, (std::basic_string<int32_t>{kAsioSupportsTimeInfo, kAsioSelectorSupported,
                                                         kAsioSelectorSupported, kAsioSelectorSupported}));
    EXPECT_EQ(host.messageValues,
              (std::basic_string<int32_t>{0, kAsioSetIoFormat, kAsioGetIoFormat, kAsioCanDoIoFormat}));
    EXPECT_TRUE(IsActive(1, false));
    EXPECT_FALSE(IsActive(0, false));
}

TEST_F(Buffers, DsdSizesCountOneBitSamples) {
    UseDsd();
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    ASSERT_EQ(driver->createBuffers(&info, 1, 32768, &host.callbacks), ASE_OK);
    EXPECT_EQ(static_cast<char*>(info.buffers[1]) - static_cast<char*>(info.buffers[0]), 4096);
    std::memset(info.buffers[0], 0x69, 8192);
    EXPECT_EQ(PreferredSize(), 32768);

    // A size that is no whole number of words would let the host write past the half.
    EXPECT_EQ(driver->createBuffers(&info, 1, 100, &host.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(PreferredSize(), 32768);
    ASSERT_EQ(driver->createBuffers(&info, 1, 96, &host.callbacks), ASE_OK);
    EXPECT_EQ(static_cast<char*>(info.buffers[1]) - static_cast<char*>(info.buffers[0]), 12); // 3 words
    EXPECT_EQ(PreferredSize(), 96);
}

TEST_F(Buffers, RefusesChannelsOutsideTheDeviceAndFreesWhatTheCallMade) {
    ASIOBufferInfo badChannel[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 2, {}}};
    EXPECT_EQ(driver->createBuffers(badChannel, 2, 256, &host.callbacks), ASE_InvalidParameter);
    EXPECT_FALSE(IsActive(0, false));

    ASIOBufferInfo negative{ASIOTrue, -1, {}};
    EXPECT_EQ(driver->createBuffers(&negative, 1, 256, &host.callbacks), ASE_InvalidParameter);

    ASIOBufferInfo three[3] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, {ASIOFalse, 0, {}}};
    EXPECT_EQ(driver->createBuffers(three, 3, 256, &host.callbacks), ASE_InvalidParameter);
    EXPECT_FALSE(IsActive(0, false));
    EXPECT_FALSE(IsActive(1, false));
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(Buffers, TheSameChannelTwiceIsRefused) {
    ASIOBufferInfo infos[2] = {{ASIOFalse, 1, {}}, {ASIOFalse, 1, {}}};
    EXPECT_EQ(driver->createBuffers(infos, 2, 16, &host.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(infos[0].buffers[0], nullptr);
    EXPECT_FALSE(IsActive(1, false));
}

TEST_F(Buffers, RefusesHalvesLargerThanARingSlot) {
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    ASSERT_EQ(driver->createBuffers(&info, 1, 2048, &host.callbacks), ASE_OK);
    host.messages.clear();
    ASIOBufferInfo bigger{ASIOFalse, 0, {}};
    EXPECT_EQ(driver->createBuffers(&bigger, 1, 2049, &host.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(bigger.buffers[0], nullptr);
    EXPECT_TRUE(host.messages.empty());
    // The earlier buffers are untouched by the refused call.
    EXPECT_TRUE(IsActive(0, false));
    EXPECT_EQ(PreferredSize(), 2048);

    UseDsd();
    EXPECT_EQ(driver->createBuffers(&bigger, 1, 65536 + 32, &host.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(&bigger, 1, 65536 + 31, &host.callbacks), ASE_InvalidParameter);
    ASSERT_EQ(driver->createBuffers(&bigger, 1, 65536, &host.callbacks), ASE_OK);
    EXPECT_EQ(PreferredSize(), 65536);
}

TEST_F(Buffers, NullRecordsOrCallbacksAreRefused) {
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    EXPECT_EQ(driver->createBuffers(&info, 1, 256, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(info.buffers[0], nullptr);
    EXPECT_EQ(driver->createBuffers(nullptr, 1, 256, &host.callbacks), ASE_InvalidParameter);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(PreferredSize(), 1024);
}

TEST_F(Buffers, AllocationFailureReleasesEverythingAfterTryingAllRecords) {
    ASIOBufferInfo infos[3] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, {ASIOTrue, 0, {}}};
    FailOneAllocationAfter(1); // the second block
    EXPECT_EQ(driver->createBuffers(infos, 3, 256, &host.callbacks), ASE_NoMemory);
    EXPECT_EQ(FailedAllocations(), 1);
    // No record keeps a block that was released again.
    for (const ASIOBufferInfo& info : infos) {
        EXPECT_EQ(info.buffers[0], nullptr);
        EXPECT_EQ(info.buffers[1], nullptr);
    }
    EXPECT_FALSE(IsActive(0, false));
    EXPECT_FALSE(IsActive(0, true));
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(Buffers, NegativeSizesAndNoRecordsAreRefused) {
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    EXPECT_EQ(driver->createBuffers(&info, 1, -4, &host.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(info.buffers[0], nullptr);
    EXPECT_EQ(driver->createBuffers(&info, 0, 256, &host.callbacks), ASE_InvalidParameter);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(Buffers, ASecondCreateReleasesTheFirstBlocks) {
    // Run under AddressSanitizer, a leak of the first blocks fails the program.
    ASIOBufferInfo first[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASSERT_EQ(driver->createBuffers(first, 2, 512, &host.callbacks), ASE_OK);
    ASIOBufferInfo second{ASIOTrue, 1, {}};
    ASSERT_EQ(driver->createBuffers(&second, 1, 128, &host.callbacks), ASE_OK);
    EXPECT_FALSE(IsActive(0, false));
    EXPECT_TRUE(IsActive(1, true));
    EXPECT_EQ(PreferredSize(), 128);
}

TEST_F(Buffers, DisposeWithoutBuffersIsFine) {
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

} // namespace
