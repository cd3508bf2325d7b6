#include "tools/lkplay/audio_writers.h"

#include "tools/lkplay/sample_convert.h"

#include <cerrno>
#include <cstring>

namespace lkplay {

void WordBytes(uint32_t word, uint8_t out[4]) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(word >> (8 * i));
}

AudioFileWriter::~AudioFileWriter() {
    if (m_file)
        std::fclose(m_file);
}

bool AudioFileWriter::Open(const std::string& path, uint32_t rate) {
    m_path = path;
    m_rate = rate;
    m_frames = 0;
    m_failed = false;
    m_file = std::fopen(path.c_str(), "wb");
    if (!m_file) {
        m_error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    return WriteHeader();
}

bool AudioFileWriter::Put(const void* data, size_t size) {
    if (!m_failed && std::fwrite(data, 1, size, m_file) != size) {
        m_failed = true;
        m_error = "cannot write " + m_path + ": " + std::strerror(errno);
    }
    return !m_failed;
}

bool AudioFileWriter::PutLe(uint64_t value, int bytes) {
    uint8_t b[8];
    for (int i = 0; i < bytes; ++i)
        b[i] = static_cast<uint8_t>(value >> (8 * i));
    return Put(b, static_cast<size_t>(bytes));
}

bool AudioFileWriter::PutBe(uint64_t value, int bytes) {
    uint8_t b[8];
    for (int i = 0; i < bytes; ++i)
        b[i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
    return Put(b, static_cast<size_t>(bytes));
}

bool AudioFileWriter::Seek(long offset) {
    if (!m_failed && std::fseek(m_file, offset, SEEK_SET) != 0) {
        m_failed = true;
        m_error = "cannot seek in " + m_path + ": " + std::strerror(errno);
    }
    return !m_failed;
}

bool AudioFileWriter::Write(const Frame* frames, size_t count) {
    if (!m_file || m_failed)
        return false;
    m_frames += count;
    return WriteFrames(frames, count);
}

bool AudioFileWriter::Close() {
    if (!m_file)
        return false;
    bool ok = Finish() && Seek(0) && WriteHeader();
    if (std::fclose(m_file) != 0 && ok) {
        ok = false;
        m_error = "cannot write " + m_path + ": " + std::strerror(errno);
    }
    m_file = nullptr;
    return ok && !m_failed;
}

// WAV: RIFF with a 16-byte PCM format chunk, two 32-bit channels.
bool WavWriter::WriteHeader() {
    const uint64_t data = m_frames * 8;
    if (36 + data > UINT32_MAX) {
        m_failed = true;
        m_error = m_path + ": too much audio for a WAV file";
        return false;
    }
    return Put("RIFF", 4) && PutLe(36 + data, 4) && Put("WAVEfmt ", 8) && PutLe(16, 4) && PutLe(1, 2) &&
           PutLe(2, 2) && PutLe(m_rate, 4) && PutLe(uint64_t{m_rate} * 8, 4) && PutLe(8, 2) && PutLe(32, 2) &&
           Put("data", 4) && PutLe(data, 4);
}

bool WavWriter::WriteFrames(const Frame* frames, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (!PutLe(frames[i].left, 4) || !PutLe(frames[i].right, 4))
            return false;
    return true;
}

// DSF: 'DSD ', 'fmt ' and 'data' chunks; per-channel blocks of 4096 bytes, LSB first.
bool DsfWriter::WriteHeader() {
    const uint64_t dataChunk = 12 + m_dataBytes;
    const uint64_t fileSize = 28 + 52 + dataChunk;
    return Put("DSD ", 4) && PutLe(28, 8) && PutLe(fileSize, 8) && PutLe(0, 8) && Put("fmt ", 4) &&
           PutLe(52, 8) && PutLe(1, 4) && PutLe(0, 4) && PutLe(2, 4) && PutLe(2, 4) && PutLe(m_rate, 4) &&
           PutLe(1, 4) && PutLe(m_frames * kDsdSamplesPerWord, 8) && PutLe(kBlockBytes, 4) && PutLe(0, 4) &&
           Put("data", 4) && PutLe(dataChunk, 8);
}

bool DsfWriter::FlushBlocks() {
    if (m_blockFill == 0)
        return true;
    // The last block is padded with zeros to its full size.
    for (int c = 0; c < 2; ++c)
        std::memset(m_block[c] + m_blockFill, 0, kBlockBytes - m_blockFill);
    m_blockFill = 0;
    m_dataBytes += 2 * kBlockBytes;
    return Put(m_block[0], kBlockBytes) && Put(m_block[1], kBlockBytes);
}

bool DsfWriter::WriteFrames(const Frame* frames, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t left[4], right[4];
        WordBytes(frames[i].left, left);
        WordBytes(frames[i].right, right);
        for (int b = 0; b < 4; ++b) {
            m_block[0][m_blockFill] = ReverseBits(left[b]);
            m_block[1][m_blockFill] = ReverseBits(right[b]);
            ++m_blockFill;
        }
        if (m_blockFill == kBlockBytes && !FlushBlocks())
            return false;
    }
    return true;
}

bool DsfWriter::Finish() {
    return FlushBlocks();
}

// DFF: big-endian chunks FRM8 'DSD ' > FVER, PROP 'SND ' (FS, CHNL, CMPR), DSD; bytes interleaved by
// channel, MSB first.
bool DffWriter::WriteHeader() {
    static const char kCompressionName[] = "not compressed";
    const uint64_t nameLength = sizeof kCompressionName - 1;
    const uint64_t cmprSize = 4 + 1 + nameLength; // odd: one pad byte follows
    const uint64_t propSize = 4 + (12 + 4) + (12 + 2 + 8) + (12 + cmprSize + (cmprSize & 1));
    const uint64_t dataBytes = m_frames * 8;
    const uint64_t formSize = 4 + (12 + 4) + (12 + propSize) + (12 + dataBytes);
    return Put("FRM8", 4) && PutBe(formSize, 8) && Put("DSD ", 4) && Put("FVER", 4) && PutBe(4, 8) &&
           PutBe(0x01050000, 4) && Put("PROP", 4) && PutBe(propSize, 8) && Put("SND ", 4) && Put("FS  ", 4) &&
           PutBe(4, 8) && PutBe(m_rate, 4) && Put("CHNL", 4) && PutBe(10, 8) && PutBe(2, 2) &&
           Put("SLFTSRGT", 8) && Put("CMPR", 4) && PutBe(cmprSize, 8) && Put("DSD ", 4) &&
           PutBe(nameLength, 1) && Put(kCompressionName, nameLength) &&
           ((cmprSize & 1) == 0 || PutBe(0, 1)) && Put("DSD ", 4) && PutBe(dataBytes, 8);
}

bool DffWriter::WriteFrames(const Frame* frames, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t left[4], right[4], out[8];
        WordBytes(frames[i].left, left);
        WordBytes(frames[i].right, right);
        for (int b = 0; b < 4; ++b) {
            out[2 * b] = left[b];
            out[2 * b + 1] = right[b];
        }
        if (!Put(out, sizeof out))
            return false;
    }
    return true;
}

} // namespace lkplay
