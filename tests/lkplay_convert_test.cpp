// Sample conversion and the lock-free queue of lkplay.
#include "tools/lkplay/reference.h"
#include "tools/lkplay/sample_convert.h"
#include "tools/lkplay/spsc_queue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

using lkplay::Frame;
using lkplay::PcmBlock;
using lkplay::PcmFormat;

namespace {

template <typename T> std::vector<uint8_t> Bytes(std::initializer_list<T> values) {
    std::vector<uint8_t> bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.begin(), bytes.size());
    return bytes;
}

std::vector<Frame> Convert(PcmFormat format, bool planar, int channels,
                           std::vector<std::vector<uint8_t>> planes, size_t frames) {
    std::vector<const uint8_t*> pointers;
    for (auto& plane : planes)
        pointers.push_back(plane.data());
    std::vector<Frame> out(frames);
    lkplay::ConvertPcm(PcmBlock{format, planar, channels, pointers.data(), frames}, out.data());
    return out;
}

} // namespace

TEST(LkplayConvert, IntegerSamplesAreLeftJustifiedExactly) {
    // 16-bit interleaved stereo: extremes and a sign change survive unchanged in the top bits.
    auto s16 = Convert(PcmFormat::S16, false, 2, {Bytes<int16_t>({32767, -32768, -1, 1})}, 2);
    EXPECT_EQ(s16[0], (Frame{0x7FFF0000u, 0x80000000u}));
    EXPECT_EQ(s16[1], (Frame{0xFFFF0000u, 0x00010000u}));
    // 24-bit audio arrives from the decoder already in the top bits of 32; it must not move.
    auto s32 =
        Convert(PcmFormat::S32, true, 2, {Bytes<int32_t>({0x7FFFFF00, -256}), Bytes<int32_t>({0x100, 0})}, 2);
    EXPECT_EQ(s32[0], (Frame{0x7FFFFF00u, 0x00000100u}));
    EXPECT_EQ(s32[1], (Frame{0xFFFFFF00u, 0u}));
    auto u8 = Convert(PcmFormat::U8, false, 2, {{0x00, 0xFF, 0x80, 0x81}}, 2);
    EXPECT_EQ(u8[0], (Frame{0x80000000u, 0x7F000000u}));
    EXPECT_EQ(u8[1], (Frame{0x00000000u, 0x01000000u}));
}

TEST(LkplayConvert, MonoFeedsBothOutputs) {
    auto mono = Convert(PcmFormat::S16, false, 1, {Bytes<int16_t>({0x1234, -2})}, 2);
    EXPECT_EQ(mono[0], (Frame{0x12340000u, 0x12340000u}));
    EXPECT_EQ(mono[1], (Frame{0xFFFE0000u, 0xFFFE0000u}));
    auto planarMono = Convert(PcmFormat::S32, true, 1, {Bytes<int32_t>({5})}, 1);
    EXPECT_EQ(planarMono[0], (Frame{5u, 5u}));
}

TEST(LkplayConvert, FloatIsScaledRoundedAndClipped) {
    EXPECT_EQ(lkplay::FloatToInt32(0.5), 0x40000000);
    EXPECT_EQ(lkplay::FloatToInt32(-1.0), INT32_MIN);
    EXPECT_EQ(lkplay::FloatToInt32(1.0), INT32_MAX); // +1.0 itself does not fit
    EXPECT_EQ(lkplay::FloatToInt32(7.5), INT32_MAX);
    EXPECT_EQ(lkplay::FloatToInt32(-7.5), INT32_MIN);
    EXPECT_EQ(lkplay::FloatToInt32(std::nan("")), 0);
    // A float that holds a 24-bit value converts to exactly that value, left-justified.
    EXPECT_EQ(lkplay::FloatToInt32(-1234567.0 / 8388608.0), -1234567 * 256);
    auto f = Convert(PcmFormat::Float, false, 2, {Bytes<float>({0.25f, -0.25f})}, 1);
    EXPECT_EQ(f[0], (Frame{0x20000000u, 0xE0000000u}));
    auto d = Convert(PcmFormat::Double, true, 2, {Bytes<double>({-0.5}), Bytes<double>({2.0})}, 1);
    EXPECT_EQ(d[0], (Frame{0xC0000000u, 0x7FFFFFFFu}));
}

TEST(LkplayConvert, FloatRoundsToNearestAndSixtyFourBitTakesTheTopWord) {
    // Values with a fraction after scaling by 2^31: 3 x 2^-32 scales to 1.5 (ties to even: 2), 5 x 2^-32
    // to 2.5 (2), 7 x 2^-33 to 1.75 (2), -7 x 2^-33 to -1.75 (-2), 5 x 2^-34 to 0.625 (1). Truncation
    // would give 1, 2, 1, -1 and 0.
    EXPECT_EQ(lkplay::FloatToInt32(3.0 / 4294967296.0), 2);
    EXPECT_EQ(lkplay::FloatToInt32(5.0 / 4294967296.0), 2);
    EXPECT_EQ(lkplay::FloatToInt32(7.0 / 8589934592.0), 2);
    EXPECT_EQ(lkplay::FloatToInt32(-7.0 / 8589934592.0), -2);
    EXPECT_EQ(lkplay::FloatToInt32(5.0 / 17179869184.0), 1);
    // 0.1f = 0x3DCCCCCD = 13421773 x 2^-27: x 2^31 = 13421773 x 16 = 214748368.
    auto f = Convert(PcmFormat::Float, false, 2, {Bytes<float>({0.1f, -0.1f})}, 1);
    EXPECT_EQ(f[0], (Frame{214748368u, static_cast<uint32_t>(-214748368)}));
    // A 24-bit step of 1/3 (0.333333343267 as a float, 11184811 x 2^-25): x 2^31 = 715827904.
    f = Convert(PcmFormat::Float, true, 1, {Bytes<float>({1.0f / 3.0f})}, 1);
    EXPECT_EQ(f[0].left, 715827904u);
    // 0.7 as a double is 0.6999999999999999555910790149937; x 2^31 = 1503238553.5999999 -> 1503238554.
    auto d = Convert(PcmFormat::Double, false, 1, {Bytes<double>({0.7})}, 1);
    EXPECT_EQ(d[0].left, 1503238554u);

    // 64-bit integers: the top 32 bits are the sample, the low ones finer detail below them.
    auto s64 =
        Convert(PcmFormat::S64, false, 2, {Bytes<int64_t>({0x123456789ABCDEF0, -0x0000000100000000LL})}, 1);
    EXPECT_EQ(s64[0], (Frame{0x12345678u, 0xFFFFFFFFu}));
    s64 = Convert(PcmFormat::S64, true, 2,
                  {Bytes<int64_t>({INT64_MIN}), Bytes<int64_t>({0x00000000FFFFFFFF})}, 1);
    EXPECT_EQ(s64[0], (Frame{0x80000000u, 0u}));

    // The verifier's own conversions agree on the same values.
    EXPECT_EQ(lkplay::ReferenceFloatWord(0.7), 1503238554u);
    EXPECT_EQ(lkplay::ReferenceFloatWord(-7.0 / 8589934592.0), static_cast<uint32_t>(-2));
    const uint8_t s64le[8] = {0xF0, 0xDE, 0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(lkplay::ReferenceIntegerWord(s64le, 64), 0x12345678u);
    const uint8_t s24le[3] = {0x56, 0x34, 0x92};
    EXPECT_EQ(lkplay::ReferenceIntegerWord(s24le, 24), 0x92345600u);
}

TEST(LkplayConvert, ReverseBits) {
    EXPECT_EQ(lkplay::ReverseBits(0x01), 0x80);
    EXPECT_EQ(lkplay::ReverseBits(0x69), 0x96);
    EXPECT_EQ(lkplay::ReverseBits(0xF0), 0x0F);
    for (int b = 0; b < 256; ++b)
        ASSERT_EQ(lkplay::ReverseBits(lkplay::ReverseBits(static_cast<uint8_t>(b))), b);
}

TEST(LkplayConvert, DsdInterleavedMsbFirstKeepsBytesInTimeOrder) {
    lkplay::DsdPacker packer(2, false, false);
    // L0 R0 L1 R1 ... : left bytes 01 02 03 04, right bytes 11 12 13 14.
    const uint8_t packet[] = {0x01, 0x11, 0x02, 0x12, 0x03, 0x13, 0x04, 0x14};
    Frame out[2];
    ASSERT_EQ(packer.Push(packet, sizeof packet, out), 1u);
    uint8_t left[4], right[4];
    std::memcpy(left, &out[0].left, 4);
    std::memcpy(right, &out[0].right, 4);
    EXPECT_EQ(std::vector<uint8_t>(left, left + 4), (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(std::vector<uint8_t>(right, right + 4), (std::vector<uint8_t>{0x11, 0x12, 0x13, 0x14}));
}

TEST(LkplayConvert, DsdPlanarLsbFirstIsBitReversedAndSplitAcrossPackets) {
    lkplay::DsdPacker packer(2, true, true);
    // Planar packets: all left bytes, then all right bytes. Six bytes per channel: one word and a half.
    const uint8_t first[] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    Frame out[4];
    ASSERT_EQ(packer.Push(first, sizeof first, out), 1u);
    EXPECT_EQ(out[0].left, 0x08040201u);  // bytes 01 02 04 08
    EXPECT_EQ(out[0].right, 0x20C04080u); // bytes 80 40 C0 20
    const uint8_t second[] = {0x02, 0x01, 0xFF, 0x00};
    ASSERT_EQ(packer.Push(second, sizeof second, out), 1u);
    EXPECT_EQ(out[0].left, 0x80402010u);  // 10 20 (left over) 40 80
    EXPECT_EQ(out[0].right, 0x00FF60A0u); // A0 60 FF 00
    EXPECT_EQ(packer.Flush(out), 0u);     // nothing pending
}

TEST(LkplayConvert, DsdFlushPadsWithSilenceAndMonoDoubles) {
    lkplay::DsdPacker packer(1, false, false);
    const uint8_t packet[] = {0xAB, 0xCD, 0xEF, 0x01, 0x23};
    Frame out[3];
    ASSERT_EQ(packer.Push(packet, sizeof packet, out), 1u);
    EXPECT_EQ(out[0], (Frame{0x01EFCDABu, 0x01EFCDABu}));
    ASSERT_EQ(packer.Flush(out), 1u);
    EXPECT_EQ(out[0].left, 0x69696923u);
    EXPECT_EQ(out[0].right, out[0].left);
}

TEST(LkplayQueue, KeepsOrderAcrossWrapAndRefusesWhenFull) {
    lkplay::SpscQueue<int> queue;
    ASSERT_TRUE(queue.Init(5));
    EXPECT_EQ(queue.Capacity(), 8u);
    int items[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(queue.Push(items, 6), 6u);
    std::vector<int> got;
    EXPECT_EQ(queue.Consume(4, [&](size_t, int v) { got.push_back(v); }), 4u);
    EXPECT_EQ(queue.Push(items + 6, 4), 4u); // wraps
    EXPECT_EQ(queue.Push(items, 10), 2u);    // only two places left
    EXPECT_EQ(queue.FreeSpace(), 0u);
    EXPECT_EQ(queue.Consume(100, [&](size_t i, int v) { got.push_back(v + 0 * static_cast<int>(i)); }), 8u);
    EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1}));
    EXPECT_EQ(queue.Available(), 0u);
}

TEST(LkplayQueue, OneProducerOneConsumerLoseNothing) {
    lkplay::SpscQueue<uint64_t> queue;
    ASSERT_TRUE(queue.Init(64));
    constexpr uint64_t kCount = 200000;
    std::thread producer([&] {
        uint64_t next = 0;
        while (next < kCount) {
            uint64_t chunk[7];
            const size_t n = std::min<uint64_t>(7, kCount - next);
            for (size_t i = 0; i < n; ++i)
                chunk[i] = next + i;
            next += queue.Push(chunk, n);
        }
    });
    uint64_t expected = 0;
    bool inOrder = true;
    while (expected < kCount) {
        queue.Consume(13, [&](size_t, uint64_t v) { inOrder = inOrder && v == expected++; });
    }
    producer.join();
    EXPECT_TRUE(inOrder);
}
