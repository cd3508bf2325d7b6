// The test streams of lkstreamcheck: frames the host generates from a counter (so that any received
// frame tells which one it is), and the check that the device received them bit-exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lkcheck {

// Frame n of the test stream: a left word that counts and a right word derived from it. Neither is
// ever 0 (PCM silence) nor 0xAAAAAAAA (DSD silence).
uint32_t LeftWord(uint64_t n);
uint32_t RightWord(uint64_t n);

struct StreamReport {
    bool exact = false;
    size_t leading = 0;  // silence frames before the stream's first frame
    size_t frames = 0;   // frames of the test stream received in order, from its first
    size_t silence = 0;  // silence frames after them
    std::string problem; // why it is not exact
};

// Received: interleaved 8-byte frames as the device recorded them. `generated` frames were handed to the
// driver (half 1 before start included), `period` frames per buffer switch. Exact means: `leadPeriods`
// periods of silence (the safety buffers), the stream from its first frame, every frame once and in
// order, then silence only; only the half the host filled last may be missing (the driver had not
// taken it yet when the host stopped).
StreamReport VerifyStream(const std::vector<uint8_t>& received, uint64_t generated, size_t period,
                          uint32_t silenceWord, size_t leadPeriods = 0);

} // namespace lkcheck
