// One stereo frame as the host writes it into the driver's two output buffers: a 32-bit word per
// channel. PCM: a left-justified ASIOSTInt32LSB sample. DSD: four ASIOSTDSDInt8MSB1 bytes (32 one-bit
// samples, earliest in the most significant bit of the first byte) in memory order.
#pragma once

#include <cstdint>

namespace lkplay {

struct Frame {
    uint32_t left;
    uint32_t right;
    bool operator==(const Frame&) const = default;
};

// DSD's idle pattern: equal numbers of ones and zeros, no tone.
inline constexpr uint8_t kDsdSilenceByte = 0x69;
inline constexpr uint32_t kDsdSilenceWord = 0x69696969u;

inline constexpr Frame SilenceFrame(bool dsd) {
    return dsd ? Frame{kDsdSilenceWord, kDsdSilenceWord} : Frame{0, 0};
}

// DSD samples carried by one 32-bit word.
inline constexpr int kDsdSamplesPerWord = 32;

} // namespace lkplay
