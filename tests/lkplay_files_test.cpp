// lkplay's file side: the writers, the DSD test signal and the decoder over real files of each kind.
#include "tools/lkplay/audio_writers.h"
#include "tools/lkplay/decoder.h"
#include "tools/lkplay/dsd_modulator.h"
#include "tools/lkplay/reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

using lkplay::Decoder;
using lkplay::DecodeStatus;
using lkplay::Frame;

namespace fs = std::filesystem;

namespace {

class LkplayFiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("lkplay_files_" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    // Runs sox to make a test file; skips the test where sox is missing.
    std::string Sox(const std::string& name, const std::string& format, const std::string& synth) {
        if (std::system("sox --version >/dev/null 2>&1") != 0)
            return {};
        const std::string path = Path(name);
        const std::string cmd = "sox -V1 -n " + format + " '" + path + "' synth " + synth + " 2>/dev/null";
        return std::system(cmd.c_str()) == 0 ? path : std::string();
    }

    // The same audio in another container.
    std::string SoxConvert(const std::string& from, const std::string& name) {
        const std::string path = Path(name);
        const std::string cmd = "sox -V1 '" + from + "' '" + path + "' 2>/dev/null";
        return std::system(cmd.c_str()) == 0 ? path : std::string();
    }

    void Truncate(const std::string& from, const std::string& to, uintmax_t size) {
        fs::copy_file(from, to);
        fs::resize_file(to, size);
    }

    fs::path m_dir;
};

struct Decoded {
    DecodeStatus open = DecodeStatus::Ok;
    DecodeStatus last = DecodeStatus::Ok;
    lkplay::StreamInfo info;
    std::vector<Frame> frames;
    std::string error;
};

Decoded DecodeAll(const std::string& path) {
    Decoded d;
    Decoder decoder;
    d.open = decoder.Open(path);
    d.error = decoder.error();
    if (d.open != DecodeStatus::Ok)
        return d;
    d.info = decoder.info();
    do {
        d.last = decoder.Read(d.frames);
    } while (d.last == DecodeStatus::Ok);
    d.error = decoder.error();
    return d;
}

std::vector<Frame> DsdSignal(size_t frames, double rate) {
    lkplay::SineDsdModulator left(rate, 1000, 0.4), right(rate, 1500, 0.4);
    std::vector<Frame> out(frames);
    for (Frame& f : out)
        f = {left.NextWord(), right.NextWord()};
    return out;
}

template <typename Writer>
bool WriteFile(const std::string& path, uint32_t rate, const std::vector<Frame>& frames) {
    Writer writer;
    return writer.Open(path, rate) && writer.Write(frames.data(), frames.size()) && writer.Close();
}

} // namespace

TEST_F(LkplayFiles, DsfAndDffRoundTripBitExactThroughFfmpeg) {
    // 1500 words per channel: not a whole DSF block, so the last block carries padding.
    const std::vector<Frame> signal = DsdSignal(1500, 2822400);
    ASSERT_TRUE(WriteFile<lkplay::DsfWriter>(Path("a.dsf"), 2822400, signal));
    ASSERT_TRUE(WriteFile<lkplay::DffWriter>(Path("a.dff"), 2822400, signal));
    for (const char* name : {"a.dsf", "a.dff"}) {
        SCOPED_TRACE(name);
        const Decoded d = DecodeAll(Path(name));
        ASSERT_EQ(d.open, DecodeStatus::Ok) << d.error;
        EXPECT_EQ(d.last, DecodeStatus::End) << d.error;
        EXPECT_TRUE(d.info.dsd);
        EXPECT_EQ(d.info.rate, 2822400);
        EXPECT_EQ(d.info.channels, 2);
        ASSERT_EQ(d.frames.size(), signal.size());
        EXPECT_TRUE(d.frames == signal);
    }
}

TEST_F(LkplayFiles, DsdRateFamilies) {
    for (uint32_t rate : {11289600u, 3072000u}) {
        const std::vector<Frame> signal = DsdSignal(4096, rate);
        ASSERT_TRUE(WriteFile<lkplay::DsfWriter>(Path("r.dsf"), rate, signal));
        const Decoded d = DecodeAll(Path("r.dsf"));
        ASSERT_EQ(d.open, DecodeStatus::Ok) << d.error;
        EXPECT_EQ(d.info.rate, rate);
        EXPECT_TRUE(d.frames == signal);
        fs::remove(Path("r.dsf"));
    }
}

TEST_F(LkplayFiles, ModulatorMakesABalancedBitStream) {
    // A sine through the loop: about as many ones as zeros, and never stuck.
    const std::vector<Frame> signal = DsdSignal(10000, 2822400);
    long ones = 0;
    for (const Frame& f : signal)
        ones += std::popcount(f.left);
    const double fraction = static_cast<double>(ones) / (signal.size() * 32.0);
    EXPECT_NEAR(fraction, 0.5, 0.01);
    EXPECT_NE(signal[100].left, signal[100].right); // the channels carry different tones
}

TEST_F(LkplayFiles, WavWriterRoundTrip) {
    std::vector<Frame> frames;
    for (uint32_t i = 0; i < 777; ++i)
        frames.push_back({i * 0x01020304u, 0x80000000u - i});
    ASSERT_TRUE(WriteFile<lkplay::WavWriter>(Path("c.wav"), 96000, frames));
    const Decoded d = DecodeAll(Path("c.wav"));
    ASSERT_EQ(d.open, DecodeStatus::Ok) << d.error;
    EXPECT_EQ(d.info.rate, 96000);
    EXPECT_FALSE(d.info.dsd);
    EXPECT_TRUE(d.frames == frames);
}

TEST_F(LkplayFiles, IntegerPcmIsExactAcrossContainers) {
    const std::string wav16 = Sox("s16.wav", "-r 44100 -b 16 -c 2", "0.2 sine 440 sine 660");
    if (wav16.empty())
        GTEST_SKIP() << "sox not available";
    const std::string flac16 = SoxConvert(wav16, "s16.flac");
    const std::string wav24 = Sox("s24.wav", "-r 48000 -b 24 -c 2", "0.2 sine 440 sine 660");
    const std::string flac24 = SoxConvert(wav24, "s24.flac");
    const std::string aiff = Sox("m.aiff", "-r 44100 -b 16 -c 1", "0.2 sine 440");
    const Decoded a = DecodeAll(wav16), b = DecodeAll(flac16), c = DecodeAll(wav24), e = DecodeAll(flac24),
                  m = DecodeAll(aiff);
    for (const Decoded* d : {&a, &b, &c, &e, &m}) {
        ASSERT_EQ(d->open, DecodeStatus::Ok) << d->error;
        EXPECT_EQ(d->last, DecodeStatus::End) << d->error;
        EXPECT_TRUE(d->info.integer);
    }
    EXPECT_EQ(a.info.samples, "16-bit integer");
    EXPECT_EQ(e.info.samples, "24-bit integer");
    EXPECT_EQ(a.frames.size(), 8820u);
    EXPECT_EQ(a.info.totalSamples, 8820);
    EXPECT_TRUE(a.frames == b.frames); // FLAC is lossless: the same words as the WAV
    EXPECT_TRUE(c.frames == e.frames);
    bool low16 = false, low8 = false;
    for (size_t i = 0; i < a.frames.size(); ++i)
        low16 = low16 || (a.frames[i].left & 0xFFFF) != 0;
    for (size_t i = 0; i < c.frames.size(); ++i)
        low8 = low8 || (c.frames[i].right & 0xFF) != 0;
    EXPECT_FALSE(low16); // left-justified: nothing below the source's bits
    EXPECT_FALSE(low8);
    ASSERT_EQ(m.info.channels, 1);
    for (const Frame& f : m.frames)
        ASSERT_EQ(f.left, f.right);
}

TEST_F(LkplayFiles, FloatAndHighRatePcm) {
    const std::string flt = Sox("f.wav", "-r 44100 -e floating-point -b 32 -c 2", "0.1 sine 440");
    if (flt.empty())
        GTEST_SKIP() << "sox not available";
    const std::string hi = Sox("hi.wav", "-r 384000 -b 24 -c 2", "0.1 sine 1000");
    const Decoded f = DecodeAll(flt), h = DecodeAll(hi);
    ASSERT_EQ(f.open, DecodeStatus::Ok) << f.error;
    EXPECT_FALSE(f.info.integer);
    EXPECT_EQ(f.info.samples, "32-bit float");
    EXPECT_EQ(f.frames.size(), 4410u);
    ASSERT_EQ(h.open, DecodeStatus::Ok) << h.error;
    EXPECT_EQ(h.info.rate, 384000);
    EXPECT_EQ(h.frames.size(), 38400u);
}

TEST_F(LkplayFiles, BadInputsAreToldApart) {
    EXPECT_EQ(DecodeAll(Path("nothing-here.wav")).open, DecodeStatus::Missing);
    fs::create_directories(Path("folder.wav"));
    EXPECT_EQ(DecodeAll(Path("folder.wav")).open, DecodeStatus::Unreadable);
    std::ofstream(Path("notes.wav")) << "these are words, not sound\n";
    const Decoded text = DecodeAll(Path("notes.wav"));
    EXPECT_EQ(text.open, DecodeStatus::NotAudio);
    EXPECT_NE(text.error.find("not an audio file"), std::string::npos) << text.error;
    std::ofstream(Path("empty.dsf"));
    EXPECT_EQ(DecodeAll(Path("empty.dsf")).open, DecodeStatus::NotAudio);

    const std::string six = Sox("six.wav", "-r 44100 -b 16 -c 6", "0.1 sine 440");
    if (six.empty())
        GTEST_SKIP() << "sox not available";
    const Decoded surround = DecodeAll(six);
    EXPECT_EQ(surround.open, DecodeStatus::Unsupported);
    EXPECT_NE(surround.error.find("6 channels"), std::string::npos) << surround.error;
}

TEST_F(LkplayFiles, TruncatedFilesAreReportedAfterWhatCouldBeRead) {
    const std::vector<Frame> signal = DsdSignal(8000, 2822400);
    ASSERT_TRUE(WriteFile<lkplay::DsfWriter>(Path("full.dsf"), 2822400, signal));
    ASSERT_TRUE(WriteFile<lkplay::DffWriter>(Path("full.dff"), 2822400, signal));
    Truncate(Path("full.dsf"), Path("cut.dsf"), 92 + 8192 + 3000);
    Truncate(Path("full.dff"), Path("cut.dff"), fs::file_size(Path("full.dff")) / 2 + 1);
    std::vector<std::string> cut = {Path("cut.dsf"), Path("cut.dff")};
    const std::string wav = Sox("w.wav", "-r 44100 -b 16 -c 2", "1 sine 440");
    if (!wav.empty()) {
        Truncate(wav, Path("cut.wav"), fs::file_size(wav) / 2 + 1);
        cut.push_back(Path("cut.wav"));
    }
    for (const std::string& path : cut) {
        SCOPED_TRACE(path);
        const Decoded d = DecodeAll(path);
        ASSERT_EQ(d.open, DecodeStatus::Ok) << d.error;
        EXPECT_EQ(d.last, DecodeStatus::Truncated);
        EXPECT_NE(d.error.find("truncated"), std::string::npos) << d.error;
    }
    // The verifier's own reading of each cut file finds the same frames as the player: every whole
    // frame before the cut (a DSD word cut short is completed with silence by both).
    for (const std::string& path : cut) {
        SCOPED_TRACE(path);
        lkplay::ReferenceReader reference;
        ASSERT_TRUE(reference.Open(path)) << reference.error();
        std::vector<Frame> frames(100000);
        size_t count = 0;
        while (size_t got =
                   reference.Read(frames.data() + count, std::min<size_t>(777, frames.size() - count)))
            count += got;
        frames.resize(count);
        const Decoded d = DecodeAll(path);
        EXPECT_EQ(frames.size(), d.frames.size());
        EXPECT_TRUE(frames == d.frames);
    }
    // What lies before the cut is still delivered, unchanged.
    const Decoded dsf = DecodeAll(Path("cut.dsf"));
    ASSERT_GE(dsf.frames.size(), 1024u);
    EXPECT_TRUE(std::equal(dsf.frames.begin(), dsf.frames.begin() + 1024, signal.begin()));
}

TEST_F(LkplayFiles, WriterReportsAnUnwritablePath) {
    lkplay::WavWriter writer;
    EXPECT_FALSE(writer.Open(Path("no/such/dir/x.wav"), 44100));
    EXPECT_NE(writer.error().find("cannot create"), std::string::npos);
}
