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
                          uint32_t silenceWord) {
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

    // The longest run of consecutive stream frames that starts within the first four periods; what
    // comes before it is lead-in.
    size_t bestStart = 0, bestLength = 0;
    for (size_t start = 0; start < count && start <= 4 * period;) {
        const int64_t first = IndexOf(frames[start], generated);
        size_t length = 0;
        if (first >= 0)
            while (start + length < count &&
                   IndexOf(frames[start + length], generated) == first + int64_t(length))
                ++length;
        if (length > bestLength) {
            bestStart = start;
            bestLength = length;
        }
        start += length ? length : 1;
    }
    if (bestLength == 0)
        return fail("no frame of the test stream", 0);
    report.leadIn = bestStart;
    report.first = static_cast<uint64_t>(IndexOf(frames[bestStart], generated));
    report.frames = bestLength;
    for (size_t i = 0; i < bestStart; ++i)
        if (IndexOf(frames[i], generated) < 0 &&
            !(frames[i].left == silenceWord && frames[i].right == silenceWord))
            return fail("a foreign frame in the lead-in", i);

    // After the run: at most two periods of frames already sent (the last half packed once more while
    // the stream ended), then silence only.
    size_t at = bestStart + bestLength;
    const int64_t last = IndexOf(frames[at - 1], generated);
    while (at < count && report.repeated < 2 * period) {
        const int64_t index = IndexOf(frames[at], generated);
        if (index < 0 || index > last)
            break;
        ++report.repeated;
        ++at;
    }
    for (; at < count; ++at) {
        if (frames[at].left != silenceWord || frames[at].right != silenceWord)
            return fail("a frame that is neither the stream nor silence", at);
        ++report.silence;
    }
    // Every period the host filled reached the device, except the last few in flight when it stopped.
    if (report.frames + 4 * period < generated)
        return fail("too few stream frames", bestStart + bestLength);
    report.exact = true;
    return report;
}

} // namespace lkcheck
