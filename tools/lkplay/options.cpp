#include "tools/lkplay/options.h"

#include "tools/lkplay/exit_codes.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace lkplay {

namespace {

constexpr const char* kVersion = "1.1";

bool ParseBufferSize(const std::string& text, int32_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed <= 0 || parsed > INT32_MAX)
        return false;
    *value = static_cast<int32_t>(parsed);
    return true;
}

} // namespace

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
    bool onlyFiles = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
            options->files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyFiles = true;
            continue;
        }
        // --option=value as well as --option value.
        std::string inlineValue;
        bool hasInline = false;
        if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
            hasInline = true;
        }
        const bool takesValue = arg == "--buffer" || arg == "--capture" || arg == "--driver";
        if (hasInline && !takesValue) {
            *error = arg + " takes no value";
            return false;
        }
        if (arg == "--help" || arg == "-h") {
            options->help = true;
        } else if (arg == "--version" || arg == "-V") {
            options->version = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options->quiet = true;
        } else if (arg == "--verify") {
            options->verify = true;
        } else if (arg == "--force" || arg == "-y") {
            options->force = true;
        } else if (arg == "--no-resample") {
            options->noResample = true;
        } else if (arg == "--reconnect") {
            options->reconnect = true;
        } else if (arg == "--no-time-info") {
            options->timeInfo = false;
        } else if (takesValue) {
            if (!hasInline && i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            const std::string value = hasInline ? inlineValue : std::string(argv[++i]);
            if (arg == "--buffer" && !ParseBufferSize(value, &options->bufferSize)) {
                *error = "--buffer takes a positive number of samples, not '" + value + "'";
                return false;
            }
            if ((arg == "--capture" || arg == "--driver") && value.empty()) {
                *error = arg + " needs a value";
                return false;
            }
            if (arg == "--capture")
                options->capturePath = value;
            if (arg == "--driver")
                options->driverPath = value;
        } else {
            *error = "unknown option " + arg;
            return false;
        }
    }
    if (options->files.empty() && !options->help && !options->version) {
        *error = "no file to play";
        return false;
    }
    return true;
}

std::string VersionText() {
    return std::string("lkplay ") + kVersion + " (Larkspur ASIO host)\n";
}

std::string HelpText() {
    return std::string(
               "usage: lkplay [options] FILE...\n"
               "Plays audio files through the Larkspur ASIO driver, as an ASIO host does. FILE - reads\n"
               "standard input (any format FFmpeg recognises in a stream).\n"
               "PCM: WAV, FLAC, AIFF and other uncompressed or lossless formats, 16/24/32-bit integer\n"
               "or floating point, mono or stereo. DSD: DSF and DFF (uncompressed), played natively.\n"
               "\n"
               "Options:\n"
               "  --buffer N      buffer size in samples per channel instead of the driver's preferred\n"
               "                  size (DSD: one-bit samples, a multiple of 32)\n"
               "  --capture FILE  write what the device received: WAV for PCM, DSF for DSD (with\n"
               "                  several files, FILE gets -1, -2, ... before its extension). A DSD\n"
               "                  capture named .wav is written as .dsf instead. An existing file is\n"
               "                  not replaced without --force, nor ever an input file.\n"
               "  --force, -y     let --capture replace an existing file\n"
               "  --no-resample   refuse a PCM rate the device does not take, instead of resampling it\n"
               "                  to the nearest rate of its family (44.1 or 48 kHz) that it takes\n"
               "  --verify        compare what the device received with the file, bit for bit\n"
               "                  (floating-point files: with the file as converted to 32-bit)\n"
               "  --reconnect     when the device is lost, wait up to 10 s for it to come back, then\n"
               "                  play on from the frame after the last one it received\n"
               "  --quiet, -q     no header or progress; errors and the --verify verdict only\n"
               "  --no-time-info  take bufferSwitch instead of bufferSwitchTimeInfo\n"
               "  --driver PATH   the driver library (default: $LKASIO_DRIVER, else lkasio64.so\n"
               "                  beside lkplay)\n"
               "  --help, -h      this text\n"
               "  --version, -V   lkplay's version\n"
               "Options that take a value accept --option=value as well as --option value.\n"
               "\n"
               "Files of the same mode (PCM or DSD) and rate play as one stream, without a gap between\n"
               "them; a change of mode or rate restarts the stream. --capture and --verify work per file.\n"
               "--capture and --verify read the received audio from the simulated device, which the\n"
               "Linux build of the driver carries. --verify reads each file a second time on its own and\n"
               "says so when it cannot tell (a resampled file, standard input).\n"
               "The progress line counts late callbacks (the driver called back more than half a period\n"
               "after it was due), periods short of audio (the file was not decoded in time and the\n"
               "period was played as silence) and device drop-outs (the driver reported that the device\n"
               "ran out of audio).\n"
               "\n") +
           ExitCodeHelp();
}

std::string CapturePathFor(const std::string& path, size_t index, size_t count) {
    if (count <= 1)
        return path;
    const size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == 0 ||
        (slash != std::string::npos && dot == slash + 1))
        dot = path.size();
    return path.substr(0, dot) + "-" + std::to_string(index + 1) + path.substr(dot);
}

} // namespace lkplay
