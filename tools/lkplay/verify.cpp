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

void StreamVerifier::AddFile(OpenReference open) {
    File file;
    file.open = std::move(open);
    m_files.push_back(std::move(file));
}

void StreamVerifier::SetPlayed(size_t index, uint64_t frames) {
    if (index < m_files.size())
        m_files[index].played = static_cast<int64_t>(frames);
}

void StreamVerifier::OpenCurrent() {
    File& file = Current();
    if (file.opened)
        return;
    file.opened = true;
    file.reference = file.open(&file.whyNot);
    m_chunkAt = m_chunkLength = 0;
}

bool StreamVerifier::NextReference(Frame* frame) {
    File& file = Current();
    if (m_chunkAt == m_chunkLength) {
        if (file.referenceEnded || !file.reference)
            return false;
        m_chunkLength = file.reference->Read(m_chunk, sizeof m_chunk / sizeof m_chunk[0]);
        m_chunkAt = 0;
        if (m_chunkLength == 0) {
            file.referenceEnded = true;
            return false;
        }
    }
    *frame = m_chunk[m_chunkAt++];
    return true;
}

void StreamVerifier::Fail(File& file, const std::string& message) {
    if (file.failed)
        return;
    file.failed = true;
    file.result.message = message;
}

void StreamVerifier::Settle() {
    OpenCurrent();
    File& file = Current();
    const bool first = m_current == 0;
    uint64_t total = file.compared;
    if (file.reference) {
        Frame ignored;
        while (NextReference(&ignored))
            ++total;
    }
    VerifyResult& result = file.result;
    result.frames = file.compared;
    result.offset = m_leadIn;
    if (!file.reference) {
        result.message = file.whyNot;
    } else {
        result.verified = true;
        if (!file.failed && file.played >= 0 && static_cast<uint64_t>(file.played) != total)
            Fail(file, "the player handed the driver " + std::to_string(file.played) +
                           " frames of the file, which holds " + std::to_string(total));
        if (!file.failed && file.compared < total)
            Fail(file, "the received audio had already ended after " + std::to_string(file.compared) +
                           " of " + std::to_string(total) + " frames");
        result.match = !file.failed;
        if (result.match)
            result.message = std::to_string(total) + " frames received bit for bit" +
                             (first ? ", after " + std::to_string(m_leadIn) + " frames of lead-in"
                                    : ", right after the previous file");
    }
    file.reference.reset();
    ++m_current;
    m_settled = m_current;
    m_positionInFile = 0;
    m_chunkAt = m_chunkLength = 0;
}

// Before the first sound: silence is lead-in. At the first sound, the file's own leading silence is
// taken from the lead-in and the rest is compared from there on.
bool StreamVerifier::Align(const Frame& received) {
    OpenCurrent();
    File& file = Current();
    if (!file.reference) {
        m_aligned = true;
        return false;
    }
    if (received == m_silence) {
        ++m_leadIn;
        return true;
    }
    m_aligned = true;
    uint64_t silent = 0;
    Frame want;
    bool sound = false;
    while (NextReference(&want)) {
        if (!(want == m_silence)) {
            sound = true;
            break;
        }
        ++silent;
    }
    if (silent > m_leadIn) {
        Fail(file, "the received audio starts " + std::to_string(silent - m_leadIn) +
                       " frames too early: the file's first " + std::to_string(silent) +
                       " frames are silence");
        m_positionInFile = m_leadIn + 1;
        m_leadIn = 0;
        return true;
    }
    m_leadIn -= silent;
    m_positionInFile = silent;
    file.compared = silent;
    if (!sound)
        return false; // the file is silence: this sound belongs to what follows it
    ++m_positionInFile;
    ++file.compared;
    if (!(want == received))
        Fail(file, "frame " + std::to_string(file.compared - 1) + " of the file: expected " +
                       FrameText(want) + ", received " + FrameText(received));
    return true;
}

void StreamVerifier::Received(const Frame* frames, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (m_current >= m_files.size())
            return; // the silence after the last file
        if (!m_aligned && Align(frames[i]))
            continue;
        while (m_current < m_files.size() && Current().played >= 0 &&
               m_positionInFile >= static_cast<uint64_t>(Current().played))
            Settle();
        if (m_current >= m_files.size())
            return;
        OpenCurrent();
        File& file = Current();
        ++m_positionInFile;
        Frame want;
        if (!file.reference || file.failed || !NextReference(&want))
            continue; // not verified, already failed, or more than the file holds (the count tells)
        ++file.compared;
        if (!(want == frames[i]))
            Fail(file, "frame " + std::to_string(file.compared - 1) + " of the file: expected " +
                           FrameText(want) + ", received " + FrameText(frames[i]));
    }
}

void StreamVerifier::Finish() {
    if (!m_aligned && m_current < m_files.size()) {
        // Nothing but silence arrived: the file must be silence and no longer than what arrived.
        OpenCurrent();
        File& file = Current();
        uint64_t silent = 0;
        Frame want;
        bool sound = false;
        while (file.reference && NextReference(&want)) {
            if (!(want == m_silence)) {
                sound = true;
                break;
            }
            ++silent;
        }
        if (file.reference && sound)
            Fail(file,
                 "none of the file's sound arrived: " + std::to_string(m_leadIn) + " frames of silence did");
        else if (file.reference && silent > m_leadIn)
            Fail(file, "the file is " + std::to_string(silent) +
                           " frames of silence, the received audio only " + std::to_string(m_leadIn));
        file.compared = sound ? 0 : silent;
        if (!sound)
            m_leadIn -= std::min(m_leadIn, silent);
        m_aligned = true;
    }
    while (m_current < m_files.size())
        Settle();
}

} // namespace lkplay
