// Packing host halves into device frames, the period time stamp, and the render thread's wait limit.
#include "asio/packing.h"
#include "asio/render_thread.h"
#include "sim/threads.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Packed(const std::vector<int32_t>& left, const std::vector<int32_t>& right,
                            int32_t format) {
    std::atomic<int32_t> ioFormat{format};
    std::vector<uint8_t> slot(left.size() * kFrameBytes + 8, 0xEE);
    PackHalf(slot.data(), left.data(), right.data(), static_cast<int32_t>(left.size()), ioFormat);
    return slot;
}

TEST(Packing, PcmFramesInterleaveLeftAndRightLittleEndian) {
    const auto slot = Packed({0x04030201, -1}, {0x14131211, 0x7FFFFFFF}, kASIOPCMFormat);
    const std::vector<uint8_t> expected{0x01, 0x02, 0x03, 0x04, 0x11, 0x12, 0x13, 0x14,
                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(std::vector<uint8_t>(slot.begin(), slot.begin() + 16), expected);
    EXPECT_EQ(slot[16], 0xEE); // nothing written past the frames
}

TEST(Packing, DsdWordsArriveWithTheirBytesReversed) {
    // The host wrote bytes 01 02 03 04 into the word (MSB-first DSD, earliest sample first).
    int32_t word;
    const uint8_t hostBytes[4] = {0x01, 0x02, 0x03, 0x04};
    std::memcpy(&word, hostBytes, 4);
    const auto slot = Packed({word}, {word}, kASIODSDFormat);
    const std::vector<uint8_t> expected{0x04, 0x03, 0x02, 0x01, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(std::vector<uint8_t>(slot.begin(), slot.begin() + 8), expected);
}

TEST(Packing, ZeroFramesWriteNothing) {
    std::atomic<int32_t> ioFormat{kASIOPCMFormat};
    uint8_t slot[8];
    std::memset(slot, 0xEE, sizeof slot);
    PackHalf(slot, nullptr, nullptr, 0, ioFormat);
    FillSilence(slot, 0, true);
    EXPECT_EQ(slot[0], 0xEE);
}

TEST(Packing, SilenceIsAlternatingBitsInDsdAndZeroInPcm) {
    std::vector<uint8_t> slot(3 * kFrameBytes + 1, 0x11);
    FillSilence(slot.data(), 3, true);
    for (size_t i = 0; i < 3 * kFrameBytes; ++i)
        ASSERT_EQ(slot[i], 0xAA) << i;
    EXPECT_EQ(slot.back(), 0x11);
    FillSilence(slot.data(), 3, false);
    for (size_t i = 0; i < 3 * kFrameBytes; ++i)
        ASSERT_EQ(slot[i], 0) << i;
}

TEST(PeriodTimeStamp, IsTheSystemTimeInNanosecondsSplitInto32BitHalves) {
    ASIOTimeStamp stamp{};
    sim::SetTimeOverride(0);
    StampSystemTime(&stamp);
    EXPECT_EQ(stamp.hi, 0u);
    EXPECT_EQ(stamp.lo, 0u);
    sim::SetTimeOverride(5000); // 5e9 ns
    StampSystemTime(&stamp);
    EXPECT_EQ((uint64_t{stamp.hi} << 32) | stamp.lo, 5000000000ull);
    sim::SetTimeOverride(0xFFFFFFFFu);
    StampSystemTime(&stamp);
    EXPECT_EQ((uint64_t{stamp.hi} << 32) | stamp.lo, 4294967295000000ull);
    sim::ClearTimeOverride();
}

TEST(CompletionWait, IsTheLargerOfOneSecondAndFourPeriods) {
    EXPECT_EQ(CompletionWaitMilliseconds(1024, 44100), 1000u); // 4 periods ~ 93 ms
    EXPECT_EQ(CompletionWaitMilliseconds(2048, 8000), 1024u);  // 4 periods = 1024 ms
    EXPECT_EQ(CompletionWaitMilliseconds(2048, 1000), 8192u);
    EXPECT_EQ(CompletionWaitMilliseconds(2048, 1), 60000u); // bounded still
    EXPECT_EQ(CompletionWaitMilliseconds(0, 44100), 1000u);
    EXPECT_EQ(CompletionWaitMilliseconds(1024, 0), 1000u);
}

} // namespace
