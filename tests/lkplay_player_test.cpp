// One file played from start to end by lkplay's player, against the stand-in driver: the decoder
// thread, the host, the progress output, the stall guard, capture and verification.
#include "tests/lkplay_fake_driver.h"
#include "tools/lkplay/audio_writers.h"
#include "tools/lkplay/decoder.h"
#include "tools/lkplay/player.h"
#include "tools/lkplay/resampler.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <chrono>
#include <algorithm>
#include <cstring>
#include <thread>
#include <tuple>
#include <filesystem>

namespace fs = std::filesystem;
using lkplay::Frame;
using lkplay_test::FakeAsio;

namespace {

FakeAsio* g_fake = nullptr;

size_t TakeAudio(void* out, size_t size) {
    return g_fake->Take(static_cast<Frame*>(out), size / sizeof(Frame)) * sizeof(Frame);
}

size_t ReceivedModes(uint32_t* out, size_t count) {
    if (out && count > 0)
        out[0] = g_fake->ioFormat == kASIODSDFormat ? lkplay::kDeviceModeDsd : lkplay::kDeviceModePcm;
    return 1;
}

void ClearRecord() {}

void AttachTap(int) {}

std::string Contents(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char chunk[1024];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    return text;
}

class LkplayPlayer : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("lkplay_player_" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
        g_fake = &m_fake;
        m_tap.Bind(&TakeAudio, &ReceivedModes, &ClearRecord, &AttachTap);
        m_out = std::tmpfile();
        m_err = std::tmpfile();
        m_context.createDriver = [this]() -> IASIO* { return m_createFails ? nullptr : &m_fake; };
        m_context.tap = &m_tap;
        m_context.options = &m_options;
        m_context.stopSignal = &m_stopSignal;
        m_context.out = m_out;
        m_context.err = m_err;
        m_context.stallSeconds = 0.2;
    }
    void TearDown() override {
        std::fclose(m_out);
        std::fclose(m_err);
        g_fake = nullptr;
        fs::remove_all(m_dir);
    }

    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    template <typename Writer> std::string Write(const std::string& name, uint32_t rate, size_t count) {
        m_frames.clear();
        for (size_t i = 0; i < count; ++i)
            m_frames.push_back({static_cast<uint32_t>(i * 2654435761u), static_cast<uint32_t>(~i * 40503u)});
        Writer writer;
        EXPECT_TRUE(writer.Open(Path(name), rate) && writer.Write(m_frames.data(), m_frames.size()) &&
                    writer.Close());
        return Path(name);
    }

    lkplay::ExitCode Play(const std::string& path, const std::string& capture = {}) {
        return lkplay::PlayFile(m_context, path, capture);
    }

    fs::path m_dir;
    FakeAsio m_fake;
    lkplay::DeviceTap m_tap;
    lkplay::Options m_options;
    std::atomic<int> m_stopSignal{0};
    lkplay::PlayContext m_context;
    std::FILE* m_out = nullptr;
    std::FILE* m_err = nullptr;
    bool m_createFails = false;
    std::vector<Frame> m_frames;
};

} // namespace

TEST_F(LkplayPlayer, PlaysVerifiesAndCaptures) {
    const std::string file = Write<lkplay::WavWriter>("a.wav", 48000, 3000);
    m_options.verify = true;
    EXPECT_EQ(Play(file, Path("capture.wav")), lkplay::kExitOk) << Contents(m_err);
    const std::string out = Contents(m_out);
    EXPECT_NE(out.find("Playing " + file), std::string::npos) << out;
    EXPECT_NE(out.find("verify: " + file + ": bit-exact: 3000 frames"), std::string::npos) << out;
    EXPECT_NE(out.find("periods short of audio: 0"), std::string::npos) << out;
    EXPECT_EQ(m_fake.rate, 48000);
    EXPECT_TRUE(Contents(m_err).empty());

    // The capture holds exactly what the device got.
    lkplay::Decoder decoder;
    ASSERT_EQ(decoder.Open(Path("capture.wav")), lkplay::DecodeStatus::Ok) << decoder.error();
    std::vector<Frame> captured;
    while (decoder.Read(captured) == lkplay::DecodeStatus::Ok) {
    }
    EXPECT_TRUE(captured == m_fake.received);
}

TEST_F(LkplayPlayer, DsdFileGoesOutAsDsd) {
    const std::string file = Write<lkplay::DsfWriter>("a.dsf", 5644800, 5000);
    m_options.verify = true;
    m_options.quiet = true;
    EXPECT_EQ(Play(file, Path("capture.dsf")), lkplay::kExitOk) << Contents(m_err);
    EXPECT_EQ(m_fake.ioFormat, kASIODSDFormat);
    EXPECT_EQ(m_fake.rate, 5644800);
    const std::string out = Contents(m_out);
    EXPECT_EQ(out.find("Playing"), std::string::npos) << out; // quiet
    EXPECT_NE(out.find("bit-exact"), std::string::npos) << out;
    lkplay::Decoder decoder;
    ASSERT_EQ(decoder.Open(Path("capture.dsf")), lkplay::DecodeStatus::Ok) << decoder.error();
    EXPECT_TRUE(decoder.info().dsd);
}

TEST_F(LkplayPlayer, ADamagedReceptionFailsVerification) {
    const std::string file = Write<lkplay::WavWriter>("a.wav", 44100, 2000);
    m_options.verify = true;
    m_fake.corruptFrame = 1500; // inside the file
    EXPECT_EQ(Play(file), lkplay::kExitMismatch);
    const std::string out = Contents(m_out);
    EXPECT_NE(out.find("MISMATCH"), std::string::npos) << out;
}

TEST_F(LkplayPlayer, ADriverThatNeverCallsBackIsCaught) {
    const std::string file = Write<lkplay::WavWriter>("a.wav", 44100, 2000);
    m_fake.callBack = false;
    EXPECT_EQ(Play(file), lkplay::kExitStreamStall);
    EXPECT_NE(Contents(m_err).find("stopped calling back"), std::string::npos);
    EXPECT_EQ(m_fake.calls.back(), "disposeBuffers"); // and the driver was taken down
}

TEST_F(LkplayPlayer, SignalsStopPlaybackWithTheirOwnCodes) {
    const std::string file = Write<lkplay::WavWriter>("a.wav", 44100, 2000);
    m_fake.callBack = false;
    m_context.stallSeconds = 30;
    std::thread terminate([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        m_stopSignal = SIGTERM;
    });
    EXPECT_EQ(Play(file, Path("cut.wav")), lkplay::kExitTerminated);
    terminate.join();
    EXPECT_EQ(m_fake.calls.back(), "disposeBuffers"); // the driver was taken down
    EXPECT_TRUE(fs::exists(Path("cut.wav")));         // and the capture closed as a valid file
    lkplay::Decoder capture;
    EXPECT_EQ(capture.Open(Path("cut.wav")), lkplay::DecodeStatus::Ok) << capture.error();

    // Interrupted before anything started: nothing is asked of the driver.
    FakeAsio other;
    m_context.createDriver = [&other]() -> IASIO* { return &other; };
    m_stopSignal = SIGINT;
    EXPECT_EQ(Play(file), lkplay::kExitInterrupted);
    EXPECT_TRUE(other.calls.empty());
}

TEST_F(LkplayPlayer, TruncatedFilePlaysWhatItHasThenFails) {
    const std::string file = Write<lkplay::WavWriter>("a.wav", 44100, 20000);
    fs::resize_file(file, 44 + 8 * 10000 + 3);
    m_options.verify = true;
    EXPECT_EQ(Play(file), lkplay::kExitDamaged);
    EXPECT_NE(Contents(m_err).find("truncated"), std::string::npos) << Contents(m_err);
}

TEST_F(LkplayPlayer, NoDriverObject) {
    const std::string file = Write<lkplay::WavWriter>("a.wav", 44100, 100);
    m_createFails = true;
    EXPECT_EQ(Play(file), lkplay::kExitDriverLoad);
    EXPECT_TRUE(m_fake.calls.empty());
}

TEST_F(LkplayPlayer, ALostDeviceEndsPlaybackAndKeepsTheCaptureValid) {
    const std::string file = Write<lkplay::WavWriter>("a.wav", 44100, 20000);
    m_fake.resetAfterPeriods = 100; // half 1 and 100 periods in (6464 frames), the device is gone
    m_fake.maxPeriods = 1000;
    m_context.stallSeconds = 30; // the reset request, not the stall guard, ends it
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Play(file, Path("part.wav")), lkplay::kExitDeviceLost);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(seconds, 2.5);
    EXPECT_NE(Contents(m_err).find("the device was lost during playback: The Larkspur was disconnected"),
              std::string::npos)
        << Contents(m_err);
    EXPECT_EQ(m_fake.calls.back(), "disposeBuffers");
    // The capture is a valid WAV of what arrived before the loss.
    lkplay::Decoder decoder;
    ASSERT_EQ(decoder.Open(Path("part.wav")), lkplay::DecodeStatus::Ok) << decoder.error();
    std::vector<Frame> captured;
    EXPECT_EQ(decoder.Read(captured), lkplay::DecodeStatus::Ok);
    while (decoder.Read(captured) == lkplay::DecodeStatus::Ok) {
    }
    ASSERT_EQ(captured.size(), 6464u);
    EXPECT_TRUE(std::equal(captured.begin(), captured.end(), m_frames.begin()));
}

TEST_F(LkplayPlayer, ReconnectPlaysOnFromTheFrameAfterTheLastOneReceived) {
    for (int safety : {0, 2}) {
        SCOPED_TRACE(safety);
        FakeAsio fake;
        g_fake = &fake;
        m_context.createDriver = [&fake]() -> IASIO* { return &fake; };
        std::rewind(m_out);
        const std::string file = Write<lkplay::WavWriter>("a.wav", 44100, 20000);
        fake.safetyPeriods = safety;
        fake.resetAfterPeriods = 100;
        fake.initFailuresAfterLoss = 3; // back at the fourth try
        m_options.verify = true;
        m_options.reconnect = true;
        m_context.reconnectPollMs = 20;
        m_context.stallSeconds = 30;
        const std::string capture = Path("whole-" + std::to_string(safety) + ".wav");
        EXPECT_EQ(Play(file, capture), lkplay::kExitOk) << Contents(m_err);
        const std::string out = Contents(m_out);
        EXPECT_NE(out.find("device lost: The Larkspur was disconnected; waiting up to 10 s"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("playing on from frame 6464"), std::string::npos) << out;
        EXPECT_NE(out.find("bit-exact: 20000 frames received bit for bit, after " +
                           std::to_string(64 * safety) + " frames of lead-in"),
                  std::string::npos)
            << out;
        EXPECT_EQ(fake.initCalls, 1 + 4);
        EXPECT_EQ(fake.starts, 2);
        // The capture holds the file once, in order: no second lead-in where the device came back.
        lkplay::Decoder decoder;
        ASSERT_EQ(decoder.Open(capture), lkplay::DecodeStatus::Ok) << decoder.error();
        std::vector<Frame> captured;
        while (decoder.Read(captured) == lkplay::DecodeStatus::Ok) {
        }
        const size_t lead = 64 * static_cast<size_t>(safety);
        ASSERT_GE(captured.size(), lead + m_frames.size());
        EXPECT_TRUE(std::equal(m_frames.begin(), m_frames.end(), captured.begin() + static_cast<long>(lead)));
        fs::remove(file);
    }
    g_fake = &m_fake;
}

TEST_F(LkplayPlayer, ReconnectWithoutATapGoesBackOverTheHalvesInFlight) {
    const std::string file = Write<lkplay::WavWriter>("a.wav", 44100, 20000);
    lkplay::DeviceTap none; // a real driver: nothing tells what the device received
    m_context.tap = &none;
    m_fake.resetAfterPeriods = 100;
    m_fake.initFailuresAfterLoss = 0;
    m_options.reconnect = true;
    m_context.stallSeconds = 30;
    EXPECT_EQ(Play(file), lkplay::kExitOk) << Contents(m_err);
    // Half 1 and 100 periods arrived; lkplay played on from two halves before the reset request, so
    // the device got those twice and lost nothing.
    const long seam = 101 * 64, back = 99 * 64;
    ASSERT_GE(m_fake.received.size(), static_cast<size_t>(seam - back) + m_frames.size());
    EXPECT_TRUE(std::equal(m_frames.begin(), m_frames.begin() + seam, m_fake.received.begin()));
    EXPECT_TRUE(std::equal(m_frames.begin() + back, m_frames.end(), m_fake.received.begin() + seam));
}

TEST_F(LkplayPlayer, ReconnectGivesUpWhenTheDeviceStaysAway) {
    const std::string file = Write<lkplay::WavWriter>("a.wav", 44100, 20000);
    m_fake.resetAfterPeriods = 50;
    m_options.reconnect = true;
    m_context.reconnectPollMs = 10;
    m_context.reconnectTimeoutMs = 100;
    m_context.stallSeconds = 30;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Play(file, Path("part.wav")), lkplay::kExitDeviceLost);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(seconds, 2.0);
    EXPECT_NE(
        Contents(m_err).find("the device was lost during playback: The Larkspur was disconnected; it did "
                             "not come back within 0.1 s"),
        std::string::npos)
        << Contents(m_err);
    // Tried at once and every 10 ms for 100 ms.
    EXPECT_GE(m_fake.initCalls, 1 + 8);
    EXPECT_LE(m_fake.initCalls, 1 + 12);
    EXPECT_EQ(m_fake.starts, 1);
    lkplay::Decoder decoder;
    EXPECT_EQ(decoder.Open(Path("part.wav")), lkplay::DecodeStatus::Ok) << decoder.error();
}

TEST_F(LkplayPlayer, DeviceDropOutsAreCountedApartFromShortPeriods) {
    const std::string file = Write<lkplay::WavWriter>("a.wav", 44100, 6400);
    m_fake.overloadEvery = 10;
    EXPECT_EQ(Play(file), lkplay::kExitOk) << Contents(m_err);
    const std::string out = Contents(m_out);
    EXPECT_NE(out.find("periods short of audio: 0, device drop-outs: " +
                       std::to_string(m_fake.overloadsSent.load()) + "\n"),
              std::string::npos)
        << out;
    EXPECT_GE(m_fake.overloadsSent.load(), 10);
}

TEST_F(LkplayPlayer, ADriverThatLosesTheFirstPeriodIsCaughtByVerify) {
    const std::string file = Write<lkplay::WavWriter>("a.wav", 44100, 3000);
    m_options.verify = true;
    m_fake.legacyPriming = true;
    EXPECT_EQ(Play(file), lkplay::kExitMismatch);
    EXPECT_NE(Contents(m_out).find("MISMATCH: frame 0 of the file"), std::string::npos) << Contents(m_out);
}

TEST_F(LkplayPlayer, RatesTheDeviceRefusesAreResampledWithinTheirFamily) {
    m_options.verify = true;
    for (const auto& [rate, target, name] : std::vector<std::tuple<uint32_t, double, std::string>>{
             {22050, 44100, "44.1 kHz"}, {8000, 48000, "48 kHz"}, {11025, 44100, "44.1 kHz"}}) {
        SCOPED_TRACE(rate);
        FakeAsio fake;
        m_context.createDriver = [&fake]() -> IASIO* { return &fake; };
        g_fake = &fake;
        std::rewind(m_out);
        const std::string file = Write<lkplay::WavWriter>("low.wav", rate, 4000);
        EXPECT_EQ(Play(file), lkplay::kExitOk) << Contents(m_err);
        EXPECT_EQ(fake.rate, target);
        const std::string out = Contents(m_out);
        EXPECT_NE(out.find("resampled to " + name + ": the device does not play"), std::string::npos) << out;
        EXPECT_NE(out.find("not verified: resampled from"), std::string::npos) << out;
        // The file's length at the device's rate, give or take the filter's edges.
        const double expected = 4000.0 * target / rate;
        const auto last = std::find_if(fake.received.rbegin(), fake.received.rend(), [](const Frame& f) {
            return !(f == Frame{0, 0});
        });
        EXPECT_NEAR(static_cast<double>(fake.received.rend() - last), expected, expected * 0.02);
        fs::remove(file);
    }
    g_fake = &m_fake;
    m_context.createDriver = [this]() -> IASIO* { return &m_fake; };

    // --no-resample refuses instead, before any buffer is made.
    m_options.noResample = true;
    const std::string file = Write<lkplay::WavWriter>("low.wav", 22050, 1000);
    EXPECT_EQ(Play(file), lkplay::kExitUnsupported);
    EXPECT_NE(
        Contents(m_err).find("the device does not play 22.05 kHz (22050 Hz); --no-resample keeps lkplay "
                             "from resampling it to 44.1 kHz"),
        std::string::npos)
        << Contents(m_err);
    EXPECT_EQ(std::count(m_fake.calls.begin(), m_fake.calls.end(), "createBuffers"), 0);

    // DSD at a rate the device refuses cannot be resampled.
    m_options.noResample = false;
    const std::string dsd = Write<lkplay::DsfWriter>("odd.dsf", 2822400 * 8, 1000);
    EXPECT_EQ(Play(dsd), lkplay::kExitUnsupported);
    EXPECT_NE(Contents(m_err).find("the device does not play DSD512"), std::string::npos) << Contents(m_err);
}

TEST(LkplayRates, NearestRateOfTheSameFamily) {
    const auto all = [](double) { return true; };
    EXPECT_EQ(lkplay::NearestFamilyRate(22050, all), 44100);
    EXPECT_EQ(lkplay::NearestFamilyRate(11025, all), 44100);
    EXPECT_EQ(lkplay::NearestFamilyRate(8000, all), 48000);
    EXPECT_EQ(lkplay::NearestFamilyRate(32000, all), 48000);
    EXPECT_EQ(lkplay::NearestFamilyRate(1411200, all), 705600);
    const auto high = [](double rate) { return rate >= 176400; };
    EXPECT_EQ(lkplay::NearestFamilyRate(44100, high), 176400);
    EXPECT_EQ(lkplay::NearestFamilyRate(48000, high), 192000);
    EXPECT_EQ(lkplay::NearestFamilyRate(44100, [](double) { return false; }), 0);
}

TEST_F(LkplayPlayer, AFileThatCannotBeOpenedSplitsTheListAndTheRestPlays) {
    const std::string a = Write<lkplay::WavWriter>("a.wav", 44100, 3000);
    const std::string b = Write<lkplay::WavWriter>("b.wav", 44100, 2000);
    m_options.verify = true;
    std::vector<lkplay::PlayItem> items;
    for (const std::string& path : {a, Path("missing.wav"), b})
        items.push_back(lkplay::OpenItem(path));
    EXPECT_EQ(lkplay::PlayItems(m_context, items), lkplay::kExitMissing);
    const std::string out = Contents(m_out);
    EXPECT_NE(out.find("verify: " + a + ": bit-exact: 3000 frames"), std::string::npos) << out;
    EXPECT_NE(out.find("verify: " + b + ": bit-exact: 2000 frames"), std::string::npos) << out;
    EXPECT_NE(Contents(m_err).find("missing.wav: no such file"), std::string::npos) << Contents(m_err);
    EXPECT_EQ(std::count(m_fake.calls.begin(), m_fake.calls.end(), "start"), 2); // two streams
}
