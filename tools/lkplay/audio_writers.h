// Writers of stereo audio files from frames: WAV (32-bit PCM), DSF and DFF (1-bit DSD). They stream
// to disk and fill in the sizes when closed.
#pragma once

#include "tools/lkplay/frame.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace lkplay {

class AudioFileWriter {
public:
    virtual ~AudioFileWriter();
    // `rate` is the PCM sample rate, or the DSD bit rate per channel.
    bool Open(const std::string& path, uint32_t rate);
    bool Write(const Frame* frames, size_t count);
    // Writes the headers with the final sizes; false when any write failed.
    bool Close();
    const std::string& error() const { return m_error; }

protected:
    virtual bool WriteHeader() = 0;
    virtual bool WriteFrames(const Frame* frames, size_t count) = 0;
    virtual bool Finish() { return true; }
    bool Put(const void* data, size_t size);
    bool PutLe(uint64_t value, int bytes);
    bool PutBe(uint64_t value, int bytes);
    bool Seek(long offset);

    std::FILE* m_file = nullptr;
    uint32_t m_rate = 0;
    uint64_t m_frames = 0;
    bool m_failed = false;
    std::string m_error;
    std::string m_path;
};

class WavWriter : public AudioFileWriter {
protected:
    bool WriteHeader() override;
    bool WriteFrames(const Frame* frames, size_t count) override;
};

class DsfWriter : public AudioFileWriter {
public:
    static constexpr size_t kBlockBytes = 4096;

protected:
    bool WriteHeader() override;
    bool WriteFrames(const Frame* frames, size_t count) override;
    bool Finish() override;

private:
    bool FlushBlocks();
    uint8_t m_block[2][kBlockBytes]{};
    size_t m_blockFill = 0;
    uint64_t m_dataBytes = 0;
};

class DffWriter : public AudioFileWriter {
protected:
    bool WriteHeader() override;
    bool WriteFrames(const Frame* frames, size_t count) override;
};

// The bytes of a frame word in memory order (earliest DSD byte first).
void WordBytes(uint32_t word, uint8_t out[4]);

} // namespace lkplay
