// lkplay end to end: files of each kind played through the driver library into the simulated
// Larkspur, checked bit for bit; and each bad input with its message and exit code.
#include "tools/lkplay/decoder.h"
#include "tools/lkplay/exit_codes.h"
#include "tools/lkplay/verify.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int code = -1;
    std::string output; // stdout and stderr together
};

// `env`: assignments for lkplay's environment, such as a fault for the simulated device.
Outcome Lkplay(const std::string& args, const std::string& env = {}) {
    Outcome run;
    const std::string command = (env.empty() ? "" : env + " ") + LKPLAY_BIN + " " + args + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
        run.output.append(chunk, n);
    const int status = pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool HaveSox() {
    static const bool have = std::system("sox --version >/dev/null 2>&1") == 0;
    return have;
}

class LkplayEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("lkplay_e2e_" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    // Test files begin with sound: the driver delivers every period from the first, so --verify finds
    // no lead-in.
    std::string Sox(const std::string& name, const std::string& format, const std::string& synth = "0.3") {
        const std::string path = Path(name);
        const std::string command =
            "sox -V1 -D -n " + format + " '" + path + "' synth " + synth + " sine 440 sine 660 2>/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return path;
    }

    std::string Dsd(const std::string& name, const std::string& rate, const char* seconds = "0.3") {
        const std::string path = Path(name);
        const std::string command =
            std::string(LKSAMPLE_BIN) + " --rate " + rate + " --seconds " + seconds + " '" + path + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return path;
    }

    fs::path m_dir;
};

} // namespace

TEST_F(LkplayEndToEnd, EveryKindArrivesBitExact) {
    if (!HaveSox())
        GTEST_SKIP() << "sox not available";
    const std::vector<std::string> files = {
        Sox("s16-44k.wav", "-r 44100 -b 16 -c 2"),
        Sox("s24-48k.wav", "-r 48000 -b 24 -c 2"),
        Sox("s24-44k.flac", "-r 44100 -b 24 -c 2"),
        Sox("s16-48k.flac", "-r 48000 -b 16 -c 2"),
        Sox("s24-384k.wav", "-r 384000 -b 24 -c 2"),
        Sox("mono-44k.aiff", "-r 44100 -b 16 -c 1"),
        Dsd("dsd64.dsf", "2822400"),
        Dsd("dsd64.dff", "2822400"),
        Dsd("dsd256.dsf", "11289600"),
        Dsd("dsd256.dff", "11289600"),
    };
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const Outcome run = Lkplay("--verify " + file);
        EXPECT_EQ(run.code, 0) << run.output;
        EXPECT_NE(run.output.find("bit-exact"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("after 0 frames of lead-in"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("Playing " + file), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("periods short of audio: 0"), std::string::npos) << run.output;
    }
}

TEST_F(LkplayEndToEnd, FloatArrivesAsItsConversion) {
    if (!HaveSox())
        GTEST_SKIP() << "sox not available";
    const std::string file = Sox("float.wav", "-r 48000 -e floating-point -b 32 -c 2");
    const Outcome run = Lkplay("--verify " + file);
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_NE(run.output.find("32-bit conversion from float"), std::string::npos) << run.output;
}

TEST_F(LkplayEndToEnd, BufferSizeCallbackKindAndSeveralFiles) {
    const std::string a = Dsd("a.dsf", "2822400", "0.2");
    const std::string b = Dsd("b.dff", "5644800", "0.2");
    Outcome run = Lkplay("--quiet --verify --buffer 4096 --no-time-info " + a + " " + b);
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(run.output.find("Playing"), std::string::npos) << run.output; // --quiet
    size_t verdicts = 0;
    for (size_t at = run.output.find("bit-exact"); at != std::string::npos;
         at = run.output.find("bit-exact", at + 1))
        ++verdicts;
    EXPECT_EQ(verdicts, 2u) << run.output;
    run = Lkplay("--buffer 1000 " + a);
    EXPECT_EQ(run.code, lkplay::kExitDriverSetup) << run.output;
    EXPECT_NE(run.output.find("multiple of 32"), std::string::npos) << run.output;
}

TEST_F(LkplayEndToEnd, CaptureHoldsWhatTheDeviceReceived) {
    const std::string source = Dsd("src.dsf", "2822400", "0.2");
    const std::string capture = Path("capture.dsf");
    const Outcome run = Lkplay("--quiet --capture " + capture + " " + source);
    ASSERT_EQ(run.code, 0) << run.output;
    // The capture is a DSF that FFmpeg reads back, with the source inside it unchanged.
    std::vector<std::vector<lkplay::Frame>> frames(2);
    const std::string paths[2] = {capture, source};
    for (int i = 0; i < 2; ++i) {
        lkplay::Decoder decoder;
        ASSERT_EQ(decoder.Open(paths[i]), lkplay::DecodeStatus::Ok) << decoder.error();
        EXPECT_TRUE(decoder.info().dsd);
        EXPECT_EQ(decoder.info().rate, 2822400);
        while (decoder.Read(frames[static_cast<size_t>(i)]) == lkplay::DecodeStatus::Ok) {
        }
    }
    // The source's frames, in order, after whatever silence came before them.
    const auto first = std::find_if(frames[0].begin(), frames[0].end(), [](const lkplay::Frame& f) {
        return !(f == lkplay::SilenceFrame(true));
    });
    const auto sound = std::find_if(frames[1].begin(), frames[1].end(), [](const lkplay::Frame& f) {
        return !(f == lkplay::SilenceFrame(true));
    });
    ASSERT_GE(frames[0].end() - first, frames[1].end() - sound);
    EXPECT_TRUE(std::equal(sound, frames[1].end(), first));

    if (HaveSox()) {
        const std::string wav = Sox("pcm.wav", "-r 44100 -b 16 -c 2", "0.2");
        const Outcome pcm = Lkplay("--quiet --capture " + Path("capture.wav") + " " + wav);
        ASSERT_EQ(pcm.code, 0) << pcm.output;
        lkplay::Decoder decoder;
        ASSERT_EQ(decoder.Open(Path("capture.wav")), lkplay::DecodeStatus::Ok) << decoder.error();
        EXPECT_EQ(decoder.info().samples, "32-bit integer");
    }
}

TEST_F(LkplayEndToEnd, BadInputsGetTheirMessageAndCode) {
    struct Case {
        std::string args;
        int code;
        const char* says;
    };
    std::ofstream(Path("words.wav")) << "not sound at all, only words\n";
    const std::string good = Dsd("good.dsf", "2822400", "0.5");
    fs::copy_file(good, Path("cut.dsf"));
    fs::resize_file(Path("cut.dsf"), fs::file_size(good) / 2);
    std::vector<Case> cases = {
        {Path("absent.flac"), lkplay::kExitMissing, "no such file"},
        {m_dir.string(), lkplay::kExitUnreadable, "is a directory"},
        {Path("words.wav"), lkplay::kExitNotAudio, "not an audio file"},
        {"--frobnicate x.wav", lkplay::kExitUsage, "unknown option"},
        {"--driver " + Path("nowhere.so") + " " + good, lkplay::kExitDriverLoad,
         "cannot load driver library"},
        {Path("cut.dsf"), lkplay::kExitDamaged, "truncated"},
        // 4096 frames a half: more than the driver's ring slots hold.
        {"--buffer 131072 " + good, lkplay::kExitDriverSetup, "createBuffers"},
    };
    if (HaveSox()) {
        cases.push_back({Sox("six.wav", "-r 44100 -b 16 -c 6"), lkplay::kExitUnsupported, "6 channels"});
        // Below the lowest rate the device's pin takes, and not to be resampled: the driver's
        // canSampleRate refuses it before any stream.
        cases.push_back(
            {"--no-resample " + Sox("low.wav", "-r 22050 -b 16 -c 2"), lkplay::kExitUnsupported, "22050 Hz"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome run = Lkplay(c.args);
        EXPECT_EQ(run.code, c.code) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
}

TEST_F(LkplayEndToEnd, CaptureNeverDestroysAFile) {
    const std::string song = Dsd("song.dsf", "2822400", "0.2");
    const uintmax_t size = fs::file_size(song);
    fs::create_hard_link(song, Path("link.dsf"));
    fs::create_symlink(song, Path("sym.dsf"));
    std::ofstream(Path("old.dsf")) << "keep me";
    fs::copy_file(song, Path("c-1.dsf"));
    std::ofstream(Path("plain")) << "a file, not a folder";
    struct Case {
        std::string args;
        int code;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"--verify --capture " + song + " " + song, lkplay::kExitCaptureIsInput, "is the input file"},
        {"--capture=" + Path("link.dsf") + " " + song, lkplay::kExitCaptureIsInput, "is the input file"},
        {"-y --capture " + Path("sym.dsf") + " " + song, lkplay::kExitCaptureIsInput, "is the input file"},
        // The first file's capture (c-1.dsf) would be the second input.
        {"--capture " + Path("c.dsf") + " " + song + " " + Path("c-1.dsf"), lkplay::kExitCaptureIsInput,
         "is the input file"},
        {"--capture " + Path("old.dsf") + " " + song, lkplay::kExitCaptureExists, "--force"},
        {"--capture " + Path("no/such/dir/c.dsf") + " " + song, lkplay::kExitCaptureUncreatable,
         "cannot create the capture file"},
        {"--capture " + Path("plain/c.dsf") + " " + song, lkplay::kExitCaptureUncreatable,
         "cannot create the capture file"},
        {"--capture " + m_dir.string() + " " + song, lkplay::kExitCaptureUncreatable, "is a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome run = Lkplay(c.args);
        EXPECT_EQ(run.code, c.code) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("Playing"), std::string::npos) << run.output; // refused before playing
    }
    EXPECT_EQ(fs::file_size(song), size);
    EXPECT_EQ(fs::file_size(Path("old.dsf")), 7u);
    EXPECT_FALSE(fs::exists(Path("no")));

    // With --force the existing file is replaced; a DSD capture named .wav becomes a DSF.
    Outcome run = Lkplay("--quiet --force --capture " + Path("old.dsf") + " " + song);
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_GT(fs::file_size(Path("old.dsf")), size / 2);
    run = Lkplay("--capture " + Path("dsd.wav") + " " + song);
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_TRUE(fs::exists(Path("dsd.dsf")));
    EXPECT_FALSE(fs::exists(Path("dsd.wav")));
    EXPECT_NE(run.output.find(Path("dsd.dsf")), std::string::npos) << run.output;

    // A capture that fails while playing is reported once, and playback goes on to its end.
    run = Lkplay("--force --capture /dev/full " + song);
    EXPECT_EQ(run.code, lkplay::kExitCapture) << run.output;
    const size_t said = run.output.find("cannot write /dev/full");
    ASSERT_NE(said, std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("cannot write /dev/full", said + 1), std::string::npos) << run.output;
}

TEST_F(LkplayEndToEnd, CutAndStreamedFilesPlayEveryFrame) {
    if (!HaveSox())
        GTEST_SKIP() << "sox not available";
    // A WAV written to a pipe carries placeholder sizes; it is complete, not damaged.
    const std::string piped = Path("piped.wav");
    const std::string pipe = "sox -V1 -D -n -r 44100 -b 16 -c 2 -t raw - synth 0.5 sine 440 | sox -V1 -t raw "
                             "-r 44100 -e signed -b 16 -c 2 - -t wav - 2>/dev/null | cat > '" +
                             piped + "'";
    ASSERT_EQ(std::system(pipe.c_str()), 0);
    Outcome run = Lkplay("--verify " + piped);
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_NE(run.output.find("bit-exact: 22050 frames"), std::string::npos) << run.output;

    // The same from standard input: FFmpeg finds the format in the stream.
    run = Lkplay("--capture " + Path("stdin-capture.wav") + " - < '" + piped + "'");
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_NE(run.output.find("Playing -"), std::string::npos) << run.output;

    // Cut mid-data, between two frames and inside one: every whole frame plays, then exit 6.
    const std::string whole = Sox("whole.wav", "-r 44100 -b 16 -c 2", "0.5");
    fs::copy_file(whole, Path("cut.wav"));
    fs::resize_file(Path("cut.wav"), 44 + 4 * 20000 + 3);
    run = Lkplay("--verify " + Path("cut.wav"));
    EXPECT_EQ(run.code, lkplay::kExitDamaged) << run.output;
    EXPECT_NE(run.output.find("truncated"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("bit-exact: 20000 frames"), std::string::npos) << run.output;

    // A DFF cut inside its data: 2 bytes a frame word per channel pair; 4 x 1234 + 3 bytes.
    const std::string dff = Dsd("whole.dff", "2822400", "0.3");
    const uintmax_t header = fs::file_size(dff) - static_cast<uintmax_t>(0.3 * 2822400 / 8 * 2);
    fs::copy_file(dff, Path("cut.dff"));
    fs::resize_file(Path("cut.dff"), header + 8 * 1234 + 3);
    run = Lkplay("--verify " + Path("cut.dff"));
    EXPECT_EQ(run.code, lkplay::kExitDamaged) << run.output;
    // 1234 whole words and a last one of one byte per channel, padded with silence.
    EXPECT_NE(run.output.find("bit-exact: 1235 frames"), std::string::npos) << run.output;
}

TEST_F(LkplayEndToEnd, SameRateFilesPlayAsOneGaplessStream) {
    const std::string a = Dsd("a.dsf", "2822400", "2");
    const std::string b = Path("b.dsf");
    const std::string make = std::string(LKSAMPLE_BIN) + " --freq 700 --seconds 2 '" + b + "'";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const auto started = std::chrono::steady_clock::now();
    const Outcome run = Lkplay("--verify --capture " + Path("seam.dsf") + " " + a + " " + b);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("two 2-second files, launch to exit: %.2f s\n", seconds); // measured, not asserted
    ASSERT_EQ(run.code, 0) << run.output;
    EXPECT_NE(run.output.find("right after the previous file"), std::string::npos) << run.output;

    // The captures of both files, end to end, are the two files back to back: the first frame of
    // the second right after the last of the first, nothing between.
    std::vector<lkplay::Frame> received, expected;
    for (const std::string& path : {Path("seam-1.dsf"), Path("seam-2.dsf")}) {
        lkplay::Decoder decoder;
        ASSERT_EQ(decoder.Open(path), lkplay::DecodeStatus::Ok) << decoder.error();
        while (decoder.Read(received) == lkplay::DecodeStatus::Ok) {
        }
    }
    for (const std::string& path : {a, b}) {
        lkplay::Decoder decoder;
        ASSERT_EQ(decoder.Open(path), lkplay::DecodeStatus::Ok) << decoder.error();
        while (decoder.Read(expected) == lkplay::DecodeStatus::Ok) {
        }
    }
    const auto silent = [](const lkplay::Frame& f) { return f == lkplay::SilenceFrame(true); };
    const auto heard = std::find_if_not(received.begin(), received.end(), silent);
    const auto sound = std::find_if_not(expected.begin(), expected.end(), silent);
    ASSERT_GE(received.end() - heard, expected.end() - sound);
    EXPECT_TRUE(std::equal(sound, expected.end(), heard));
}

TEST_F(LkplayEndToEnd, SignalsEndPlaybackWithTheirCodesAndAValidCapture) {
    const std::string song = Dsd("long.dsf", "2822400", "5");
    for (const auto& [signal, code] : std::vector<std::pair<int, int>>{{SIGTERM, 143}, {SIGINT, 130}}) {
        SCOPED_TRACE(signal);
        const std::string capture = Path("part-" + std::to_string(signal) + ".dsf");
        const pid_t child = fork();
        if (child == 0) {
            std::freopen("/dev/null", "w", stdout);
            execl(LKPLAY_BIN, LKPLAY_BIN, "--capture", capture.c_str(), song.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(child, 0);
        // Once the capture grows, playback is under way.
        for (int i = 0; i < 500 && !(fs::exists(capture) && fs::file_size(capture) > 92 + 8192); ++i)
            usleep(10000);
        kill(child, signal);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), code);
        lkplay::Decoder decoder;
        ASSERT_EQ(decoder.Open(capture), lkplay::DecodeStatus::Ok) << decoder.error();
        std::vector<lkplay::Frame> frames;
        lkplay::DecodeStatus last;
        do {
            last = decoder.Read(frames);
        } while (last == lkplay::DecodeStatus::Ok);
        EXPECT_EQ(last, lkplay::DecodeStatus::End) << decoder.error(); // its header holds what it has
        EXPECT_GT(frames.size(), 1024u);
        EXPECT_LT(frames.size(), 5u * 2822400 / 32);
    }
}

// The driver keeps calling back after the loss and the simulated device comes back on cue: lkplay
// takes the driver down, waits for the device on new driver objects and plays on, and the device has
// received every frame once and in order.
TEST_F(LkplayEndToEnd, ReconnectPlaysOnThroughAnUnplugAndAReplug) {
    const std::string fault = "LKSIM_FAULT=unplug@300,replug@800";
    std::vector<std::string> files = {Dsd("song.dsf", "2822400", "1.5")};
    if (HaveSox())
        files.push_back(Sox("song.flac", "-r 44100 -b 24 -c 2", "1.5"));
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const auto started = std::chrono::steady_clock::now();
        const Outcome run = Lkplay("--reconnect --verify " + file, fault);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_EQ(run.code, 0) << run.output;
        EXPECT_NE(run.output.find("device lost: "), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("device back after"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("bit-exact"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("after 0 frames of lead-in"), std::string::npos) << run.output;
        EXPECT_LT(seconds, 6.0) << run.output; // the file, the pause and the tries, not the 10 s limit

        // Without --reconnect the same loss ends playback.
        const Outcome lost = Lkplay("--verify " + file, fault);
        EXPECT_EQ(lost.code, lkplay::kExitDeviceLost) << lost.output;
        EXPECT_NE(lost.output.find("the device was lost during playback"), std::string::npos) << lost.output;
    }
}
