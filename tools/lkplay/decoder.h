// Reads an audio file with FFmpeg and yields its content as frames for the driver's buffers. PCM goes
// through libavcodec; DSD is taken from the demuxer's raw packets, never through a DSD-to-PCM decoder.
#pragma once

#include "tools/lkplay/frame.h"
#include "tools/lkplay/sample_convert.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct AVFrame;

namespace lkplay {

enum class DecodeStatus {
    Ok,
    End,         // the whole file has been read
    Missing,     // no such file
    Unreadable,  // exists but cannot be read (a directory, no permission, an I/O error)
    NotAudio,    // not a media file, or one without an audio stream
    Unsupported, // audio, but nothing lkplay can play on a stereo PCM/DSD device
    Damaged,     // decoding failed part-way
    Truncated,   // the file ends before the audio its header announces
    NoMemory,
};

struct StreamInfo {
    bool dsd = false;
    double rate = 0;  // PCM sample rate, or DSD bit rate per channel
    int channels = 0; // 1 or 2
    std::string container;
    std::string codec;
    std::string samples;       // e.g. "24-bit integer", "32-bit float", "1-bit DSD, LSB first"
    bool integer = true;       // false for floating-point PCM, whose conversion rounds and clips
    int64_t totalSamples = -1; // per channel at `rate`, when the file says
};

class Decoder {
public:
    Decoder();
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    DecodeStatus Open(const std::string& path);
    const StreamInfo& info() const { return m_info; }
    // Decodes the next part of the file and appends its frames to `out`; End once all is read.
    DecodeStatus Read(std::vector<Frame>& out);
    const std::string& error() const { return m_error; }
    // Samples per channel read so far (for DSD: bits, including none of the padding of a last word).
    int64_t samplesRead() const { return m_samplesRead; }

private:
    DecodeStatus Fail(DecodeStatus status, const std::string& what);
    DecodeStatus FailAv(DecodeStatus status, const std::string& what, int averror);
    DecodeStatus Classify();
    DecodeStatus ReceivePcm(std::vector<Frame>& out);
    DecodeStatus Finish(std::vector<Frame>& out);
    int64_t ToSamples(int64_t duration) const;
    bool DeclaredSizeIsPlaceholder() const;
    void TrimShortPacket();

    std::string m_path;
    std::string m_error;
    StreamInfo m_info;
    AVFormatContext* m_format = nullptr;
    AVCodecContext* m_codec = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
    int m_stream = -1;
    bool m_draining = false;
    bool m_ended = false;
    int64_t m_samplesRead = 0;
    int64_t m_declaredSamples = -1;
    std::optional<DsdPacker> m_dsd;
    bool m_dsdPlanar = false;
    bool m_shortRead = false;
};

const char* DecodeStatusName(DecodeStatus status);

} // namespace lkplay
