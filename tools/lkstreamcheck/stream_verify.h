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
    size_t frames = 0;   // frames of the test stream received in order
    uint64_t first = 0;  // the stream index of the first of them
    size_t leadIn = 0;   // received frames before them
    size_t repeated = 0; // stream frames received again after them, before the silence
    size_t silence = 0;  // silence frames at the end
    std::string problem; // why it is not exact
};

// Received: interleaved 8-byte frames as the device recorded them. `generated` frames were handed to the
// driver, `period` frames per buffer switch.
StreamReport VerifyStream(const std::vector<uint8_t>& received, uint64_t generated, size_t period,
                          uint32_t silenceWord);

} // namespace lkcheck
