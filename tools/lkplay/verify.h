// Compares what the device received with what the file holds. The received stream carries silence
// before the file (the host's lead-in) and after it; the file's frames must appear in it, in order,
// complete and unchanged, with nothing but silence before them.
#pragma once

#include "tools/lkplay/frame.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace lkplay {

struct VerifyResult {
    bool match = false;
    uint64_t frames = 0; // frames of the file compared
    uint64_t offset = 0; // where the file's first frame lies in the received stream
    std::string message;
};

class StreamVerifier {
public:
    StreamVerifier(const Frame* received, size_t count, Frame silence);
    // The file's frames, in order, in any number of pieces.
    void Feed(const Frame* expected, size_t count);
    VerifyResult Finish();

private:
    void Mismatch(uint64_t fileFrame, const Frame& expected, const Frame* got);

    const Frame* m_received;
    size_t m_count;
    Frame m_silence;
    uint64_t m_fileFrames = 0; // frames fed so far
    bool m_aligned = false;    // the file's first sound has been found in the received stream
    uint64_t m_offset = 0;     // received index = file index + offset, once aligned
    bool m_failed = false;
    std::string m_message;
};

} // namespace lkplay
