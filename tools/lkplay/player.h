// Plays one file through the driver from start to end: decoder thread, ASIO host, progress display,
// then capture and verification of what the device received.
#pragma once

#include "tools/common/driver_loader.h"
#include "tools/lkplay/device_tap.h"
#include "tools/lkplay/exit_codes.h"
#include "tools/lkplay/options.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>

namespace lkplay {

struct PlayContext {
    lktool::DriverLibrary* library = nullptr;
    // Creates the driver object instead of `library` when set; a null result fails like the library.
    std::function<IASIO*()> createDriver;
    DeviceTap* tap = nullptr;
    const Options* options = nullptr;
    std::atomic<bool>* interrupted = nullptr;
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool terminal = false; // `out` is a terminal: redraw the progress line in place
    // No callback for this long while playing counts as a stalled driver.
    double stallSeconds = 3.0;
};

ExitCode PlayFile(const PlayContext& context, const std::string& path, const std::string& capturePath);

} // namespace lkplay
