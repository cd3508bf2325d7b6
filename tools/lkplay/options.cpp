#include "tools/lkplay/options.h"

#include "tools/lkplay/exit_codes.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace lkplay {

namespace {

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
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
            options->files.push_back(arg);
        } else if (arg == "--") {
            onlyFiles = true;
        } else if (arg == "--help" || arg == "-h") {
            options->help = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options->quiet = true;
        } else if (arg == "--verify") {
            options->verify = true;
        } else if (arg == "--no-time-info") {
            options->timeInfo = false;
        } else if (arg == "--buffer" || arg == "--capture" || arg == "--driver") {
            if (!hasValue) {
                *error = arg + " needs a value";
                return false;
            }
            const std::string value = argv[++i];
            if (arg == "--buffer" && !ParseBufferSize(value, &options->bufferSize)) {
                *error = "--buffer takes a positive number of samples, not '" + value + "'";
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
    if (options->files.empty() && !options->help) {
        *error = "no file to play";
        return false;
    }
    return true;
}

std::string HelpText() {
    return std::string(
               "usage: lkplay [options] FILE...\n"
               "Plays audio files through the Larkspur ASIO driver, as an ASIO host does.\n"
               "PCM: WAV, FLAC, AIFF and other uncompressed or lossless formats, 16/24/32-bit integer\n"
               "or floating point, mono or stereo. DSD: DSF and DFF (uncompressed), played natively.\n"
               "\n"
               "Options:\n"
               "  --buffer N      buffer size in samples per channel instead of the driver's preferred\n"
               "                  size (DSD: one-bit samples, a multiple of 32)\n"
               "  --capture FILE  write what the device received: WAV for PCM, DSF for DSD (with\n"
               "                  several files, FILE gets -1, -2, ... before its extension)\n"
               "  --verify        compare what the device received with the file, bit for bit\n"
               "                  (floating-point files: with the file as converted to 32-bit)\n"
               "  --quiet, -q     no header or progress; errors and the --verify verdict only\n"
               "  --no-time-info  take bufferSwitch instead of bufferSwitchTimeInfo\n"
               "  --driver PATH   the driver library (default: $LKASIO_DRIVER, else lkasio64.so\n"
               "                  beside lkplay)\n"
               "  --help, -h      this text\n"
               "\n"
               "--capture and --verify read the received audio from the simulated device, which the\n"
               "Linux build of the driver carries.\n"
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
