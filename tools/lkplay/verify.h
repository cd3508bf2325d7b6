// Compares what the device received with what the files hold, as the audio arrives. One verifier
// follows one stream: the files played in it one after the other, without a gap. The received stream
// may begin with silence the file does not hold (lead-in); from the file's first sound on, every
// frame the player handed to the driver must arrive, in order and unchanged, and the number of frames
// the player played from each file must be the number the file holds.
#pragma once

#include "tools/lkplay/frame.h"
#include "tools/lkplay/reference.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lkplay {

struct VerifyResult {
    bool verified = false; // compared at all (false: `message` says why not)
    bool match = false;
    uint64_t frames = 0; // frames of the file compared
    uint64_t offset = 0; // frames of lead-in before the first file
    std::string message;
};

class StreamVerifier {
public:
    using OpenReference = std::function<std::unique_ptr<FrameSource>(std::string* whyNot)>;

    explicit StreamVerifier(Frame silence) : m_silence(silence) {}
    // The next file of the stream. `open` gives its reference when the verifier reaches it, or null
    // with the reason the file cannot be verified (then its frames are passed over unchecked).
    void AddFile(OpenReference open);
    // How many frames the player handed to the driver from file `index`, once it knows.
    void SetPlayed(size_t index, uint64_t frames);
    // The next frames the device received.
    void Received(const Frame* frames, size_t count);
    // Nothing more arrives: settles every file.
    void Finish();
    // Files whose result is final, from the first on.
    size_t Settled() const { return m_settled; }
    const VerifyResult& Result(size_t index) const { return m_files[index].result; }

private:
    struct File {
        OpenReference open;
        std::unique_ptr<FrameSource> reference;
        bool opened = false;
        std::string whyNot;
        int64_t played = -1;
        uint64_t compared = 0; // frames of the file checked against the reference
        bool referenceEnded = false;
        bool failed = false;
        VerifyResult result;
    };

    File& Current() { return m_files[m_current]; }
    void OpenCurrent();
    // The next reference frame of the current file; false when the file holds no more.
    bool NextReference(Frame* frame);
    void Fail(File& file, const std::string& message);
    void Settle();
    bool Align(const Frame& received);

    Frame m_silence;
    std::vector<File> m_files;
    size_t m_current = 0;
    size_t m_settled = 0;
    bool m_aligned = false;
    uint64_t m_leadIn = 0;         // silent frames received before the first sound
    uint64_t m_positionInFile = 0; // frames of the current file received
    Frame m_chunk[4096];
    size_t m_chunkAt = 0, m_chunkLength = 0;
};

} // namespace lkplay
