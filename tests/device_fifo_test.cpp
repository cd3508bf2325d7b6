// The device's own buffer under the real-time clock (when writes complete, underruns, the
// completion-to-write histogram), and the real-time scheduling of the simulated "Pro Audio" task.
#include "sim/larkspur/device.h"
#include "sim/larkspur/fifo_model.h"
#include "sim/setupapi.h"
#include "sim/threads.h"
#include "tests/support/host.h"
#include "tests/support/stream_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <sched.h>

using namespace testing_support;
using sim::larkspur::Clock;
using sim::larkspur::Device;
using sim::larkspur::FifoModel;
using sim::larkspur::StreamStats;

namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kUs = 1000;
constexpr uint64_t kOneFramePerMs = 1000;

TEST(DeviceFifo, SmallWritesCompleteAtOnceUntilTheBufferIsFullThenAtTheDrainRate) {
    FifoModel fifo(2000);
    EXPECT_EQ(fifo.Enter(0, 0, 1, kOneFramePerMs), 0);
    EXPECT_EQ(fifo.Enter(0, 0, 1, kOneFramePerMs), 0);
    EXPECT_EQ(fifo.Enter(0, 0, 1, kOneFramePerMs), 1 * kMs); // waits for one frame to drain
    EXPECT_EQ(fifo.Enter(1 * kMs, 1 * kMs, 1, kOneFramePerMs), 2 * kMs);
    EXPECT_EQ(fifo.Stats().writes, 4u);
    EXPECT_EQ(fifo.Stats().underruns, 0u);
    // No frames: nothing to wait for.
    EXPECT_EQ(fifo.Enter(2 * kMs, 2 * kMs, 0, kOneFramePerMs), 2 * kMs);
}

TEST(DeviceFifo, ABufferThatRunsEmptyBeforeTheNextWriteIsAnUnderrun) {
    FifoModel fifo(2000);
    // Ten frames last 10 ms; the last enters when 2 ms are left to play.
    EXPECT_EQ(fifo.Enter(0, 0, 10, kOneFramePerMs), 8 * kMs);
    fifo.Completed(8 * kMs);
    // In time: 1 ms still in the buffer.
    EXPECT_EQ(fifo.Enter(9 * kMs, 9 * kMs, 10, kOneFramePerMs), 18 * kMs);
    EXPECT_EQ(fifo.Stats().underruns, 0u);
    fifo.Completed(18 * kMs);
    // Played out at 20 ms; this write comes at 21 ms and starts a new run from there.
    EXPECT_EQ(fifo.Enter(21 * kMs, 21 * kMs, 10, kOneFramePerMs), 29 * kMs);
    EXPECT_EQ(fifo.Stats().underruns, 1u);
    EXPECT_EQ(fifo.Stats().underrunsAfterLateCompletion, 0u); // 3 ms after the completion: the host's
    // The device reports a completion 1.5 ms late; a write 1 ms after it finds the buffer empty.
    fifo.Completed(30500 * kUs, 29 * kMs);
    EXPECT_EQ(fifo.Enter(31500 * kUs, 31500 * kUs, 10, kOneFramePerMs), 39500 * kUs);
    EXPECT_EQ(fifo.Stats().underruns, 2u);
    EXPECT_EQ(fifo.Stats().underrunsAfterLateCompletion, 1u);
    // Each underrun keeps when the completion before it was due and came, the buffer ran empty and the
    // write arrived.
    ASSERT_EQ(fifo.Stats().KeptUnderruns(), 2u);
    const sim::larkspur::Underrun& first = fifo.Stats().kept[0];
    EXPECT_EQ(first.dueNs, 18 * kMs);
    EXPECT_EQ(first.reportedNs, 18 * kMs);
    EXPECT_EQ(first.emptyNs, 20 * kMs);
    EXPECT_EQ(first.arrivedNs, 21 * kMs);
    const sim::larkspur::Underrun& second = fifo.Stats().kept[1];
    EXPECT_EQ(second.dueNs, 29 * kMs);
    EXPECT_EQ(second.reportedNs, 30500 * kUs);
    EXPECT_EQ(second.emptyNs, 31 * kMs);
    EXPECT_EQ(second.arrivedNs, 31500 * kUs);
    fifo.Reset();
    EXPECT_EQ(fifo.Enter(0, 0, 10, kOneFramePerMs), 8 * kMs);
    // Exactly on time is not an underrun.
    fifo.Completed(8 * kMs);
    EXPECT_EQ(fifo.Enter(10 * kMs, 10 * kMs, 10, kOneFramePerMs), 18 * kMs);
    EXPECT_EQ(fifo.Stats().underruns, 2u);
    // A new run of the stream starts empty: its first write is no underrun and follows no completion.
    fifo.Reset();
    EXPECT_EQ(fifo.Enter(500 * kMs, 500 * kMs, 1, kOneFramePerMs), 500 * kMs);
    EXPECT_EQ(fifo.Stats().underruns, 2u);
    EXPECT_EQ(fifo.Stats().gaps, 4u);
}

TEST(DeviceFifo, RecordsTheTimeFromEachCompletionToTheNextWrite) {
    FifoModel fifo(2000);
    fifo.Enter(0, 0, 100, kOneFramePerMs);
    EXPECT_EQ(fifo.Stats().gaps, 0u); // the first write follows no completion
    int64_t now = 98 * kMs;
    const int64_t gaps[] = {500 * kUs, 200 * kUs, 200 * kUs, 300 * kUs, 1500 * kUs};
    for (int64_t gap : gaps) {
        fifo.Completed(now);
        now = fifo.Enter(now + gap, now + gap, 100, kOneFramePerMs);
    }
    // A write queued before the latest completion waited for nothing.
    fifo.Completed(now);
    fifo.Enter(now, now - 5 * kUs, 1, kOneFramePerMs);

    const StreamStats& stats = fifo.Stats();
    EXPECT_EQ(stats.gaps, 5u);
    EXPECT_EQ(stats.maxGapNs, 1500u * kUs);
    EXPECT_EQ(stats.totalGapNs, 2700u * kUs);
    EXPECT_EQ(stats.underruns, 0u);
    EXPECT_EQ(stats.GapPercentileNs(0.4) / kUs, 200u);
    EXPECT_EQ(stats.GapPercentileNs(0.5) / kUs, 300u);
    EXPECT_EQ(stats.GapPercentileNs(0.8) / kUs, 500u);
    EXPECT_EQ(stats.GapPercentileNs(1.0), 1500u * kUs);
    EXPECT_EQ(StreamStats{}.GapPercentileNs(0.99), 0u);

    // The device's own lateness in reporting is kept apart.
    EXPECT_EQ(stats.maxLateNs, 0u);
    fifo.Completed(10 * kMs, 10 * kMs - 150 * kUs);
    fifo.Completed(20 * kMs, 20 * kMs - 50 * kUs);
    fifo.Completed(30 * kMs, 30 * kMs + 50 * kUs);
    EXPECT_EQ(fifo.Stats().maxLateNs, 150u * kUs);
    EXPECT_EQ(fifo.Stats().lateOver100us, 1u);
}

TEST(DeviceFifo, WhileTheBufferIsFullTheNextWriteCannotCompleteBeforeItHasRoom) {
    FifoModel fifo(2000);
    EXPECT_EQ(fifo.EarliestCompletion(1, kOneFramePerMs), 0); // not running: at once
    fifo.Enter(0, 0, 1, kOneFramePerMs);
    EXPECT_EQ(fifo.EarliestCompletion(1, kOneFramePerMs), 0); // 1 ms queued: room for 1 ms more
    fifo.Enter(0, 0, 1, kOneFramePerMs);
    EXPECT_EQ(fifo.EarliestCompletion(1, kOneFramePerMs), 1 * kMs);
    EXPECT_EQ(fifo.EarliestCompletion(3, kOneFramePerMs), 3 * kMs);
    EXPECT_EQ(fifo.Enter(0, 0, 3, kOneFramePerMs), 3 * kMs);
}

TEST(DeviceFifo, EachWritesFirstFrameLeavesWhenEverythingBeforeItHasPlayed) {
    FifoModel fifo(2000);
    EXPECT_EQ(fifo.LeaveCount(), 0u);
    fifo.Enter(0, 0, 10, kOneFramePerMs);               // leaves at once
    fifo.Enter(3 * kMs, 3 * kMs, 10, kOneFramePerMs);   // queued behind the first: 10 ms
    fifo.Enter(25 * kMs, 25 * kMs, 10, kOneFramePerMs); // after an underrun: when it came
    fifo.Enter(26 * kMs, 26 * kMs, 0, kOneFramePerMs);  // an empty write behind it: 35 ms
    ASSERT_EQ(fifo.LeaveCount(), 4u);
    const int64_t expected[] = {0, 10 * kMs, 25 * kMs, 35 * kMs};
    for (size_t k = 0; k < 4; ++k)
        EXPECT_EQ(fifo.LeaveTimes()[k], expected[k]) << k;
    // A fixed ring: the first writes of a long stream are kept, no more.
    for (size_t k = 4; k < FifoModel::kKeptLeaveTimes + 10; ++k)
        fifo.Enter(static_cast<int64_t>(k) * kMs, 0, 1, kOneFramePerMs);
    EXPECT_EQ(fifo.LeaveCount(), FifoModel::kKeptLeaveTimes);
    EXPECT_EQ(fifo.LeaveTimes()[1], 10 * kMs);
}

TEST(DeviceFifo, HoldsTheFramesNotYetPlayedRoundedUp) {
    FifoModel fifo(2000);
    EXPECT_EQ(fifo.HeldFrames(0), 0u); // not running
    fifo.Enter(0, 0, 10, kOneFramePerMs);
    EXPECT_EQ(fifo.HeldFrames(0), 10u);
    EXPECT_EQ(fifo.HeldFrames(9500 * kUs), 1u) << "half a frame still to play";
    EXPECT_EQ(fifo.HeldFrames(10 * kMs), 0u);
    EXPECT_EQ(fifo.HeldFrames(11 * kMs), 0u);
    fifo.Reset();
    EXPECT_EQ(fifo.HeldFrames(0), 0u);
}

TEST(DeviceFifo, AnUnderrunBelongsToTheDrainWhenTheBufferRanEmptyAfterTheStreamsEnd) {
    FifoModel fifo(2000);
    fifo.Enter(0, 0, 10, kOneFramePerMs);
    // Empty at 10 ms, the stream's end at 12 ms: the write at 15 ms ends the stream's underrun.
    fifo.StartDrain(12 * kMs);
    EXPECT_TRUE(fifo.Draining());
    fifo.Enter(15 * kMs, 15 * kMs, 10, kOneFramePerMs);
    EXPECT_EQ(fifo.Stats().underrunsStreaming, 1u);
    // Empty at 25 ms, during the drain.
    fifo.Enter(30 * kMs, 30 * kMs, 10, kOneFramePerMs);
    EXPECT_EQ(fifo.Stats().underrunsDrain, 1u);
    EXPECT_EQ(fifo.Stats().underruns, 2u);
    // The drain ends with the stream's run.
    fifo.Reset();
    EXPECT_FALSE(fifo.Draining());
    fifo.Enter(100 * kMs, 100 * kMs, 10, kOneFramePerMs);
    fifo.Enter(200 * kMs, 200 * kMs, 10, kOneFramePerMs);
    EXPECT_EQ(fifo.Stats().underrunsStreaming, 2u);
    EXPECT_EQ(fifo.Stats().underrunsDrain, 1u);
}

TEST(DeviceFifo, HistogramBucketsCoverEveryTimeInOrder) {
    for (int b = 0; b + 1 < StreamStats::kBuckets; ++b) {
        const uint64_t top = StreamStats::BucketTopMicroseconds(b);
        ASSERT_EQ(StreamStats::Bucket(top), b);
        ASSERT_EQ(StreamStats::Bucket(top + 1), b + 1);
    }
    EXPECT_EQ(StreamStats::Bucket(0), 0);
    EXPECT_EQ(StreamStats::Bucket(~uint64_t{0} / 2), StreamStats::kBuckets - 1);
    // Above the linear range a bucket is at most 1/64 of its times wide.
    const int b = StreamStats::Bucket(100000);
    EXPECT_LE(StreamStats::BucketTopMicroseconds(b) - StreamStats::BucketTopMicroseconds(b - 1),
              100000u / 64);
}

void StallOnce(int period) {
    if (period == 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
}

// The driver on the device's real-time clock, with 32-frame periods at 384 kHz (83 µs each).
TEST(DeviceFifoStreaming, AHostStalledLongerThanTheBufferUnderrunsAndTheRecordStaysExact) {
    auto device = Device::Create(Clock::RealTime);
    EXPECT_EQ(device->FifoMicroseconds(), 2000u);
    sim::SetDeviceInterfaces({sim::LarkspurInterface(device->OpenFilter())});
    StreamHost host;
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASSERT_EQ(driver->setSampleRate(384000.0), ASE_OK);
    ASSERT_EQ(host.CreateStereo(driver, 32, 32), ASE_OK);
    host.duringSwitch = &StallOnce;

    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_TRUE(host.WaitForSwitches(200, 10000));
    const StreamStats live = device->LatestStreamStats();
    EXPECT_GE(live.writes, 100u);
    ASSERT_EQ(driver->stop(), ASE_OK);
    host.duringSwitch = nullptr;
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->Release(), 0u);
    sim::ResetDeviceInterfaces();

    // Kept after the pin closed.
    const StreamStats stats = device->LatestStreamStats();
    EXPECT_GE(stats.writes, live.writes);
    EXPECT_GE(stats.underruns, 1u);
    EXPECT_GE(stats.maxGapNs,
              20u * kMs); // the completion came at most a buffer after the write before the stall
    EXPECT_GE(stats.gaps + 1, stats.writes - 1);

    // Every packet received whole: the host's words for one period, or the drain's silence.
    const std::vector<BYTE> audio = device->Audio();
    const size_t packetBytes = 32 * 8;
    ASSERT_EQ(audio.size() % packetBytes, 0u);
    ASSERT_GE(audio.size() / packetBytes, 100u);
    for (size_t p = 0; p < audio.size() / packetBytes; ++p) {
        uint32_t words[64];
        std::memcpy(words, &audio[p * packetBytes], packetBytes);
        const bool silence = words[0] == 0 && words[1] == 0;
        const uint32_t period = words[0] >> 20;
        for (uint32_t j = 0; j < 32; ++j) {
            ASSERT_EQ(words[2 * j], silence ? 0u : static_cast<uint32_t>(StreamHost::Word(period, 0, j)))
                << p;
            ASSERT_EQ(words[2 * j + 1], silence ? 0u : static_cast<uint32_t>(StreamHost::Word(period, 1, j)))
                << p;
        }
    }
    EXPECT_TRUE(WaitUntil([] { return sim::RunningThreads() == 0; }, 10000));
}

TEST(DeviceFifoStreaming, TheBufferSizeIsTheDevicesSetting) {
    auto device = Device::Create(Clock::RealTime);
    device->SetFifoMicroseconds(500);
    EXPECT_EQ(device->FifoMicroseconds(), 500u);
    EXPECT_EQ(device->LatestStreamStats().writes, 0u);
}

int Policy() {
    return sched_getscheduler(0);
}

TEST(ProAudioTask, RunsTheThreadInTheRealTimeClassWherePermittedUntilReverted) {
    std::thread([] {
        if (!sim::RaiseToRealTime(1)) {
            GTEST_SKIP() << "real-time scheduling not permitted here";
        }
        sim::RestoreScheduling();
        ASSERT_EQ(Policy(), SCHED_OTHER);

        DWORD index = 0;
        HANDLE task = AvSetMmThreadCharacteristicsA("Pro Audio", &index);
        ASSERT_NE(task, nullptr);
        EXPECT_EQ(Policy(), SCHED_FIFO);
        sched_param param{};
        sched_getparam(0, &param);
        EXPECT_EQ(param.sched_priority, sim::kProAudioPriority);
        EXPECT_TRUE(AvRevertMmThreadCharacteristics(task));
        EXPECT_EQ(Policy(), SCHED_OTHER);

        // Other tasks, or the real-time class switched off, leave the thread as it is.
        task = AvSetMmThreadCharacteristicsA("Games", &index);
        EXPECT_EQ(Policy(), SCHED_OTHER);
        AvRevertMmThreadCharacteristics(task);
        sim::SetProAudioRealTime(false);
        task = AvSetMmThreadCharacteristicsA("Pro Audio", &index);
        EXPECT_EQ(Policy(), SCHED_OTHER);
        AvRevertMmThreadCharacteristics(task);
        sim::SetProAudioRealTime(true);
    }).join();
}

} // namespace
