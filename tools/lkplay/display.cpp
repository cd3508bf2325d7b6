#include "tools/lkplay/display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace lkplay {

std::string RateName(double rate, bool dsd) {
    char text[64];
    if (dsd) {
        // DSD rates are named by their multiple of 44.1 kHz (or of 48 kHz for that family).
        const double multiple44 = rate / 44100.0, multiple48 = rate / 48000.0;
        if (multiple44 == std::floor(multiple44))
            std::snprintf(text, sizeof text, "DSD%.0f (%g MHz)", multiple44, rate / 1e6);
        else if (multiple48 == std::floor(multiple48))
            std::snprintf(text, sizeof text, "DSD%.0f, 48 kHz family (%g MHz)", multiple48, rate / 1e6);
        else
            std::snprintf(text, sizeof text, "DSD at %.0f Hz", rate);
    } else {
        std::snprintf(text, sizeof text, "%g kHz", rate / 1000.0);
    }
    return text;
}

std::string FormatDuration(double seconds) {
    if (!(seconds >= 0) || seconds > 1e9)
        return "--:--";
    const auto whole = static_cast<long long>(seconds);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

std::string FormatHeader(const std::string& path, const StreamInfo& info, int32_t bufferSize) {
    const double total = info.totalSamples >= 0 ? static_cast<double>(info.totalSamples) / info.rate : -1;
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "buffer %d samples (%.1f ms)", bufferSize,
                  1000.0 * bufferSize / info.rate);
    return "Playing " + path + "\n  " + info.container + "/" + info.codec + ", " + info.samples + ", " +
           (info.channels == 1 ? "mono on both outputs" : "stereo") + ", " + RateName(info.rate, info.dsd) +
           ", " + FormatDuration(total) + ", " + buffer + "\n";
}

std::string FormatProgress(double elapsed, double total, const HostStats& stats, int width) {
    std::string line;
    if (total > 0 && width > 0) {
        const double fraction = std::clamp(elapsed / total, 0.0, 1.0);
        const int filled = static_cast<int>(fraction * width + 0.5);
        line = "[" + std::string(static_cast<size_t>(filled), '#') +
               std::string(static_cast<size_t>(width - filled), '-') + "]  ";
    }
    line += FormatDuration(elapsed) + " / " + FormatDuration(total);
    char late[160];
    std::snprintf(
        late, sizeof late, "  late callbacks: %llu, periods short of audio: %llu, device drop-outs: %llu",
        static_cast<unsigned long long>(stats.lateCallbacks),
        static_cast<unsigned long long>(stats.latePeriods), static_cast<unsigned long long>(stats.overloads));
    return line + late;
}

} // namespace lkplay
