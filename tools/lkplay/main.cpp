// lkplay: plays audio files through the Larkspur ASIO driver, as an ASIO host does.
#include "tools/common/driver_loader.h"
#include "tools/lkplay/capture_paths.h"
#include "tools/lkplay/decoder.h"
#include "tools/lkplay/device_tap.h"
#include "tools/lkplay/options.h"
#include "tools/lkplay/player.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
    g_interrupted.store(true);
}

} // namespace

int main(int argc, char** argv) {
    lkplay::Options options;
    std::string error;
    if (!lkplay::ParseOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "lkplay: %s\n(lkplay --help tells more)\n", error.c_str());
        return lkplay::kExitUsage;
    }
    if (options.help) {
        std::fputs(lkplay::HelpText().c_str(), stdout);
        return lkplay::kExitOk;
    }
    if (options.version) {
        std::fputs(lkplay::VersionText().c_str(), stdout);
        return lkplay::kExitOk;
    }

    // Every capture path is checked before anything plays: a capture never destroys a file.
    std::vector<std::string> captures(options.files.size());
    if (!options.capturePath.empty()) {
        for (size_t i = 0; i < options.files.size(); ++i) {
            lkplay::Decoder probe;
            const bool dsd = options.files[i] != "-" &&
                             probe.Open(options.files[i]) == lkplay::DecodeStatus::Ok && probe.info().dsd;
            captures[i] = lkplay::CaptureNameFor(options.capturePath, i, options.files.size(), dsd);
            const lkplay::CaptureCheck check =
                lkplay::CheckCapturePath(captures[i], options.files, options.force);
            if (check.code != lkplay::kExitOk) {
                std::fprintf(stderr, "lkplay: %s\n", check.message.c_str());
                return check.code;
            }
        }
    }

    lktool::DriverLibrary library;
    const std::string driverPath =
        options.driverPath.empty() ? lktool::DefaultDriverPath(argv[0]) : options.driverPath;
    if (!library.Load(driverPath)) {
        std::fprintf(stderr, "lkplay: %s\n", library.error().c_str());
        return lkplay::kExitDriverLoad;
    }
    lkplay::DeviceTap tap;
    if (!tap.Bind(library) && (options.verify || !options.capturePath.empty())) {
        std::fprintf(stderr, "lkplay: --capture and --verify need the simulated device, which %s lacks\n",
                     driverPath.c_str());
        return lkplay::kExitCapture;
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    lkplay::PlayContext context;
    context.library = &library;
    context.tap = &tap;
    context.options = &options;
    context.interrupted = &g_interrupted;
    context.terminal = isatty(fileno(stdout)) != 0;

    int result = lkplay::kExitOk;
    for (size_t i = 0; i < options.files.size() && !g_interrupted.load(); ++i) {
        const lkplay::ExitCode code = lkplay::PlayFile(context, options.files[i], captures[i]);
        if (result == lkplay::kExitOk)
            result = code;
        if (code == lkplay::kExitDriverLoad || code == lkplay::kExitDriverInit ||
            code == lkplay::kExitInterrupted)
            break;
    }
    return result;
}
