// What lkplay shows on the terminal: a header per file and a progress line.
#pragma once

#include "tools/lkplay/asio_host.h"
#include "tools/lkplay/decoder.h"

#include <string>

namespace lkplay {

// "44.1 kHz", "384 kHz", "DSD64 (2.8224 MHz)".
std::string RateName(double rate, bool dsd);
// "0:07", "12:34", "1:02:03"; negative or unknown times as "--:--".
std::string FormatDuration(double seconds);

// Two lines: the file, then its format, rate and the buffer size.
std::string FormatHeader(const std::string& path, const StreamInfo& info, int32_t bufferSize);

// "[#########---------]  0:03 / 0:10  late callbacks: 0, periods short of audio: 0, device drop-outs: 0"
// with `width` columns of bar (late callbacks: the driver called back late; periods short of audio:
// the decoder had not filled a period in time, and it was played as silence; device drop-outs: the
// driver reported that the device ran out of audio); total < 0 (unknown) shows no bar.
std::string FormatProgress(double elapsed, double total, const HostStats& stats, int width = 30);

} // namespace lkplay
