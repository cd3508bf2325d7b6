// Packing the host's output halves into the device's stream frames: 8 bytes per sample position, the
// left word then the right word, 32-bit little-endian; DSD words byte-reversed.
#pragma once

#include <atomic>
#include <cstdint>

constexpr uint32_t kFrameBytes = 8;
constexpr uint32_t kDsdSilenceWord = 0xAAAAAAAAu;

// Reverses the four bytes of a word; compilers turn this into one instruction.
constexpr uint32_t ReverseBytes(uint32_t word) {
    return (word >> 24) | ((word >> 8) & 0x0000FF00u) | ((word << 8) & 0x00FF0000u) | (word << 24);
}

// Packs `frames` frames into `slot`. The I/O format is read once: a host that switches format
// mid-stream gets whole halves in one format or the other, never a half split between them.
void PackHalf(uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames,
              const std::atomic<int32_t>& ioFormat);

// Fills `frames` frames of `slot` with silence: alternating bits in DSD, zeros in PCM.
void FillSilence(uint8_t* slot, int32_t frames, bool dsd);

// The packing routines PackHalf chooses between, for tests and benchmarks.
enum class PackPath {
    Baseline, // what every x86-64 processor has (SSE2), or plain code elsewhere
    Avx2,     // 256-bit, where the processor has it
    Avx512,   // 512-bit (AVX-512 with VBMI2), where the processor has it
};
// The path PackHalf takes on this processor.
PackPath SelectedPackPath();
bool PackPathAvailable(PackPath path);
// Packs with the given path, which must be available.
void PackHalfOn(PackPath path, uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames,
                bool dsd);
