#include "tools/lkplay/sample_convert.h"

#include <cmath>
#include <cstring>

namespace lkplay {

namespace {

template <typename T> T Load(const uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

int32_t ToWord(PcmFormat format, const uint8_t* p) {
    switch (format) {
    case PcmFormat::U8:
        return static_cast<int32_t>(static_cast<uint32_t>(*p ^ 0x80u) << 24);
    case PcmFormat::S16:
        return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(Load<int16_t>(p))) << 16);
    case PcmFormat::S32:
        return Load<int32_t>(p);
    case PcmFormat::S64:
        return static_cast<int32_t>(Load<int64_t>(p) >> 32);
    case PcmFormat::Float:
        return FloatToInt32(Load<float>(p));
    case PcmFormat::Double:
        return FloatToInt32(Load<double>(p));
    }
    return 0;
}

size_t SampleBytes(PcmFormat format) {
    switch (format) {
    case PcmFormat::U8:
        return 1;
    case PcmFormat::S16:
        return 2;
    case PcmFormat::S32:
    case PcmFormat::Float:
        return 4;
    case PcmFormat::S64:
    case PcmFormat::Double:
        return 8;
    }
    return 1;
}

uint32_t WordFromBytes(const uint8_t b[4]) {
    // The frame word holds the bytes in memory order; both targets are little-endian.
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

} // namespace

int32_t FloatToInt32(double value) {
    if (std::isnan(value))
        return 0;
    const double scaled = std::nearbyint(value * 2147483648.0);
    if (scaled >= 2147483647.0)
        return INT32_MAX;
    if (scaled <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(scaled);
}

void ConvertPcm(const PcmBlock& block, Frame* out) {
    const size_t bytes = SampleBytes(block.format);
    const bool stereo = block.channels >= 2;
    for (size_t i = 0; i < block.frames; ++i) {
        const uint8_t* left;
        const uint8_t* right;
        if (block.planar) {
            left = block.planes[0] + i * bytes;
            right = stereo ? block.planes[1] + i * bytes : left;
        } else {
            left = block.planes[0] + i * bytes * static_cast<size_t>(block.channels);
            right = stereo ? left + bytes : left;
        }
        out[i] = {static_cast<uint32_t>(ToWord(block.format, left)),
                  static_cast<uint32_t>(ToWord(block.format, right))};
    }
}

uint8_t ReverseBits(uint8_t byte) {
    byte = static_cast<uint8_t>((byte & 0xF0) >> 4 | (byte & 0x0F) << 4);
    byte = static_cast<uint8_t>((byte & 0xCC) >> 2 | (byte & 0x33) << 2);
    return static_cast<uint8_t>((byte & 0xAA) >> 1 | (byte & 0x55) << 1);
}

void DsdPacker::Add(int channel, uint8_t byte) {
    m_pending[channel][m_fill[channel]++] = m_lsbFirst ? ReverseBits(byte) : byte;
}

size_t DsdPacker::Complete(Frame* out) {
    const uint32_t left = WordFromBytes(m_pending[0]);
    *out = {left, m_channels >= 2 ? WordFromBytes(m_pending[1]) : left};
    m_fill[0] = m_fill[1] = 0;
    return 1;
}

size_t DsdPacker::Push(const uint8_t* data, size_t size, Frame* out) {
    const size_t channels = m_channels >= 2 ? 2 : 1;
    const size_t perChannel = size / channels;
    size_t written = 0;
    for (size_t j = 0; j < perChannel; ++j) {
        for (size_t c = 0; c < channels; ++c)
            Add(static_cast<int>(c), m_planar ? data[c * perChannel + j] : data[j * channels + c]);
        if (m_fill[0] == 4)
            written += Complete(out + written);
    }
    return written;
}

size_t DsdPacker::Flush(Frame* out) {
    if (m_fill[0] == 0)
        return 0;
    for (int c = 0; c < 2; ++c)
        while (m_fill[c] < 4)
            m_pending[c][m_fill[c]++] = kDsdSilenceByte;
    return Complete(out);
}

} // namespace lkplay
