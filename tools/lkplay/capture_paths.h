// Where each file's capture goes, and the checks that keep a capture from destroying the user's files.
// They run before anything plays.
#pragma once

#include "tools/lkplay/exit_codes.h"

#include <string>
#include <vector>

namespace lkplay {

// The capture of file `index` of `count`: CapturePathFor, with the ".wav" of a DSD file's capture
// turned into ".dsf" (a DSD capture is always a DSF file).
std::string CaptureNameFor(const std::string& base, size_t index, size_t count, bool dsd);

struct CaptureCheck {
    ExitCode code = kExitOk;
    std::string message; // empty when the path may be used
};

// Refuses a capture path that is one of `inputs` (the same file by device and inode, whatever the
// name: hard and symbolic links too; "-" is standard input), one that exists unless `force`, and one
// that cannot be created or written. Leaves no file behind.
CaptureCheck CheckCapturePath(const std::string& capture, const std::vector<std::string>& inputs, bool force);

} // namespace lkplay
