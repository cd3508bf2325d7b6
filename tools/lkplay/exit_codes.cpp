#include "tools/lkplay/exit_codes.h"

namespace lkplay {

ExitCode ExitCodeFor(DecodeStatus status) {
    switch (status) {
    case DecodeStatus::Ok:
    case DecodeStatus::End:
        return kExitOk;
    case DecodeStatus::Missing:
        return kExitMissing;
    case DecodeStatus::Unreadable:
    case DecodeStatus::NoMemory:
        return kExitUnreadable;
    case DecodeStatus::NotAudio:
        return kExitNotAudio;
    case DecodeStatus::Unsupported:
        return kExitUnsupported;
    case DecodeStatus::Damaged:
    case DecodeStatus::Truncated:
        return kExitDamaged;
    }
    return kExitUnreadable;
}

ExitCode ExitCodeFor(const HostFailure& failure) {
    switch (failure.step) {
    case HostStep::Init:
    case HostStep::Channels:
        return kExitDriverInit;
    case HostStep::IoFormat:
    case HostStep::SampleRate:
    case HostStep::ChannelType:
        return kExitUnsupported;
    case HostStep::BufferSize:
    case HostStep::CreateBuffers:
        return kExitDriverSetup;
    case HostStep::Start:
        // With buffers in place, a start that finds nothing to play on means the device takes no
        // stream in this format and rate.
        return failure.code == ASE_NotPresent ? kExitUnsupported : kExitDriverStart;
    }
    return kExitDriverStart;
}

const char* ExitCodeHelp() {
    return "Exit codes:\n"
           "   0  played (and, with --verify, received bit for bit)\n"
           "   1  --verify: what the device received differs from the file\n"
           "   2  bad command line\n"
           "   3  no such file\n"
           "   4  the file cannot be read (a directory, no permission, an I/O error)\n"
           "   5  not an audio file\n"
           "   6  damaged or truncated audio (every whole frame that could be read was played)\n"
           "   7  unsupported format or rate (lossy codecs, more than two channels, DST, a DSD rate the\n"
           "      device refuses, a PCM rate it refuses with --no-resample)\n"
           "   8  the driver library cannot be loaded or the driver object not created\n"
           "   9  the driver's init failed (no device)\n"
           "  10  the driver refused the buffer size or its buffers\n"
           "  11  the driver's start failed\n"
           "  12  the driver stopped calling back during playback, without a word\n"
           "  13  --capture/--verify: the received audio cannot be read or written\n"
           "  14  --capture names one of the files to play (nothing is played)\n"
           "  15  --capture names a file that cannot be created (nothing is played)\n"
           "  16  --capture names an existing file and --force is not given (nothing is played)\n"
           "  17  the device was lost during playback: the driver asked for a reset (the capture keeps\n"
           "      what arrived); with --reconnect, it did not come back within 10 s\n"
           " 130  interrupted (SIGINT, Ctrl-C)\n"
           " 143  terminated (SIGTERM)\n"
           "With several files, lkplay goes on after a file that fails and exits with the first failure's\n"
           "code; failures of kinds 8, 9, 17, 130 and 143 end it at once.\n";
}

} // namespace lkplay
