#include "asio/packing.h"

#include "platform/asio.h"

#include <cstring>

namespace {
inline void PutWord(uint8_t* at, uint32_t word) {
    std::memcpy(at, &word, sizeof word);
}
} // namespace

void PackHalf(uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames,
              const std::atomic<int32_t>& ioFormat) {
    for (int32_t j = 0; j < frames; ++j) {
        uint32_t l = static_cast<uint32_t>(left[j]);
        uint32_t r = static_cast<uint32_t>(right[j]);
        if (ioFormat.load(std::memory_order_relaxed) == kASIODSDFormat) {
            // The host's MSB-first DSD bytes go to the device in reverse order within each word.
            l = htonl(l);
            r = htonl(r);
        }
        PutWord(slot + j * kFrameBytes, l);
        PutWord(slot + j * kFrameBytes + 4, r);
    }
}

void FillSilence(uint8_t* slot, int32_t frames, bool dsd) {
    const uint32_t word = dsd ? kDsdSilenceWord : 0u;
    for (int32_t j = 0; j < frames * 2; ++j)
        PutWord(slot + j * 4, word);
}
