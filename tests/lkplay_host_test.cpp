// The ASIO host logic of lkplay against a stand-in driver.
#include "tests/lkplay_fake_driver.h"
#include "tools/lkplay/asio_host.h"
#include "tools/lkplay/exit_codes.h"
#include "tools/lkplay/verify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

using lkplay::AsioHost;
using lkplay::Frame;
using lkplay::HostFailure;
using lkplay::HostSettings;
using lkplay::HostStep;
using lkplay::SpscQueue;
using lkplay_test::FakeAsio;

namespace {

std::vector<Frame> Ramp(size_t count, uint32_t seed) {
    std::vector<Frame> frames(count);
    for (size_t i = 0; i < count; ++i)
        frames[i] = {seed + static_cast<uint32_t>(i) * 0x01010101u, ~(seed + static_cast<uint32_t>(i))};
    return frames;
}

bool WaitFor(const AsioHost& host) {
    for (int i = 0; i < 20000 && !host.Finished(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return host.Finished();
}

struct Played {
    bool finished = false;
    lkplay::HostStats stats;
};

// Queues `frames`, marks the input ended and plays it through `driver` until the host is done.
Played Play(FakeAsio& driver, const HostSettings& settings, const std::vector<Frame>& frames) {
    SpscQueue<Frame> queue;
    EXPECT_TRUE(queue.Init(frames.size() + 1));
    EXPECT_EQ(queue.Push(frames.data(), frames.size()), frames.size());
    AsioHost host(&driver, &queue);
    HostFailure failure;
    Played played;
    // Ended before the start: the callbacks, which run unpaced, never find the queue empty too early.
    host.EndOfInput();
    if (!host.Prepare(settings, &failure) || !host.Start(&failure)) {
        ADD_FAILURE() << failure.message;
        return played;
    }
    played.finished = WaitFor(host);
    host.Shutdown();
    played.stats = host.Stats();
    return played;
}

lkplay::VerifyResult Check(const FakeAsio& driver, const std::vector<Frame>& frames, bool dsd) {
    lkplay::StreamVerifier verifier(lkplay::SilenceFrame(dsd));
    verifier.AddFile([frames](std::string*) { return std::make_unique<lkplay_test::VectorSource>(frames); });
    verifier.SetPlayed(0, frames.size());
    verifier.Received(driver.received.data(), driver.received.size());
    verifier.Finish();
    return verifier.Result(0);
}

} // namespace

TEST(LkplayHost, PcmSetupFollowsTheHostOrderAndTakesThePreferredSize) {
    FakeAsio driver;
    HostSettings settings;
    settings.rate = 48000;
    const std::vector<Frame> frames = Ramp(1000, 1);
    Played played = Play(driver, settings, frames);
    ASSERT_TRUE(played.finished);
    const std::vector<std::string> expected = {
        "init",          "getChannels",   "canDoIoFormat",  "setIoFormat",    "canSampleRate",
        "setSampleRate", "getBufferSize", "getChannelInfo", "getChannelInfo", "createBuffers",
        "start",         "stop",          "disposeBuffers"};
    EXPECT_EQ(driver.calls, expected);
    EXPECT_EQ(driver.ioFormat, kASIOPCMFormat);
    EXPECT_EQ(driver.rate, 48000);
    EXPECT_EQ(driver.createdSize, 64);
    EXPECT_EQ(played.stats.framesPlayed, 1000u);
    EXPECT_EQ(played.stats.latePeriods, 0u);
    EXPECT_EQ(played.stats.rateChanges, 0u); // the rate is set before the callbacks exist
}

TEST(LkplayHost, FileArrivesWholeThroughTheDoubleBufferAndEndsInSilence) {
    for (bool timeInfo : {true, false}) {
        SCOPED_TRACE(timeInfo);
        FakeAsio driver;
        HostSettings settings;
        settings.timeInfo = timeInfo;
        const std::vector<Frame> frames = Ramp(64 * 10 + 17, 7); // ends part-way through a period
        Played played = Play(driver, settings, frames);
        ASSERT_TRUE(played.finished);
        EXPECT_EQ(driver.hostTakesTimeInfo, timeInfo);
        EXPECT_EQ(played.stats.timeInfoCallbacks, timeInfo ? played.stats.callbacks : 0u);
        const lkplay::VerifyResult result = Check(driver, frames, false);
        EXPECT_TRUE(result.match) << result.message;
        EXPECT_EQ(result.offset, 0u);
        // Nothing but silence follows the file: no stale buffer contents.
        for (size_t i = result.offset + frames.size(); i < driver.received.size(); ++i)
            ASSERT_EQ(driver.received[i], (Frame{0, 0})) << i;
        // The first callback has index 0, then they alternate.
        ASSERT_GE(driver.indices.size(), 4u);
        for (size_t i = 0; i < driver.indices.size(); ++i)
            ASSERT_EQ(driver.indices[i], static_cast<int32_t>(i % 2 == 0 ? 0 : 1)) << i;
    }
}

TEST(LkplayHost, HalfOneHoldsTheFirstPeriodAtStartAndReachesTheDeviceFirst) {
    for (bool dsd : {false, true}) {
        for (int safety : {0, 2}) {
            SCOPED_TRACE(testing::Message() << "dsd " << dsd << ", safety " << safety);
            FakeAsio driver;
            driver.safetyPeriods = safety;
            HostSettings settings;
            settings.dsd = dsd;
            settings.rate = dsd ? 2822400 : 44100;
            const std::vector<Frame> frames = Ramp(64 * 6 + 5, 0x01020304);
            Played played = Play(driver, settings, frames);
            ASSERT_TRUE(played.finished);
            ASSERT_EQ(driver.halfOneAtStart.size(), 64u);
            EXPECT_TRUE(
                std::equal(driver.halfOneAtStart.begin(), driver.halfOneAtStart.end(), frames.begin()));
            // The driver's silence, then the file from its first frame.
            const size_t lead = static_cast<size_t>(safety) * 64;
            ASSERT_GE(driver.received.size(), lead + frames.size());
            for (size_t i = 0; i < lead; ++i)
                ASSERT_EQ(driver.received[i], lkplay::SilenceFrame(dsd)) << i;
            EXPECT_TRUE(
                std::equal(frames.begin(), frames.end(), driver.received.begin() + static_cast<long>(lead)));
            const lkplay::VerifyResult result = Check(driver, frames, dsd);
            EXPECT_TRUE(result.match) << result.message;
            EXPECT_EQ(result.offset, lead);
        }
    }
}

TEST(LkplayHost, LeadInPeriodsGoBeforeTheFileFromHalfOneOn) {
    FakeAsio driver;
    HostSettings settings;
    settings.leadInPeriods = 2;
    const std::vector<Frame> frames = Ramp(64 * 3, 3);
    Played played = Play(driver, settings, frames);
    ASSERT_TRUE(played.finished);
    EXPECT_TRUE(std::all_of(driver.halfOneAtStart.begin(), driver.halfOneAtStart.end(), [](const Frame& f) {
        return f == Frame{0, 0};
    }));
    const lkplay::VerifyResult result = Check(driver, frames, false);
    EXPECT_TRUE(result.match) << result.message;
    EXPECT_EQ(result.offset, 128u);
}

TEST(LkplayHost, DsdSetsTheFormatRateAndWordBuffers) {
    FakeAsio driver;
    HostSettings settings;
    settings.dsd = true;
    settings.rate = 2822400;
    const std::vector<Frame> frames = Ramp(300, 0x12345678);
    Played played = Play(driver, settings, frames);
    ASSERT_TRUE(played.finished);
    EXPECT_EQ(driver.ioFormat, kASIODSDFormat);
    EXPECT_EQ(driver.rate, 2822400);
    EXPECT_EQ(driver.createdSize, 64 * 32);
    EXPECT_EQ(driver.frames(), 64);
    const lkplay::VerifyResult result = Check(driver, frames, true);
    EXPECT_TRUE(result.match) << result.message;
    // No lead-in: the file's first frame comes first; the tail is DSD silence, not zeros.
    EXPECT_EQ(driver.received.front(), frames.front());
    EXPECT_EQ(result.offset, 0u);
    EXPECT_EQ(driver.received.back(), lkplay::SilenceFrame(true));
}

TEST(LkplayHost, BufferSizeOverrideAndDsdMultipleOf32) {
    {
        FakeAsio driver;
        HostSettings settings;
        settings.bufferSize = 100;
        Played played = Play(driver, settings, Ramp(500, 1));
        EXPECT_TRUE(played.finished);
        EXPECT_EQ(driver.createdSize, 100);
    }
    {
        FakeAsio driver;
        SpscQueue<Frame> queue;
        ASSERT_TRUE(queue.Init(16));
        AsioHost host(&driver, &queue);
        HostSettings settings;
        settings.dsd = true;
        settings.rate = 2822400;
        settings.bufferSize = 1000;
        HostFailure failure;
        EXPECT_FALSE(host.Prepare(settings, &failure));
        EXPECT_EQ(failure.step, HostStep::BufferSize);
        EXPECT_EQ(lkplay::ExitCodeFor(failure), lkplay::kExitDriverSetup);
        EXPECT_EQ(driver.calls.back(), "getBufferSize"); // refused before any buffer exists
    }
}

TEST(LkplayHost, DriverFailuresNameTheStepAndCarryTheDriversText) {
    struct Case {
        const char* name;
        void (*arrange)(FakeAsio&);
        bool dsd;
        HostStep step;
        int exitCode;
    };
    const Case cases[] = {
        {"init", [](FakeAsio& d) { d.initResult = false; }, false, HostStep::Init, lkplay::kExitDriverInit},
        {"one output", [](FakeAsio& d) { d.outputs = 1; }, false, HostStep::Channels,
         lkplay::kExitDriverInit},
        {"no dsd", [](FakeAsio& d) { d.canDoFormat = ASE_NotPresent; }, true, HostStep::IoFormat,
         lkplay::kExitUnsupported},
        {"rate", [](FakeAsio& d) { d.setRateResult = ASE_NoClock; }, false, HostStep::SampleRate,
         lkplay::kExitUnsupported},
        {"type", [](FakeAsio& d) { d.pcmType = 17; }, false, HostStep::ChannelType, lkplay::kExitUnsupported},
        {"buffers", [](FakeAsio& d) { d.createResult = ASE_NoMemory; }, false, HostStep::CreateBuffers,
         lkplay::kExitDriverSetup},
        {"start refused", [](FakeAsio& d) { d.startResult = ASE_NotPresent; }, false, HostStep::Start,
         lkplay::kExitUnsupported},
        {"start broken", [](FakeAsio& d) { d.startResult = ASE_HWMalfunction; }, false, HostStep::Start,
         lkplay::kExitDriverStart},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeAsio driver;
        driver.errorText = "fake driver says no";
        c.arrange(driver);
        SpscQueue<Frame> queue;
        ASSERT_TRUE(queue.Init(16));
        AsioHost host(&driver, &queue);
        HostSettings settings;
        settings.dsd = c.dsd;
        HostFailure failure;
        const bool ok = host.Prepare(settings, &failure) && host.Start(&failure);
        EXPECT_FALSE(ok);
        EXPECT_EQ(failure.step, c.step);
        EXPECT_EQ(lkplay::ExitCodeFor(failure), c.exitCode);
        if (failure.code != ASE_OK || c.step == HostStep::Init) {
            EXPECT_NE(failure.message.find("fake driver says no"), std::string::npos) << failure.message;
        }
        host.Shutdown();
        // Buffers that were created are given back; nothing is stopped that did not start.
        const bool created = c.step == HostStep::Start;
        EXPECT_EQ(driver.calls.back() == "disposeBuffers", created);
    }
}

TEST(LkplayHost, UnderrunPlaysSilenceAndCountsLatePeriods) {
    FakeAsio driver;
    driver.maxPeriods = 50;
    SpscQueue<Frame> queue;
    ASSERT_TRUE(queue.Init(64));
    AsioHost host(&driver, &queue);
    HostSettings settings;
    settings.leadInPeriods = 0;
    HostFailure failure;
    ASSERT_TRUE(host.Prepare(settings, &failure));
    ASSERT_TRUE(host.Start(&failure));
    driver.Join(); // all 50 periods run without any input
    EXPECT_FALSE(host.Finished());
    EXPECT_GE(host.Stats().latePeriods, 50u);
    host.Shutdown();
    for (const Frame& frame : driver.received)
        ASSERT_EQ(frame, (Frame{0, 0})); // silence, never the buffers' old contents
}

TEST(LkplayHost, CallbacksDoNotAllocate) {
    FakeAsio driver;
    const std::vector<Frame> frames = Ramp(64 * 40, 9);
    Played played = Play(driver, HostSettings{}, frames);
    ASSERT_TRUE(played.finished);
    EXPECT_EQ(driver.callbackAllocations, 0);
}

TEST(LkplayHost, MessagesAnsweredAsAHostShould) {
    FakeAsio driver;
    SpscQueue<Frame> queue;
    AsioHost host(&driver, &queue);
    EXPECT_EQ(host.OnMessage(kAsioSelectorSupported, kAsioSupportsTimeInfo), 1);
    EXPECT_EQ(host.OnMessage(kAsioSelectorSupported, kAsioResetRequest), 1);
    EXPECT_EQ(host.OnMessage(kAsioSelectorSupported, kAsioSetIoFormat), 0);
    EXPECT_EQ(host.OnMessage(kAsioEngineVersion, 0), 2);
    EXPECT_EQ(host.OnMessage(kAsioSupportsTimeCode, 0), 0);
    host.OnMessage(kAsioBufferSizeChange, 0);
    EXPECT_FALSE(host.ResetRequested()); // lkplay never changes the buffer size while playing
    host.OnMessage(kAsioResetRequest, 0);
    EXPECT_TRUE(host.ResetRequested()); // the stream cannot go on: the player stops it
    host.OnMessage(kAsioOverload, 0);
    EXPECT_EQ(host.Stats().resetRequests, 2u);
    EXPECT_EQ(host.Stats().overloads, 1u);
    EXPECT_EQ(host.OnMessage(kAsioSelectorSupported, kAsioOverload), 1);
}

TEST(LkplayHost, OverloadMessagesAreCountedAsTheyCome) {
    FakeAsio driver;
    driver.overloadEvery = 3;
    Played played = Play(driver, HostSettings{}, Ramp(64 * 40, 5));
    ASSERT_TRUE(played.finished);
    EXPECT_GT(driver.overloadsSent.load(), 10);
    EXPECT_EQ(played.stats.overloads, static_cast<uint64_t>(driver.overloadsSent.load()));
    EXPECT_EQ(played.stats.latePeriods, 0u); // drop-outs at the device are not the decoder's
}

TEST(LkplayHost, ResumeReplaysFromTheHistoryOnANewDriverObject) {
    const std::vector<Frame> frames = Ramp(64 * 30, 11);
    SpscQueue<Frame> queue;
    ASSERT_TRUE(queue.Init(frames.size()));
    ASSERT_EQ(queue.Push(frames.data(), frames.size()), frames.size());
    FakeAsio first;
    first.resetAfterPeriods = 9; // the prefill and 9 periods arrive: 640 frames
    first.maxPeriods = 12;
    AsioHost host(&first, &queue);
    ASSERT_TRUE(host.EnableReplay(512));
    HostFailure failure;
    ASSERT_TRUE(host.Prepare(HostSettings{}, &failure) && host.Start(&failure)) << failure.message;
    first.Join();
    host.Shutdown();
    EXPECT_TRUE(host.ResetRequested());
    EXPECT_EQ(first.received.size(), 640u);
    EXPECT_EQ(host.HalvesOut(), 13u); // the prefill and 12 callbacks, the last 3 after the loss
    EXPECT_EQ(host.HalvesBeforeReset(), 10u);
    uint64_t frame = 0;
    ASSERT_TRUE(host.StreamFrameAfterHalves(10, &frame));
    EXPECT_EQ(frame, 640u);
    EXPECT_EQ(host.FirstSoundOut(), 0);
    // What the history no longer holds, or what was never handed out, is refused.
    EXPECT_EQ(host.OldestReplayable(), 13u * 64 - 512);
    EXPECT_FALSE(host.ResumeAt(13u * 64 - 513));
    EXPECT_FALSE(host.ResumeAt(13u * 64 + 1));

    FakeAsio second;
    host.SetDriver(&second);
    ASSERT_TRUE(host.ResumeAt(frame));
    ASSERT_TRUE(host.Prepare(HostSettings{}, &failure) && host.Start(&failure)) << failure.message;
    host.EndOfInput();
    ASSERT_TRUE(WaitFor(host));
    host.Shutdown();
    EXPECT_EQ(host.Stats().framesPlayed, frames.size());
    ASSERT_GE(second.received.size(), frames.size() - 640);
    EXPECT_TRUE(std::equal(frames.begin() + 640, frames.end(), second.received.begin()));
}
