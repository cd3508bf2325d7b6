// lkplay's command line, terminal display and verification of the received stream.
#include "tests/lkplay_fake_driver.h"
#include "tools/lkplay/display.h"
#include "tools/lkplay/options.h"
#include "tools/lkplay/verify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

using lkplay::Frame;

namespace {

bool Parse(std::vector<const char*> args, lkplay::Options* options, std::string* error) {
    args.insert(args.begin(), "lkplay");
    return lkplay::ParseOptions(static_cast<int>(args.size()), args.data(), options, error);
}

lkplay::StreamVerifier::OpenReference Source(std::vector<Frame> frames) {
    return [frames](std::string*) { return std::make_unique<lkplay_test::VectorSource>(frames); };
}

// One file; the player played `played` frames of it (all by default).
lkplay::VerifyResult Verify(const std::vector<Frame>& received, const std::vector<Frame>& file,
                            size_t pieces = 1, long played = -1) {
    lkplay::StreamVerifier verifier(Frame{0, 0});
    verifier.AddFile(Source(file));
    verifier.SetPlayed(0, played < 0 ? file.size() : static_cast<size_t>(played));
    const size_t step = std::max<size_t>(1, (received.size() + pieces - 1) / pieces);
    for (size_t at = 0; at < received.size(); at += step)
        verifier.Received(received.data() + at, std::min(step, received.size() - at));
    verifier.Finish();
    return verifier.Result(0);
}

} // namespace

TEST(LkplayOptions, ParsesEverythingAndRefusesNonsense) {
    lkplay::Options options;
    std::string error;
    ASSERT_TRUE(Parse({"--buffer", "512", "--verify", "-q", "--capture", "c.wav", "a.wav", "--", "--odd.wav"},
                      &options, &error))
        << error;
    EXPECT_EQ(options.bufferSize, 512);
    EXPECT_TRUE(options.verify);
    EXPECT_TRUE(options.quiet);
    EXPECT_EQ(options.capturePath, "c.wav");
    EXPECT_EQ(options.files, (std::vector<std::string>{"a.wav", "--odd.wav"}));

    for (std::vector<const char*> bad :
         std::vector<std::vector<const char*>>{{"--buffer", "0", "a.wav"},
                                               {"--buffer", "12x", "a.wav"},
                                               {"--buffer", "99999999999", "a.wav"},
                                               {"--buffer", "-5", "a.wav"},
                                               {"a.wav", "--capture"},
                                               {"--frobnicate", "a.wav"},
                                               {"--verify"}}) {
        lkplay::Options o;
        std::string e;
        EXPECT_FALSE(Parse(bad, &o, &e)) << bad[0];
        EXPECT_FALSE(e.empty());
    }
    lkplay::Options help;
    EXPECT_TRUE(Parse({"--help"}, &help, &error));
    EXPECT_TRUE(help.help);
}

TEST(LkplayOptions, ValuesAfterAnEqualsSignAndTheUnixFlags) {
    lkplay::Options options;
    std::string error;
    ASSERT_TRUE(Parse({"--buffer=256", "--capture=out=1.wav", "--driver", "d.so", "-y", "--no-resample",
                       "--reconnect", "-"},
                      &options, &error))
        << error;
    EXPECT_EQ(options.bufferSize, 256);
    EXPECT_EQ(options.capturePath, "out=1.wav"); // only the first '=' splits
    EXPECT_EQ(options.driverPath, "d.so");
    EXPECT_TRUE(options.force);
    EXPECT_TRUE(options.noResample);
    EXPECT_TRUE(options.reconnect);
    EXPECT_EQ(options.files, (std::vector<std::string>{"-"}));

    lkplay::Options version;
    EXPECT_TRUE(Parse({"--version"}, &version, &error)); // no file needed
    EXPECT_TRUE(version.version);
    EXPECT_EQ(lkplay::VersionText().rfind("lkplay ", 0), 0u);

    for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{{"--buffer=", "a.wav"},
                                                                              {"--capture=", "a.wav"},
                                                                              {"--verify=yes", "a.wav"},
                                                                              {"--reconnect=1", "a.wav"},
                                                                              {"--buffer=x1", "a.wav"}}) {
        lkplay::Options o;
        std::string e;
        EXPECT_FALSE(Parse(bad, &o, &e)) << bad[0];
        EXPECT_FALSE(e.empty());
    }
}

TEST(LkplayOptions, HelpListsEveryExitCode) {
    const std::string help = lkplay::HelpText();
    for (const char* code : {" 0 ", " 1 ", " 2 ", " 3 ", " 4 ", " 5 ", " 6 ", " 7 ", " 8 ",  " 9 ",
                             "10 ", "11 ", "12 ", "13 ", "14 ", "15 ", "16 ", "17 ", "130 ", "143 "})
        EXPECT_NE(help.find(code), std::string::npos) << code;
}

TEST(LkplayOptions, CapturePathPerFile) {
    EXPECT_EQ(lkplay::CapturePathFor("out.wav", 0, 1), "out.wav");
    EXPECT_EQ(lkplay::CapturePathFor("out.wav", 1, 3), "out-2.wav");
    EXPECT_EQ(lkplay::CapturePathFor("dir.v2/out", 0, 2), "dir.v2/out-1");
    EXPECT_EQ(lkplay::CapturePathFor("dir/.hidden", 0, 2), "dir/.hidden-1");
}

TEST(LkplayDisplay, RatesAndTimes) {
    EXPECT_EQ(lkplay::RateName(44100, false), "44.1 kHz");
    EXPECT_EQ(lkplay::RateName(384000, false), "384 kHz");
    EXPECT_EQ(lkplay::RateName(2822400, true), "DSD64 (2.8224 MHz)");
    EXPECT_EQ(lkplay::RateName(11289600, true), "DSD256 (11.2896 MHz)");
    EXPECT_EQ(lkplay::RateName(3072000, true), "DSD64, 48 kHz family (3.072 MHz)");
    EXPECT_EQ(lkplay::FormatDuration(0), "0:00");
    EXPECT_EQ(lkplay::FormatDuration(59.99), "0:59");
    EXPECT_EQ(lkplay::FormatDuration(754), "12:34");
    EXPECT_EQ(lkplay::FormatDuration(3723), "1:02:03");
    EXPECT_EQ(lkplay::FormatDuration(-1), "--:--");
}

TEST(LkplayDisplay, HeaderAndProgressLine) {
    lkplay::StreamInfo info;
    info.dsd = true;
    info.rate = 2822400;
    info.channels = 2;
    info.container = "dsf";
    info.codec = "dsd_lsbf_planar";
    info.samples = "1-bit DSD, LSB first";
    info.totalSamples = 2822400 * 65;
    EXPECT_EQ(lkplay::FormatHeader("a.dsf", info, 32768),
              "Playing a.dsf\n  dsf/dsd_lsbf_planar, 1-bit DSD, LSB first, stereo, DSD64 (2.8224 MHz), 1:05, "
              "buffer 32768 samples (11.6 ms)\n");
    lkplay::HostStats stats;
    stats.latePeriods = 2;
    stats.lateCallbacks = 1;
    stats.overloads = 3;
    EXPECT_EQ(lkplay::FormatProgress(5, 10, stats, 10),
              "[#####-----]  0:05 / 0:10  late callbacks: 1, periods short of audio: 2, device drop-outs: 3");
    EXPECT_EQ(lkplay::FormatProgress(12, 10, stats, 4),
              "[####]  0:12 / 0:10  late callbacks: 1, periods short of audio: 2, device drop-outs: 3");
    EXPECT_EQ(lkplay::FormatProgress(3, -1, {}, 10),
              "0:03 / --:--  late callbacks: 0, periods short of audio: 0, device drop-outs: 0");
}

TEST(LkplayVerify, FindsTheFileAfterTheLeadIn) {
    const std::vector<Frame> file = {{0, 0}, {1, 2}, {3, 4}, {0, 0}, {5, 6}};
    std::vector<Frame> received(7, Frame{0, 0}); // lead-in, of which the file's leading silence is part
    received.insert(received.end(), file.begin() + 1, file.end());
    received.insert(received.end(), 20, Frame{0xAA, 0xAA}); // whatever follows is not the file's
    for (size_t pieces : {1u, 2u, 5u}) {
        const lkplay::VerifyResult result = Verify(received, file, pieces);
        EXPECT_TRUE(result.match) << result.message;
        EXPECT_EQ(result.offset, 6u);
        EXPECT_EQ(result.frames, 5u);
    }
}

TEST(LkplayVerify, ReportsChangedMissingAndEarlyFrames) {
    const std::vector<Frame> file = {{1, 2}, {3, 4}, {5, 6}};
    std::vector<Frame> changed = {{0, 0}, {1, 2}, {3, 5}, {5, 6}};
    lkplay::VerifyResult result = Verify(changed, file);
    EXPECT_FALSE(result.match);
    EXPECT_NE(result.message.find("frame 1 of the file"), std::string::npos) << result.message;

    const std::vector<Frame> cut = {{0, 0}, {1, 2}, {3, 4}};
    result = Verify(cut, file);
    EXPECT_FALSE(result.match);
    EXPECT_NE(result.message.find("already ended"), std::string::npos) << result.message;

    // Swapped channels are a difference too.
    result = Verify({{2, 1}, {4, 3}, {6, 5}}, file);
    EXPECT_FALSE(result.match);

    // The file starts with two frames of silence; sound arriving at once means frames went missing.
    result = Verify({{9, 9}}, {{0, 0}, {0, 0}, {9, 9}});
    EXPECT_FALSE(result.match);

    EXPECT_FALSE(Verify({}, file).match);
}

TEST(LkplayVerify, SilentFile) {
    EXPECT_TRUE(Verify({{0, 0}, {0, 0}, {0, 0}, {7, 7}}, {{0, 0}, {0, 0}}).match);
    EXPECT_FALSE(Verify({{0, 0}, {7, 7}}, {{0, 0}, {0, 0}}).match);
}

TEST(LkplayVerify, FilesOfOneStreamAreCheckedEachAcrossTheSeam) {
    const std::vector<Frame> a = {{1, 1}, {2, 2}, {3, 3}}, b = {{4, 4}, {5, 5}}, c = {{6, 6}};
    std::vector<Frame> received = {{0, 0}, {0, 0}}; // lead-in
    for (const auto* file : {&a, &b, &c})
        received.insert(received.end(), file->begin(), file->end());
    received.push_back({0, 0});    // the silence after the stream
    received[2 + 3 + 1].left ^= 1; // the second frame of b

    lkplay::StreamVerifier verifier(Frame{0, 0});
    verifier.AddFile(Source(a));
    verifier.AddFile(Source(b));
    verifier.AddFile([](std::string* whyNot) -> std::unique_ptr<lkplay::FrameSource> {
        *whyNot = "resampled";
        return nullptr;
    });
    verifier.SetPlayed(0, 3);
    verifier.SetPlayed(1, 2);
    verifier.SetPlayed(2, 1);
    for (const Frame& frame : received) // one frame at a time: results settle as the seams pass
        verifier.Received(&frame, 1);
    EXPECT_EQ(verifier.Settled(), 3u); // the silence after the stream passed the last seam too
    verifier.Finish();
    EXPECT_TRUE(verifier.Result(0).match) << verifier.Result(0).message;
    EXPECT_EQ(verifier.Result(0).offset, 2u);
    EXPECT_NE(verifier.Result(0).message.find("after 2 frames of lead-in"), std::string::npos);
    EXPECT_FALSE(verifier.Result(1).match);
    EXPECT_NE(verifier.Result(1).message.find("frame 1 of the file"), std::string::npos)
        << verifier.Result(1).message;
    EXPECT_FALSE(verifier.Result(2).verified);
    EXPECT_EQ(verifier.Result(2).message, "resampled");
}

TEST(LkplayVerify, FrameCountMustMatchWhatTheFileHolds) {
    // The player drops the file's last two frames, which are silence: every frame that arrived is
    // right, only the count tells.
    const std::vector<Frame> file = {{1, 1}, {2, 2}, {0, 0}, {0, 0}};
    const std::vector<Frame> received = {{1, 1}, {2, 2}, {0, 0}, {0, 0}, {0, 0}};
    lkplay::VerifyResult result = Verify(received, file, 1, 2);
    EXPECT_FALSE(result.match);
    EXPECT_NE(result.message.find("handed the driver 2 frames of the file, which holds 4"), std::string::npos)
        << result.message;
    // And a player that played more than the file holds.
    result = Verify(received, {{1, 1}, {2, 2}}, 1, 3);
    EXPECT_FALSE(result.match);
    EXPECT_TRUE(Verify(received, file, 3).match);
}
