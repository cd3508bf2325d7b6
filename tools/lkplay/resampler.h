// Converts stereo frames of 32-bit PCM from the file's rate to a rate the device takes (libswresample).
#pragma once

#include "tools/lkplay/frame.h"

#include <string>
#include <vector>

struct SwrContext;

namespace lkplay {

class Resampler {
public:
    Resampler() = default;
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    bool Open(double fromRate, double toRate, std::string* error);
    // Appends the converted frames of `in` to `out`; `in` null (count 0) drains what the filter holds.
    bool Convert(const Frame* in, size_t count, std::vector<Frame>& out);

private:
    SwrContext* m_swr = nullptr;
};

// The rate of the file's family (multiples of 44.1 kHz, or of 48 kHz and 8 kHz) nearest to `rate`
// among those `takes` accepts; 0 when it takes none of them.
template <typename Takes> double NearestFamilyRate(double rate, Takes&& takes);

bool InFamilyOf44100(double rate);

template <typename Takes> double NearestFamilyRate(double rate, Takes&& takes) {
    static const double k441[] = {44100, 88200, 176400, 352800, 705600};
    static const double k48[] = {48000, 96000, 192000, 384000, 768000};
    const double* family = InFamilyOf44100(rate) ? k441 : k48;
    double best = 0, bestDistance = 0;
    for (int i = 0; i < 5; ++i) {
        const double candidate = family[i];
        const double distance = candidate >= rate ? candidate / rate : rate / candidate;
        // Nearer by ratio; at equal distance the higher rate, which keeps all of the audio.
        if (takes(candidate) &&
            (best == 0 || distance < bestDistance || (distance == bestDistance && candidate > best))) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

} // namespace lkplay
