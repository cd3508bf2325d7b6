// The reference that --verify compares the device's reception with: the file read a second time,
// apart from the player's decoder. WAV, DSF and DFF are parsed here byte by byte, to the last whole
// frame the file holds; other formats go through FFmpeg's decoder in a loop of their own that keeps
// every packet, a short last one included.
#pragma once

#include "tools/lkplay/frame.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct AVFrame;

namespace lkplay {

// Frames in order, in pieces of any size.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Up to `max` next frames into `out`; 0 once the source has ended.
    virtual size_t Read(Frame* out, size_t max) = 0;
};

class ReferenceReader : public FrameSource {
public:
    ReferenceReader();
    ~ReferenceReader() override;
    ReferenceReader(const ReferenceReader&) = delete;
    ReferenceReader& operator=(const ReferenceReader&) = delete;

    bool Open(const std::string& path);
    size_t Read(Frame* out, size_t max) override;
    const std::string& error() const { return m_error; } // after a failed Open or a read error
    bool dsd() const { return m_dsd; }
    double rate() const { return m_rate; }

private:
    enum class Kind { None, Wav, Dsf, Dff, Ffmpeg };
    enum class Sample { U8, S16, S24, S32, S64, F32, F64 };

    bool OpenWav();
    bool OpenDsf();
    bool OpenDff();
    bool OpenFfmpeg();
    size_t ReadWav(Frame* out, size_t max);
    size_t ReadDsf(Frame* out, size_t max);
    size_t ReadDff(Frame* out, size_t max);
    size_t ReadFfmpeg(Frame* out, size_t max);
    // One byte of each channel was placed at m_wordFill: after the fourth, out[made++] is their frame.
    void TakeDsdBytes(Frame* out, size_t& made);
    Frame DsdFrame() const; // the words in m_word, left and right
    // At the end of the data, a partial word completed with silence as the last frame; returns `made`.
    size_t PadDsdWord(Frame* out, size_t made, size_t max);
    bool Fail(const std::string& what);

    std::string m_path;
    std::string m_error;
    Kind m_kind = Kind::None;
    std::FILE* m_file = nullptr;
    bool m_dsd = false;
    double m_rate = 0;
    int m_channels = 0;
    // WAV and DFF: interleaved data from the current position on.
    Sample m_sample = Sample::S16;
    int m_bytesPerSample = 0;
    uint64_t m_dataLeft = 0; // bytes still to read (UINT64_MAX: to the end of the file)
    // DSF: channel blocks.
    uint32_t m_blockSize = 0;
    bool m_lsbFirst = false;
    uint64_t m_bytesPerChannelLeft = 0;
    std::vector<uint8_t> m_block;         // one group of channel blocks
    size_t m_blockAt = 0, m_blockLen = 0; // position and usable bytes per channel in m_block
    // DSD bytes of a word in progress, per channel.
    uint8_t m_word[2][4]{};
    int m_wordFill = 0;
    bool m_ended = false;
    // FFmpeg.
    AVFormatContext* m_format = nullptr;
    AVCodecContext* m_codec = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
    int m_stream = -1;
    std::vector<Frame> m_pending;
    size_t m_pendingAt = 0;
    bool m_draining = false;
};

// The reference's conversions, written apart from the player's: a signed integer sample of `bits`
// (its bytes little-endian) left-justified into 32 bits, the top 32 of a 64-bit one; a float scaled by
// 2^31, rounded to nearest (ties to even) and clipped.
uint32_t ReferenceIntegerWord(const uint8_t* bytes, int bits);
uint32_t ReferenceFloatWord(double value);

} // namespace lkplay
