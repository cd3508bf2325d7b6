// Packing host halves into device frames, the period time stamp, and the render thread's wait limit.
#include "asio/packing.h"
#include "asio/render_thread.h"
#include "sim/threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

// The frames as the device expects them, one word at a time.
std::vector<uint8_t> Reference(const int32_t* left, const int32_t* right, int32_t frames, bool dsd) {
    std::vector<uint8_t> out;
    for (int32_t j = 0; j < frames; ++j)
        for (uint32_t word : {static_cast<uint32_t>(left[j]), static_cast<uint32_t>(right[j])})
            for (int b = 0; b < 4; ++b)
                out.push_back(static_cast<uint8_t>(word >> (dsd ? 24 - 8 * b : 8 * b)));
    return out;
}

TEST(Packing, ReverseBytesReversesTheFourBytesOfAWord) {
    static_assert(ReverseBytes(0x01020304u) == 0x04030201u);
    EXPECT_EQ(ReverseBytes(0xAABBCCDDu), 0xDDCCBBAAu);
    EXPECT_EQ(ReverseBytes(ReverseBytes(0x80000001u)), 0x80000001u);
}

// Every path, both formats, sizes around the vector widths, sources and slot at odd word offsets: the
// same bytes as one word at a time, and nothing written outside the frames.
TEST(Packing, EveryPathPacksEverySizeLikeTheWordByWordReference) {
    std::vector<int32_t> left(2048 + 8), right(2048 + 8);
    for (size_t i = 0; i < left.size(); ++i) {
        left[i] = static_cast<int32_t>(0x01020304u * (i + 1) ^ 0x9E3779B9u);
        right[i] = static_cast<int32_t>(0xA1B2C3D4u + i * 0x01010101u);
    }
    int pathsRun = 0;
    for (PackPath path : {PackPath::Baseline, PackPath::Avx2, PackPath::Avx512}) {
        if (!PackPathAvailable(path))
            continue;
        ++pathsRun;
        for (bool dsd : {false, true})
            for (int32_t frames :
                 {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 23, 24, 31, 32, 33, 63, 100, 1023, 2047, 2048})
                for (int offset : {0, 1}) {
                    const int32_t* l = left.data() + offset;
                    const int32_t* r = right.data() + 2 * offset;
                    std::vector<uint8_t> slot(frames * kFrameBytes + 12, 0xEE);
                    PackHalfOn(path, slot.data() + 4 * offset, l, r, frames, dsd);
                    const auto expected = Reference(l, r, frames, dsd);
                    SCOPED_TRACE(testing::Message() << "path " << static_cast<int>(path) << " dsd " << dsd
                                                    << " frames " << frames << " offset " << offset);
                    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), slot.begin() + 4 * offset));
                    for (int i = 0; i < 4 * offset; ++i)
                        ASSERT_EQ(slot[i], 0xEE);
                    for (size_t i = 4 * offset + expected.size(); i < slot.size(); ++i)
                        ASSERT_EQ(slot[i], 0xEE) << i;
                }
    }
    EXPECT_EQ(pathsRun, 1 + PackPathAvailable(PackPath::Avx2) + PackPathAvailable(PackPath::Avx512));
    EXPECT_TRUE(PackPathAvailable(SelectedPackPath()));
}

TEST(Packing, PackHalfTakesTheSelectedPathInTheFormatItReadsOnce) {
    std::vector<int32_t> left(37), right(37);
    for (int32_t i = 0; i < 37; ++i) {
        left[i] = 0x11223344 + i;
        right[i] = 0x55667788 - i;
    }
    for (int32_t format : {kASIOPCMFormat, kASIODSDFormat}) {
        const auto slot = Packed(left, right, format);
        EXPECT_EQ(std::vector<uint8_t>(slot.begin(), slot.end() - 8),
                  Reference(left.data(), right.data(), 37, format == kASIODSDFormat));
    }
}

TEST(Packing, OneBufferFeedsBothWords) {
    const std::vector<int32_t> mono{0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10, 0x11121314};
    for (int32_t format : {kASIOPCMFormat, kASIODSDFormat}) {
        std::atomic<int32_t> ioFormat{format};
        std::vector<uint8_t> slot(mono.size() * kFrameBytes);
        PackHalf(slot.data(), mono.data(), mono.data(), 5, ioFormat);
        for (size_t j = 0; j < mono.size(); ++j)
            EXPECT_EQ(std::memcmp(&slot[j * 8], &slot[j * 8 + 4], 4), 0) << j;
    }
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
