// Conversion of decoded samples into the words the driver's output buffers take.
#pragma once

#include "tools/lkplay/frame.h"

#include <cstddef>
#include <cstdint>

namespace lkplay {

enum class PcmFormat { U8, S16, S32, S64, Float, Double };

// Decoded PCM, one or two channels, interleaved (one plane) or planar (one plane per channel).
struct PcmBlock {
    PcmFormat format;
    bool planar;
    int channels; // 1 or 2; a mono source feeds both outputs
    const uint8_t* const* planes;
    size_t frames;
};

// Writes block.frames frames to `out`. Integer samples are left-justified into 32 bits without any
// other change; floating-point samples are scaled by 2^31, rounded and clipped.
void ConvertPcm(const PcmBlock& block, Frame* out);

int32_t FloatToInt32(double value);

uint8_t ReverseBits(uint8_t byte);

// Collects raw DSD packets (one or two channels, byte-interleaved or one block per channel, bits
// LSB-first or MSB-first) into frames of MSB-first words. A packet need not end on a word.
class DsdPacker {
public:
    DsdPacker(int channels, bool planar, bool lsbFirst)
        : m_channels(channels), m_planar(planar), m_lsbFirst(lsbFirst) {}

    // Appends up to size/(channels*4)+1 frames to `out` and returns how many it wrote.
    size_t Push(const uint8_t* data, size_t size, Frame* out);
    // Completes a partial last word with silence; returns 1 if it wrote a frame, else 0.
    size_t Flush(Frame* out);
    // Frames that Push may write for a packet of `size` bytes.
    size_t MaxFrames(size_t size) const { return size / static_cast<size_t>(m_channels) / 4 + 1; }

private:
    void Add(int channel, uint8_t byte);
    size_t Complete(Frame* out);

    int m_channels;
    bool m_planar;
    bool m_lsbFirst;
    uint8_t m_pending[2][4]{};
    int m_fill[2]{};
};

} // namespace lkplay
