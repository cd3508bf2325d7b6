#include "tools/lkplay/decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/log.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lkplay {

namespace {

std::string AvErrorText(int averror) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    return text;
}

bool IsDsd(AVCodecID id, bool* planar, bool* lsbFirst) {
    switch (id) {
    case AV_CODEC_ID_DSD_LSBF:
        *planar = false, *lsbFirst = true;
        return true;
    case AV_CODEC_ID_DSD_MSBF:
        *planar = false, *lsbFirst = false;
        return true;
    case AV_CODEC_ID_DSD_LSBF_PLANAR:
        *planar = true, *lsbFirst = true;
        return true;
    case AV_CODEC_ID_DSD_MSBF_PLANAR:
        *planar = true, *lsbFirst = false;
        return true;
    default:
        return false;
    }
}

// Uncompressed and lossless codecs: what a bit-exact player plays. Lossy codecs are refused.
bool IsPcmOrLossless(AVCodecID id) {
    if (id >= AV_CODEC_ID_FIRST_AUDIO && id < AV_CODEC_ID_ADPCM_IMA_QT)
        return true; // the AV_CODEC_ID_PCM_* range
    switch (id) {
    case AV_CODEC_ID_FLAC:
    case AV_CODEC_ID_ALAC:
    case AV_CODEC_ID_WAVPACK:
    case AV_CODEC_ID_TTA:
    case AV_CODEC_ID_APE:
        return true;
    default:
        return false;
    }
}

bool ToPcmFormat(AVSampleFormat format, PcmFormat* out) {
    switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
        *out = PcmFormat::U8;
        return true;
    case AV_SAMPLE_FMT_S16:
        *out = PcmFormat::S16;
        return true;
    case AV_SAMPLE_FMT_S32:
        *out = PcmFormat::S32;
        return true;
    case AV_SAMPLE_FMT_S64:
        *out = PcmFormat::S64;
        return true;
    case AV_SAMPLE_FMT_FLT:
        *out = PcmFormat::Float;
        return true;
    case AV_SAMPLE_FMT_DBL:
        *out = PcmFormat::Double;
        return true;
    default:
        return false;
    }
}

} // namespace

const char* DecodeStatusName(DecodeStatus status) {
    switch (status) {
    case DecodeStatus::Ok:
        return "ok";
    case DecodeStatus::End:
        return "end";
    case DecodeStatus::Missing:
        return "missing";
    case DecodeStatus::Unreadable:
        return "unreadable";
    case DecodeStatus::NotAudio:
        return "not audio";
    case DecodeStatus::Unsupported:
        return "unsupported";
    case DecodeStatus::Damaged:
        return "damaged";
    case DecodeStatus::Truncated:
        return "truncated";
    case DecodeStatus::NoMemory:
        return "out of memory";
    }
    return "?";
}

Decoder::Decoder() {
    // FFmpeg's own warnings would interleave with the progress display; errors come back as codes.
    av_log_set_level(AV_LOG_QUIET);
}

Decoder::~Decoder() {
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    avcodec_free_context(&m_codec);
    avformat_close_input(&m_format);
}

DecodeStatus Decoder::Fail(DecodeStatus status, const std::string& what) {
    m_error = m_path + ": " + what;
    return status;
}

DecodeStatus Decoder::FailAv(DecodeStatus status, const std::string& what, int averror) {
    return Fail(status, what + " (" + AvErrorText(averror) + ")");
}

DecodeStatus Decoder::Open(const std::string& path) {
    m_path = path;
    struct stat st {};
    const bool standardInput = path == "-";
    if (standardInput ? fstat(0, &st) != 0 : stat(path.c_str(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR)
            return Fail(DecodeStatus::Missing, "no such file");
        return Fail(DecodeStatus::Unreadable,
                    std::string("cannot read the file (") + std::strerror(err) + ")");
    }
    if (S_ISDIR(st.st_mode))
        return Fail(DecodeStatus::Unreadable, "is a directory");

    int rc = avformat_open_input(&m_format, standardInput ? "pipe:0" : path.c_str(), nullptr, nullptr);
    if (rc == AVERROR(ENOMEM))
        return Fail(DecodeStatus::NoMemory, "out of memory");
    if (rc == AVERROR(EACCES) || rc == AVERROR(EPERM) || rc == AVERROR(EIO))
        return FailAv(DecodeStatus::Unreadable, "cannot read the file", rc);
    if (rc < 0)
        return FailAv(DecodeStatus::NotAudio, "not an audio file", rc);
    // What the headers declare, before FFmpeg fills unknown durations with estimates from the file size.
    std::vector<int64_t> declared;
    for (unsigned i = 0; i < m_format->nb_streams; ++i)
        declared.push_back(m_format->streams[i]->duration);
    rc = avformat_find_stream_info(m_format, nullptr);
    if (rc < 0)
        return FailAv(DecodeStatus::NotAudio, "no readable stream", rc);
    m_stream = av_find_best_stream(m_format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (m_stream < 0)
        return Fail(DecodeStatus::NotAudio, "not an audio file (no audio stream)");
    m_packet = av_packet_alloc();
    if (!m_packet)
        return Fail(DecodeStatus::NoMemory, "out of memory");
    const DecodeStatus status = Classify();
    if (status == DecodeStatus::Ok && static_cast<size_t>(m_stream) < declared.size())
        m_declaredSamples = ToSamples(declared[static_cast<size_t>(m_stream)]);
    return status;
}

int64_t Decoder::ToSamples(int64_t duration) const {
    const AVStream* stream = m_format->streams[m_stream];
    if (duration == AV_NOPTS_VALUE || duration <= 0 || stream->codecpar->sample_rate <= 0)
        return -1;
    // FFmpeg counts DSD in bytes per channel: eight samples each.
    const int64_t units =
        av_rescale_q(duration, stream->time_base, AVRational{1, stream->codecpar->sample_rate});
    return m_dsd ? units * 8 : units;
}

DecodeStatus Decoder::Classify() {
    const AVStream* stream = m_format->streams[m_stream];
    const AVCodecParameters* par = stream->codecpar;
    m_info.container = m_format->iformat->name;
    m_info.codec = avcodec_get_name(par->codec_id);
    m_info.channels = par->ch_layout.nb_channels;
    if (m_info.channels < 1 || m_info.channels > 2)
        return Fail(DecodeStatus::Unsupported, "unsupported format: " + std::to_string(m_info.channels) +
                                                   " channels (the device is stereo)");
    if (par->sample_rate <= 0)
        return Fail(DecodeStatus::Unsupported, "unsupported format: no sample rate");

    bool planar = false, lsbFirst = false;
    if (IsDsd(par->codec_id, &planar, &lsbFirst)) {
        // FFmpeg counts DSD in bytes per channel per second.
        m_info.dsd = true;
        m_info.rate = par->sample_rate * 8.0;
        m_info.integer = true;
        m_info.samples = lsbFirst ? "1-bit DSD, LSB first" : "1-bit DSD, MSB first";
        m_dsd.emplace(m_info.channels, planar, lsbFirst);
        m_dsdPlanar = planar;
        m_info.totalSamples = ToSamples(stream->duration);
        return DecodeStatus::Ok;
    }
    if (par->codec_id == AV_CODEC_ID_DST)
        return Fail(DecodeStatus::Unsupported, "unsupported format: DST-compressed DSD");
    if (!IsPcmOrLossless(par->codec_id))
        return Fail(DecodeStatus::Unsupported,
                    "unsupported format: " + m_info.codec + " (lkplay plays PCM, lossless PCM and DSD)");

    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec)
        return Fail(DecodeStatus::Unsupported, "unsupported format: no decoder for " + m_info.codec);
    m_codec = avcodec_alloc_context3(codec);
    m_frame = av_frame_alloc();
    if (!m_codec || !m_frame)
        return Fail(DecodeStatus::NoMemory, "out of memory");
    int rc = avcodec_parameters_to_context(m_codec, par);
    if (rc >= 0)
        rc = avcodec_open2(m_codec, codec, nullptr);
    if (rc < 0)
        return FailAv(DecodeStatus::Unsupported, "unsupported format: cannot decode " + m_info.codec, rc);
    PcmFormat format;
    if (!ToPcmFormat(m_codec->sample_fmt, &format))
        return Fail(DecodeStatus::Unsupported, "unsupported format: sample format of " + m_info.codec);

    m_info.rate = par->sample_rate;
    m_info.integer = format != PcmFormat::Float && format != PcmFormat::Double;
    int bits = par->bits_per_raw_sample;
    if (bits <= 0 || !m_info.integer)
        bits = av_get_bytes_per_sample(m_codec->sample_fmt) * 8;
    m_info.samples = std::to_string(bits) + (m_info.integer ? "-bit integer" : "-bit float");
    m_info.totalSamples = ToSamples(stream->duration);
    return DecodeStatus::Ok;
}

DecodeStatus Decoder::ReceivePcm(std::vector<Frame>& out) {
    for (;;) {
        const int rc = avcodec_receive_frame(m_codec, m_frame);
        if (rc == AVERROR(EAGAIN))
            return DecodeStatus::Ok;
        if (rc == AVERROR_EOF)
            return DecodeStatus::End;
        if (rc < 0)
            return FailAv(DecodeStatus::Damaged,
                          "damaged audio after " + std::to_string(m_samplesRead) + " samples", rc);
        PcmFormat format;
        if (m_frame->ch_layout.nb_channels != m_info.channels ||
            !ToPcmFormat(static_cast<AVSampleFormat>(m_frame->format), &format)) {
            av_frame_unref(m_frame);
            return Fail(DecodeStatus::Unsupported, "unsupported format: the stream changes its layout");
        }
        const size_t first = out.size();
        const auto count = static_cast<size_t>(m_frame->nb_samples);
        out.resize(first + count);
        const PcmBlock block{format,
                             av_sample_fmt_is_planar(static_cast<AVSampleFormat>(m_frame->format)) != 0,
                             m_info.channels, m_frame->extended_data, count};
        ConvertPcm(block, out.data() + first);
        m_samplesRead += m_frame->nb_samples;
        av_frame_unref(m_frame);
    }
}

DecodeStatus Decoder::Finish(std::vector<Frame>& out) {
    m_ended = true;
    if (m_dsd) {
        out.resize(out.size() + 1);
        out.resize(out.size() - 1 + m_dsd->Flush(&out.back()));
    }
    if (m_shortRead && !DeclaredSizeIsPlaceholder())
        return Fail(DecodeStatus::Truncated, "truncated: the audio data ends early, after " +
                                                 std::to_string(m_samplesRead) + " samples");
    if (m_declaredSamples > 0 && m_samplesRead < m_declaredSamples)
        return Fail(DecodeStatus::Truncated, "truncated: the file ends after " +
                                                 std::to_string(m_samplesRead) + " of " +
                                                 std::to_string(m_declaredSamples) + " samples");
    return DecodeStatus::End;
}

// A writer that streams a WAV to a pipe cannot know the data size and writes a placeholder; such a
// file ends where its data ends and is complete. So does a WAV read from a pipe.
bool Decoder::DeclaredSizeIsPlaceholder() const {
    if (m_info.container != "wav")
        return false;
    std::FILE* file = m_path == "-" ? nullptr : std::fopen(m_path.c_str(), "rb");
    if (!file)
        return m_path == "-";
    uint8_t head[65536];
    const size_t got = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    auto le32 = [&](size_t at) {
        return static_cast<uint32_t>(head[at]) | static_cast<uint32_t>(head[at + 1]) << 8 |
               static_cast<uint32_t>(head[at + 2]) << 16 | static_cast<uint32_t>(head[at + 3]) << 24;
    };
    for (size_t at = 12; at + 8 <= got;) {
        const uint32_t size = le32(at + 4);
        if (std::memcmp(head + at, "data", 4) == 0)
            return size == 0 || size == 0x7FFFF000u || size == 0x7FFFFFFFu || size == 0xFFFFFFFFu;
        at += 8 + static_cast<size_t>(size) + (size & 1);
    }
    return false;
}

// Cuts a short last packet to whole frames: bytes per frame in PCM, bytes per channel in DSD (a
// planar DSD packet holds one block per channel, of which the last may be short).
void Decoder::TrimShortPacket() {
    const AVCodecParameters* par = m_format->streams[m_stream]->codecpar;
    const int channels = m_info.channels;
    int size = m_packet->size;
    if (m_dsd && m_dsdPlanar && channels == 2) {
        const int block = par->block_align / channels;
        const int usable = block > 0 ? std::max(0, std::min(block, size - block)) : 0;
        if (usable < block && usable > 0)
            std::memmove(m_packet->data + usable, m_packet->data + block, static_cast<size_t>(usable));
        size = 2 * usable;
    } else if (m_dsd) {
        size -= size % channels;
    } else if (par->block_align > 0) {
        size -= size % par->block_align;
    }
    m_packet->size = std::max(0, size);
}

DecodeStatus Decoder::Read(std::vector<Frame>& out) {
    if (m_ended)
        return DecodeStatus::End;
    if (m_draining) {
        const DecodeStatus status = ReceivePcm(out);
        return status == DecodeStatus::End || status == DecodeStatus::Ok ? Finish(out) : status;
    }
    for (;;) {
        int rc = av_read_frame(m_format, m_packet);
        if (rc == AVERROR_EOF) {
            if (m_dsd)
                return Finish(out);
            m_draining = true;
            avcodec_send_packet(m_codec, nullptr);
            return Read(out);
        }
        if (rc < 0)
            return FailAv(DecodeStatus::Damaged, "cannot read past sample " + std::to_string(m_samplesRead),
                          rc);
        if (m_packet->stream_index != m_stream) {
            av_packet_unref(m_packet);
            continue;
        }
        if (m_packet->flags & AV_PKT_FLAG_CORRUPT) {
            // A short read: the data ends before the length its chunk header gives. What is there is
            // played, to the last whole frame; the file is then reported as cut at its end.
            m_shortRead = true;
            if (av_packet_make_writable(m_packet) < 0) {
                av_packet_unref(m_packet);
                return Fail(DecodeStatus::NoMemory, "out of memory");
            }
            TrimShortPacket();
        }
        if (m_dsd) {
            const size_t first = out.size();
            out.resize(first + m_dsd->MaxFrames(static_cast<size_t>(m_packet->size)));
            const size_t made =
                m_dsd->Push(m_packet->data, static_cast<size_t>(m_packet->size), out.data() + first);
            out.resize(first + made);
            m_samplesRead += m_packet->size / m_info.channels * 8;
            av_packet_unref(m_packet);
            return DecodeStatus::Ok;
        }
        rc = avcodec_send_packet(m_codec, m_packet);
        av_packet_unref(m_packet);
        if (rc < 0 && rc != AVERROR(EAGAIN))
            return FailAv(DecodeStatus::Damaged,
                          "damaged audio after " + std::to_string(m_samplesRead) + " samples", rc);
        return ReceivePcm(out);
    }
}

} // namespace lkplay
