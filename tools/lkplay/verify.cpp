#include "tools/lkplay/verify.h"

#include <cstdio>

namespace lkplay {

namespace {

std::string FrameText(const Frame& frame) {
    char text[32];
    std::snprintf(text, sizeof text, "%08X %08X", frame.left, frame.right);
    return text;
}

} // namespace

StreamVerifier::StreamVerifier(const Frame* received, size_t count, Frame silence)
    : m_received(received), m_count(count), m_silence(silence) {}

void StreamVerifier::Mismatch(uint64_t fileFrame, const Frame& expected, const Frame* got) {
    m_failed = true;
    m_message = "frame " + std::to_string(fileFrame) + " of the file: expected " + FrameText(expected) +
                ", " + (got ? "received " + FrameText(*got) : "the received audio had already ended");
}

void StreamVerifier::Feed(const Frame* expected, size_t count) {
    for (size_t i = 0; i < count && !m_failed; ++i, ++m_fileFrames) {
        const Frame& want = expected[i];
        if (!m_aligned) {
            // Leading silence of the file cannot be told from the lead-in; align on the first sound.
            if (want == m_silence)
                continue;
            size_t first = 0;
            while (first < m_count && m_received[first] == m_silence)
                ++first;
            if (first < m_fileFrames) {
                m_failed = true;
                m_message = "the received audio starts " + std::to_string(m_fileFrames - first) +
                            " frames too early: the file's first " + std::to_string(m_fileFrames) +
                            " frames are silence";
                return;
            }
            m_aligned = true;
            m_offset = first - m_fileFrames;
        }
        const uint64_t at = m_fileFrames + m_offset;
        if (at >= m_count) {
            Mismatch(m_fileFrames, want, nullptr);
            return;
        }
        if (!(m_received[at] == want)) {
            Mismatch(m_fileFrames, want, &m_received[at]);
            return;
        }
    }
}

VerifyResult StreamVerifier::Finish() {
    VerifyResult result;
    result.frames = m_fileFrames;
    if (!m_failed && !m_aligned) {
        // A file of silence only: the received stream must hold at least as much silence up front.
        size_t first = 0;
        while (first < m_count && m_received[first] == m_silence)
            ++first;
        if (first < m_fileFrames) {
            m_failed = true;
            m_message =
                "the file is silence, but the received audio has sound at frame " + std::to_string(first);
        }
    }
    result.match = !m_failed;
    result.offset = m_offset;
    result.message = m_failed ? m_message
                              : std::to_string(m_fileFrames) + " frames received bit for bit, after " +
                                    std::to_string(m_offset) + " frames of lead-in";
    return result;
}

} // namespace lkplay
