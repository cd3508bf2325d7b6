#include "asio/packing.h"

#include "platform/asio.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LK_PACK_X86 1
#endif

namespace {

inline void PutWord(uint8_t* at, uint32_t word) {
    std::memcpy(at, &word, sizeof word);
}

// Frames [from, frames) one at a time: the tails the vector loops leave.
template <bool kDsd>
inline void PackFrames(uint8_t* slot, const int32_t* left, const int32_t* right, int32_t from,
                       int32_t frames) {
    for (int32_t j = from; j < frames; ++j) {
        uint32_t l = static_cast<uint32_t>(left[j]);
        uint32_t r = static_cast<uint32_t>(right[j]);
        if constexpr (kDsd) {
            // The host's MSB-first DSD bytes go to the device in reverse order within each word.
            l = ReverseBytes(l);
            r = ReverseBytes(r);
        }
        PutWord(slot + static_cast<size_t>(j) * kFrameBytes, l);
        PutWord(slot + static_cast<size_t>(j) * kFrameBytes + 4, r);
    }
}

#ifdef LK_PACK_X86

// SSE2 has no byte shuffle: swap the 16-bit halves of each word, then the two bytes of each half.
inline __m128i ReverseBytes128(__m128i v) {
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

template <bool kDsd>
void PackBaseline(uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames) {
    int32_t j = 0;
    for (; j + 4 <= frames; j += 4) {
        __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(left + j));
        __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(right + j));
        if constexpr (kDsd) {
            l = ReverseBytes128(l);
            r = ReverseBytes128(r);
        }
        uint8_t* out = slot + static_cast<size_t>(j) * kFrameBytes;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi32(l, r));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi32(l, r));
    }
    PackFrames<kDsd>(slot, left, right, j, frames);
}

// Eight frames per step. Kept to a few live registers: mingw-w64 does not align the stack for spilled
// vector values wider than 16 bytes.
template <bool kDsd>
__attribute__((target("avx2"))) void PackAvx2(uint8_t* slot, const int32_t* left, const int32_t* right,
                                              int32_t frames) {
    const __m256i reverse = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0,
                                             7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    int32_t j = 0;
    for (; j + 8 <= frames; j += 8) {
        __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(left + j));
        __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(right + j));
        if constexpr (kDsd) {
            l = _mm256_shuffle_epi8(l, reverse);
            r = _mm256_shuffle_epi8(r, reverse);
        }
        // Per 128-bit lane: lo = L0 R0 L1 R1 | L4 R4 L5 R5, hi = L2 R2 L3 R3 | L6 R6 L7 R7.
        const __m256i lo = _mm256_unpacklo_epi32(l, r);
        const __m256i hi = _mm256_unpackhi_epi32(l, r);
        uint8_t* out = slot + static_cast<size_t>(j) * kFrameBytes;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    PackFrames<kDsd>(slot, left, right, j, frames);
}

#define LK_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi2")))

// DSD words byte-reversed on two different execution ports, so neither becomes the bottleneck: the
// left words by rotations (bytes within 16-bit halves, then the halves), the right by a byte shuffle.
template <bool kDsd>
LK_AVX512 inline __attribute__((always_inline)) void Reverse512(__m512i& l, __m512i& r, __m512i reverse) {
    if constexpr (kDsd) {
        l = _mm512_shldi_epi16(l, l, 8);
        l = _mm512_shldi_epi32(l, l, 16);
        r = _mm512_shuffle_epi8(r, reverse);
    }
}

// Sixteen frames per step, each output register built by one two-source word permute; the last
// partial step uses masked loads and stores.
template <bool kDsd>
LK_AVX512 void PackAvx512(uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames) {
    const __m512i first = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const __m512i second = _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
    const __m512i reverse = _mm512_set4_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203);
    int32_t j = 0;
    for (; j + 16 <= frames; j += 16) {
        __m512i l = _mm512_loadu_si512(left + j);
        __m512i r = _mm512_loadu_si512(right + j);
        Reverse512<kDsd>(l, r, reverse);
        uint8_t* out = slot + static_cast<size_t>(j) * kFrameBytes;
        _mm512_storeu_si512(out, _mm512_permutex2var_epi32(l, first, r));
        _mm512_storeu_si512(out + 64, _mm512_permutex2var_epi32(l, second, r));
    }
    const int32_t rest = frames - j;
    if (rest > 0) {
        const __mmask16 words = static_cast<__mmask16>((1u << rest) - 1);
        __m512i l = _mm512_maskz_loadu_epi32(words, left + j);
        __m512i r = _mm512_maskz_loadu_epi32(words, right + j);
        Reverse512<kDsd>(l, r, reverse);
        const int32_t inFirst = rest < 8 ? rest : 8;
        const __mmask16 firstWords = static_cast<__mmask16>((1u << (2 * inFirst)) - 1);
        const __mmask16 secondWords = static_cast<__mmask16>((1u << (2 * (rest - inFirst))) - 1);
        uint8_t* out = slot + static_cast<size_t>(j) * kFrameBytes;
        _mm512_mask_storeu_epi32(out, firstWords, _mm512_permutex2var_epi32(l, first, r));
        _mm512_mask_storeu_epi32(out + 64, secondWords, _mm512_permutex2var_epi32(l, second, r));
    }
}

// Both also check that the system saves the wider registers.
bool DetectAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
bool DetectAvx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi2");
}

#else

template <bool kDsd>
void PackBaseline(uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames) {
    PackFrames<kDsd>(slot, left, right, 0, frames);
}

template <bool kDsd> void PackAvx2(uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames) {
    PackFrames<kDsd>(slot, left, right, 0, frames);
}

template <bool kDsd>
void PackAvx512(uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames) {
    PackFrames<kDsd>(slot, left, right, 0, frames);
}

bool DetectAvx2() {
    return false;
}
bool DetectAvx512() {
    return false;
}

#endif

// Decided once at load, so the render thread only reads them.
const bool g_avx2 = DetectAvx2();
const bool g_avx512 = DetectAvx512();

template <bool kDsd>
void PackWith(PackPath path, uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames) {
    if (path == PackPath::Avx512 && g_avx512)
        PackAvx512<kDsd>(slot, left, right, frames);
    else if (path == PackPath::Avx2 && g_avx2)
        PackAvx2<kDsd>(slot, left, right, frames);
    else
        PackBaseline<kDsd>(slot, left, right, frames);
}

} // namespace

PackPath SelectedPackPath() {
    return g_avx512 ? PackPath::Avx512 : g_avx2 ? PackPath::Avx2 : PackPath::Baseline;
}

bool PackPathAvailable(PackPath path) {
    switch (path) {
    case PackPath::Avx512:
        return g_avx512;
    case PackPath::Avx2:
        return g_avx2;
    default:
        return true;
    }
}

void PackHalfOn(PackPath path, uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames,
                bool dsd) {
    if (dsd)
        PackWith<true>(path, slot, left, right, frames);
    else
        PackWith<false>(path, slot, left, right, frames);
}

void PackHalf(uint8_t* slot, const int32_t* left, const int32_t* right, int32_t frames,
              const std::atomic<int32_t>& ioFormat) {
    const bool dsd = ioFormat.load(std::memory_order_relaxed) == kASIODSDFormat;
    PackHalfOn(SelectedPackPath(), slot, left, right, frames, dsd);
}

void FillSilence(uint8_t* slot, int32_t frames, bool dsd) {
    // Both silence words repeat one byte: 0xAA in DSD, 0 in PCM.
    static_assert(kDsdSilenceWord == 0xAAAAAAAAu);
    if (frames > 0)
        std::memset(slot, dsd ? 0xAA : 0, static_cast<size_t>(frames) * kFrameBytes);
}
