#include "asio/stream_format.h"

#include <cmath>
#include <cstdint>

namespace {
constexpr uint64_t kDsdBitsPerWaveFrame = 64;
constexpr double kLargestRate = 4294967296.0 * kDsdBitsPerWaveFrame;
} // namespace

DWORD WaveSamplesPerSecond(double rate, bool dsd) {
    // The comparisons also turn NaN away.
    if (!(rate >= 1.0) || !(rate < kLargestRate) || std::floor(rate) != rate)
        return 0;
    uint64_t whole = static_cast<uint64_t>(rate);
    if (dsd) {
        if (whole % kDsdBitsPerWaveFrame != 0)
            return 0;
        whole /= kDsdBitsPerWaveFrame;
    }
    return whole <= UINT32_MAX ? static_cast<DWORD>(whole) : 0;
}

WAVEFORMATEXTENSIBLE StreamWaveFormat(DWORD samplesPerSecond) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = 2;
    format.Format.nSamplesPerSec = samplesPerSecond;
    format.Format.nAvgBytesPerSec = samplesPerSecond * 4;
    format.Format.nBlockAlign = 4;
    format.Format.wBitsPerSample = 32;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = 32;
    format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}
