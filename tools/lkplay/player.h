// Plays a list of files through the driver: consecutive files of one mode and rate as one stream,
// without a gap; a change of mode or rate starts a new stream. For each stream: the decoding thread,
// the ASIO host, the progress display, and the capture and verification of what the device received,
// both done as the audio arrives.
#pragma once

#include "tools/common/driver_loader.h"
#include "tools/lkplay/decoder.h"
#include "tools/lkplay/device_tap.h"
#include "tools/lkplay/exit_codes.h"
#include "tools/lkplay/options.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lkplay {

struct PlayContext {
    lktool::DriverLibrary* library = nullptr;
    // Creates the driver object instead of `library` when set; a null result fails like the library.
    std::function<IASIO*()> createDriver;
    DeviceTap* tap = nullptr;
    const Options* options = nullptr;
    // 0 while playing may go on; the number of the signal that asks lkplay to stop (SIGINT, SIGTERM).
    std::atomic<int>* stopSignal = nullptr;
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool terminal = false; // `out` is a terminal: redraw the progress line in place
    // No callback for this long while playing counts as a stalled driver.
    double stallSeconds = 2.0;
    // --reconnect: how often a new driver object tries init while the device is away, and how long
    // lkplay waits for it.
    int reconnectPollMs = 500;
    int reconnectTimeoutMs = 10000;
};

struct PlayItem {
    std::string path;
    std::string capturePath;          // empty: no capture
    std::unique_ptr<Decoder> decoder; // open; null once played or when opening failed
    DecodeStatus openStatus = DecodeStatus::Ok;
    double deviceRate = 0; // the rate it is played at, decided when its stream is set up
};

// Opens `path` for PlayItems.
PlayItem OpenItem(const std::string& path, const std::string& capturePath = {});

// Plays the items in order; returns the first failure's exit code (kExitOk when all played).
ExitCode PlayItems(const PlayContext& context, std::vector<PlayItem>& items);

// One file.
ExitCode PlayFile(const PlayContext& context, const std::string& path, const std::string& capturePath);

} // namespace lkplay
