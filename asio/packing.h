// Packing the host's output halves into the device's stream frames: 8 bytes per sample position, the
// left word then the right word, 32-bit little-endian; DSD words byte-reversed.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>

constexpr uint32_t kFrameBytes = 8;
constexpr uint32_t kDsdSilenceWord = 0xAAAAAAAAu;

// Packs `frames` frames into `slot`. The I/O format is read for every frame, so a host that switches
// format mid-stream gets each frame packed by the format in force when it is packed.
void PackHalf(uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames,
              const std::atomic<int32_t>& ioFormat);

// Fills `frames` frames of `slot` with silence: alternating bits in DSD, zeros in PCM.
void FillSilence(uint8_t* slot, int32_t frames, bool dsd);
