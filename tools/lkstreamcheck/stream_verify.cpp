#include "tools/lkstreamcheck/stream_verify.h"

#include <cstdio>
#include <cstring>

namespace lkcheck {
namespace {

constexpr uint32_t kBase = 0x01000001;
constexpr uint32_t kMix = 0x5A5A5A5A;

struct Frame {
    uint32_t left;
    uint32_t right;
};

// The stream index of a received frame, or -1 when it is no frame of the test stream.
int64_t IndexOf(const Frame& frame, uint64_t generated) {
    const uint64_t n = static_cast<uint32_t>(frame.left - kBase);
    if (n >= generated || frame.right != RightWord(n))
        return -1;
    return static_cast<int64_t>(n);
}

} // namespace

uint32_t LeftWord(uint64_t n) {
    return kBase + static_cast<uint32_t>(n);
}

uint32_t RightWord(uint64_t n) {
    return LeftWord(n) ^ kMix;
}

StreamReport VerifyStream(const std::vector<uint8_t>& received, uint64_t generated, size_t period,
                          uint32_t silenceWord, size_t leadPeriods) {
    StreamReport report;
    const size_t count = received.size() / 8;
    std::vector<Frame> frames(count);
    if (count)
        std::memcpy(frames.data(), received.data(), count * 8);
    auto fail = [&](const char* what, size_t at) {
        char text[160];
        std::snprintf(text, sizeof text, "%s at frame %zu (left %08X right %08X)", what, at,
                      at < count ? frames[at].left : 0, at < count ? frames[at].right : 0);
        report.problem = text;
        return report;
    };
    if (received.size() % 8 != 0)
        return fail("a partial frame", count);

    auto silent = [&](size_t i) { return frames[i].left == silenceWord && frames[i].right == silenceWord; };
    // Exactly the safety buffers' silence, then the first frame the host filled.
    const size_t lead = leadPeriods * period;
    size_t at = 0;
    while (at < count && silent(at))
        ++at;
    report.leading = at;
    if (at != lead) {
        char what[96];
        std::snprintf(what, sizeof what, "%zu frames of silence before the stream, expected %zu", at, lead);
        return fail(what, at);
    }
    while (at < count && IndexOf(frames[at], generated) == static_cast<int64_t>(at - lead))
        ++at;
    report.frames = at - lead;
    if (report.frames == 0)
        return fail("the record does not begin with the stream's first frame", lead);
    for (; at < count; ++at) {
        if (!silent(at))
            return fail("a frame that is neither the stream's next nor silence", at);
        ++report.silence;
    }
    if (report.frames + period < generated)
        return fail("too few stream frames", report.frames);
    report.exact = true;
    return report;
}

} // namespace lkcheck
