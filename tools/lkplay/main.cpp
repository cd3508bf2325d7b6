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

std::atomic<int> g_stopSignal{0};

void OnSignal(int signal) {
    g_stopSignal.store(signal);
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
    size_t fromStdin = 0;
    for (const std::string& file : options.files)
        fromStdin += file == "-" ? 1 : 0;
    if (fromStdin > 1) {
        std::fprintf(stderr, "lkplay: standard input (-) can be played only once\n");
        return lkplay::kExitUsage;
    }

    // Every file is opened, and every capture path checked, before anything plays: a capture never
    // destroys a file.
    std::vector<lkplay::PlayItem> items;
    for (const std::string& file : options.files)
        items.push_back(lkplay::OpenItem(file));
    if (!options.capturePath.empty()) {
        for (size_t i = 0; i < items.size(); ++i) {
            const bool dsd = items[i].openStatus == lkplay::DecodeStatus::Ok && items[i].decoder->info().dsd;
            items[i].capturePath = lkplay::CaptureNameFor(options.capturePath, i, items.size(), dsd);
            const lkplay::CaptureCheck check =
                lkplay::CheckCapturePath(items[i].capturePath, options.files, options.force);
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
    context.stopSignal = &g_stopSignal;
    context.terminal = isatty(fileno(stdout)) != 0;
    return lkplay::PlayItems(context, items);
}
