// The bit-exactness check of the Windows test host: it must accept what the device receives from a
// sound stream and refuse every kind of damage a driver fault causes.
#include "tools/lkstreamcheck/stream_verify.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace lkcheck;

namespace {

constexpr size_t kPeriod = 16;
constexpr uint32_t kDsdSilence = 0xAAAAAAAA;

// The device's record: frames [first, first + count) of the test stream, then `silence` silence frames.
struct Record {
    std::vector<uint8_t> bytes;
    void Stream(uint64_t first, size_t count) {
        for (uint64_t n = first; n < first + count; ++n)
            Frame(LeftWord(n), RightWord(n));
    }
    void Silence(size_t count, uint32_t word = 0) {
        for (size_t i = 0; i < count; ++i)
            Frame(word, word);
    }
    void Frame(uint32_t left, uint32_t right) {
        const size_t at = bytes.size();
        bytes.resize(at + 8);
        std::memcpy(&bytes[at], &left, 4);
        std::memcpy(&bytes[at + 4], &right, 4);
    }
    uint32_t& Word(size_t frame, int channel) {
        return reinterpret_cast<uint32_t*>(bytes.data())[frame * 2 + channel];
    }
};

TEST(StreamVerify, AcceptsAStreamFromItsFirstFrameThenSilence) {
    Record inOrder;
    inOrder.Stream(0, 10 * kPeriod);
    inOrder.Silence(16 * kPeriod);
    StreamReport report = VerifyStream(inOrder.bytes, 10 * kPeriod, kPeriod, 0);
    EXPECT_TRUE(report.exact) << report.problem;
    EXPECT_EQ(report.frames, 10 * kPeriod);
    EXPECT_EQ(report.silence, 16 * kPeriod);

    // The half the host filled in its last callback was not taken yet when it stopped.
    Record stopped;
    stopped.Stream(0, 9 * kPeriod);
    stopped.Silence(kPeriod, kDsdSilence);
    report = VerifyStream(stopped.bytes, 10 * kPeriod, kPeriod, kDsdSilence);
    EXPECT_TRUE(report.exact) << report.problem;
    EXPECT_EQ(report.frames, 9 * kPeriod);
}

TEST(StreamVerify, TakesExactlyTheSafetyBuffersSilenceBeforeTheStream) {
    auto led = [](size_t periods, uint32_t word) {
        Record record;
        record.Silence(periods * kPeriod, word);
        record.Stream(0, 10 * kPeriod);
        record.Silence(2 * kPeriod, word);
        return record;
    };
    for (size_t safety : {0u, 1u, 2u}) {
        const StreamReport report =
            VerifyStream(led(safety, kDsdSilence).bytes, 10 * kPeriod, kPeriod, kDsdSilence, safety);
        EXPECT_TRUE(report.exact) << safety << ": " << report.problem;
        EXPECT_EQ(report.leading, safety * kPeriod);
        EXPECT_EQ(report.frames, 10 * kPeriod);
    }
    EXPECT_FALSE(VerifyStream(led(1, 0).bytes, 10 * kPeriod, kPeriod, 0, 2).exact) << "one period short";
    EXPECT_FALSE(VerifyStream(led(3, 0).bytes, 10 * kPeriod, kPeriod, 0, 2).exact) << "one period more";
    EXPECT_FALSE(VerifyStream(led(2, kDsdSilence).bytes, 10 * kPeriod, kPeriod, 0, 2).exact)
        << "DSD silence where PCM zeros belong";

    // Half 1 lost behind the silence: the stream begins at its second period.
    Record lostFirst;
    lostFirst.Silence(2 * kPeriod);
    lostFirst.Stream(kPeriod, 9 * kPeriod);
    EXPECT_FALSE(VerifyStream(lostFirst.bytes, 10 * kPeriod, kPeriod, 0, 2).exact);

    // A partial period of silence is no safety buffer.
    Record partial;
    partial.Silence(2 * kPeriod - 1);
    partial.Stream(0, 10 * kPeriod);
    EXPECT_FALSE(VerifyStream(partial.bytes, 10 * kPeriod, kPeriod, 0, 2).exact);
}

TEST(StreamVerify, RefusesLeadInRepeatsAndLostPeriods) {
    // The priming of an earlier driver: the second period twice, the first never.
    Record primed;
    primed.Stream(kPeriod, kPeriod);
    primed.Stream(kPeriod, 8 * kPeriod);
    primed.Silence(4 * kPeriod);
    EXPECT_FALSE(VerifyStream(primed.bytes, 11 * kPeriod, kPeriod, 0).exact) << "the first period missing";

    Record silentStart;
    silentStart.Silence(kPeriod);
    silentStart.Stream(0, 10 * kPeriod);
    EXPECT_FALSE(VerifyStream(silentStart.bytes, 10 * kPeriod, kPeriod, 0).exact)
        << "silence before the stream";

    Record repeatedLast;
    repeatedLast.Stream(0, 10 * kPeriod);
    repeatedLast.Stream(9 * kPeriod, kPeriod);
    repeatedLast.Silence(kPeriod);
    EXPECT_FALSE(VerifyStream(repeatedLast.bytes, 10 * kPeriod, kPeriod, 0).exact) << "the last half twice";

    Record twoShort;
    twoShort.Stream(0, 8 * kPeriod);
    twoShort.Silence(kPeriod);
    EXPECT_FALSE(VerifyStream(twoShort.bytes, 10 * kPeriod, kPeriod, 0).exact) << "two periods missing";
}

TEST(StreamVerify, RefusesDamagedStreams) {
    auto intact = [] {
        Record record;
        record.Stream(0, 10 * kPeriod);
        record.Silence(4 * kPeriod);
        return record;
    };
    Record flipped = intact();
    flipped.Word(5 * kPeriod + 3, 1) ^= 0x100;
    EXPECT_FALSE(VerifyStream(flipped.bytes, 10 * kPeriod, kPeriod, 0).exact) << "one bit changed";

    Record swapped = intact();
    std::swap(swapped.Word(7, 0), swapped.Word(7, 1));
    EXPECT_FALSE(VerifyStream(swapped.bytes, 10 * kPeriod, kPeriod, 0).exact) << "left and right swapped";

    Record byteOrder = intact();
    byteOrder.Word(9, 0) = __builtin_bswap32(byteOrder.Word(9, 0));
    EXPECT_FALSE(VerifyStream(byteOrder.bytes, 10 * kPeriod, kPeriod, 0).exact)
        << "a DSD word not swapped back";

    Record gap;
    gap.Stream(0, 4 * kPeriod);
    gap.Stream(5 * kPeriod, 5 * kPeriod);
    gap.Silence(kPeriod);
    EXPECT_FALSE(VerifyStream(gap.bytes, 10 * kPeriod, kPeriod, 0).exact) << "a period lost";

    Record noise = intact();
    noise.Frame(0x12345678, 0);
    EXPECT_FALSE(VerifyStream(noise.bytes, 10 * kPeriod, kPeriod, 0).exact) << "noise after the silence";

    Record wrongSilence = intact();
    EXPECT_FALSE(VerifyStream(wrongSilence.bytes, 10 * kPeriod, kPeriod, kDsdSilence).exact)
        << "PCM zeros where DSD silence belongs";

    Record shortRecord;
    shortRecord.Stream(0, 2 * kPeriod);
    EXPECT_FALSE(VerifyStream(shortRecord.bytes, 10 * kPeriod, kPeriod, 0).exact) << "most periods missing";

    EXPECT_FALSE(VerifyStream({}, 10 * kPeriod, kPeriod, 0).exact) << "nothing received";
    std::vector<uint8_t> partial = intact().bytes;
    partial.pop_back();
    EXPECT_FALSE(VerifyStream(partial, 10 * kPeriod, kPeriod, 0).exact) << "a partial frame";
}

TEST(StreamVerify, RefusesWordsFromOutsideTheStream) {
    Record record;
    record.Stream(0, 10 * kPeriod);
    record.Silence(kPeriod);
    // A frame that decodes to an index beyond what the host generated is not part of the stream.
    EXPECT_FALSE(VerifyStream(record.bytes, 5 * kPeriod, kPeriod, 0).exact);
    // Neither word of a test frame is ever a silence word.
    for (uint64_t n = 0; n < 1u << 20; n += 4099) {
        EXPECT_NE(LeftWord(n), 0u);
        EXPECT_NE(LeftWord(n), kDsdSilence);
        EXPECT_NE(RightWord(n), 0u);
        EXPECT_NE(RightWord(n), kDsdSilence);
    }
}

} // namespace
