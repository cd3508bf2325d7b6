// lkplay's exit codes, one per kind of failure, as `lkplay --help` lists them.
#pragma once

#include "tools/lkplay/asio_host.h"
#include "tools/lkplay/decoder.h"

namespace lkplay {

enum ExitCode : int {
    kExitOk = 0,
    kExitMismatch = 1,            // --verify: the device did not receive the file bit for bit
    kExitUsage = 2,               // bad command line
    kExitMissing = 3,             // no such file
    kExitUnreadable = 4,          // the file cannot be read
    kExitNotAudio = 5,            // not an audio file
    kExitDamaged = 6,             // truncated or damaged audio
    kExitUnsupported = 7,         // a format or rate that lkplay or the device does not play
    kExitDriverLoad = 8,          // the driver library cannot be loaded or the driver not created
    kExitDriverInit = 9,          // init failed: no device
    kExitDriverSetup = 10,        // the driver refused a setting or its buffers
    kExitDriverStart = 11,        // start failed
    kExitStreamStall = 12,        // the driver stopped calling back while playing
    kExitCapture = 13,            // --capture/--verify: the received audio cannot be read or written
    kExitCaptureIsInput = 14,     // --capture names one of the files to play
    kExitCaptureUncreatable = 15, // --capture names a file that cannot be created
    kExitCaptureExists = 16,      // --capture names an existing file and --force is not given
    kExitDeviceLost = 17,         // the device was lost during playback (the driver asked for a reset)
    kExitInterrupted = 130,       // SIGINT
    kExitTerminated = 143,        // SIGTERM
};

ExitCode ExitCodeFor(DecodeStatus status);
ExitCode ExitCodeFor(const HostFailure& failure);

// The exit code table as printed by --help.
const char* ExitCodeHelp();

} // namespace lkplay
