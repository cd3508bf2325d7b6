// lkplay's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lkplay {

struct Options {
    std::vector<std::string> files;
    std::string driverPath;  // empty: the default next to lkplay
    int32_t bufferSize = 0;  // 0: the driver's preferred size
    std::string capturePath; // empty: no capture
    bool verify = false;
    bool quiet = false;
    bool timeInfo = true;
    bool help = false;
    bool version = false;
    bool force = false;      // --force, -y: a capture may replace an existing file
    bool noResample = false; // refuse a rate the device does not take instead of resampling
    bool reconnect = false;  // on a lost device, wait for it and play on where it stopped
};

// False with a message in `error` when the command line is not usable.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

std::string HelpText();
std::string VersionText();

// Where the capture of file `index` (from 0) of `count` goes: the path itself for one file, else the
// path with "-N" (from 1) before its extension.
std::string CapturePathFor(const std::string& path, size_t index, size_t count);

} // namespace lkplay
