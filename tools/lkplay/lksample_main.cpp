// lksample: writes a DSD test signal (a sine per channel through a delta-sigma modulator) as DSF or DFF.
#include "tools/lkplay/audio_writers.h"
#include "tools/lkplay/dsd_modulator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

void Usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: lksample [--rate DSD_RATE] [--seconds S] [--freq HZ] [--silence S] OUT.dsf|OUT.dff\n"
                 "Writes a stereo DSD sine (left HZ, right 1.5 x HZ) through a delta-sigma modulator,\n"
                 "after --silence seconds of DSD silence.\n"
                 "Defaults: --rate 2822400 (DSD64), --seconds 1, --freq 1000, --silence 0.\n");
}

bool EndsWith(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

bool ParseNumber(const char* text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && *value > 0;
}

} // namespace

int main(int argc, char** argv) {
    double rate = 2822400, seconds = 1, frequency = 1000, silence = 0;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        double* target = arg == "--rate"      ? &rate
                         : arg == "--seconds" ? &seconds
                         : arg == "--freq"    ? &frequency
                         : arg == "--silence" ? &silence
                                              : nullptr;
        if (target && i + 1 < argc && ParseNumber(argv[i + 1], target)) {
            ++i;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (!target && path.empty() && arg[0] != '-') {
            path = arg;
        } else {
            Usage(stderr);
            return 2;
        }
    }
    std::unique_ptr<lkplay::AudioFileWriter> writer;
    if (EndsWith(path, ".dsf"))
        writer = std::make_unique<lkplay::DsfWriter>();
    else if (EndsWith(path, ".dff"))
        writer = std::make_unique<lkplay::DffWriter>();
    if (!writer || rate > 4294967295.0 || rate < 64) {
        Usage(stderr);
        return 2;
    }

    lkplay::SineDsdModulator left(rate, frequency, 0.4), right(rate, frequency * 1.5, 0.4);
    const auto frames = static_cast<size_t>(seconds * rate / lkplay::kDsdSamplesPerWord);
    std::vector<lkplay::Frame> block(4096);
    bool ok = writer->Open(path, static_cast<uint32_t>(rate));
    const auto quiet = static_cast<size_t>(silence * rate / lkplay::kDsdSamplesPerWord);
    const std::vector<lkplay::Frame> idle(quiet, lkplay::SilenceFrame(true));
    ok = ok && writer->Write(idle.data(), idle.size());
    for (size_t done = 0; ok && done < frames; done += block.size()) {
        const size_t count = std::min(block.size(), frames - done);
        for (size_t i = 0; i < count; ++i)
            block[i] = {left.NextWord(), right.NextWord()};
        ok = writer->Write(block.data(), count);
    }
    if (!ok || !writer->Close()) {
        std::fprintf(stderr, "lksample: %s\n", writer->error().c_str());
        return 1;
    }
    return 0;
}
