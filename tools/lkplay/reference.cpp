#include "tools/lkplay/reference.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace lkplay {

namespace {

constexpr uint64_t kToEnd = UINT64_MAX;
constexpr size_t kChunkFrames = 4096;

uint64_t Le(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

uint64_t Be(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | p[i];
    return value;
}

uint8_t Mirror(uint8_t byte) {
    uint8_t out = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (byte & (1u << bit))
            out = static_cast<uint8_t>(out | 0x80u >> bit);
    return out;
}

} // namespace

uint32_t ReferenceIntegerWord(const uint8_t* bytes, int bits) {
    if (bits == 8)
        return static_cast<uint32_t>(bytes[0] ^ 0x80u) << 24;
    const int n = bits / 8;
    // The top four bytes of the sample, or all of them shifted up when it has fewer.
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) {
        const int from = n - 1 - i;
        if (from >= 0)
            word |= static_cast<uint32_t>(bytes[from]) << (24 - 8 * i);
    }
    return word;
}

uint32_t ReferenceFloatWord(double value) {
    if (std::isnan(value))
        return 0;
    const double rounded = std::rint(value * 2147483648.0);
    if (rounded >= 2147483647.0)
        return 0x7FFFFFFFu;
    if (rounded <= -2147483648.0)
        return 0x80000000u;
    return static_cast<uint32_t>(static_cast<int32_t>(rounded));
}

ReferenceReader::ReferenceReader() = default;

ReferenceReader::~ReferenceReader() {
    if (m_file)
        std::fclose(m_file);
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    avcodec_free_context(&m_codec);
    avformat_close_input(&m_format);
}

bool ReferenceReader::Fail(const std::string& what) {
    m_error = m_path + ": " + what;
    m_kind = Kind::None;
    return false;
}

bool ReferenceReader::Open(const std::string& path) {
    m_path = path;
    if (path == "-")
        return Fail("standard input cannot be read a second time");
    m_file = std::fopen(path.c_str(), "rb");
    if (!m_file)
        return Fail(std::string("cannot open: ") + std::strerror(errno));
    uint8_t magic[4] = {};
    const size_t got = std::fread(magic, 1, 4, m_file);
    std::rewind(m_file);
    if (got == 4 && std::memcmp(magic, "RIFF", 4) == 0)
        return OpenWav();
    if (got == 4 && std::memcmp(magic, "DSD ", 4) == 0)
        return OpenDsf();
    if (got == 4 && std::memcmp(magic, "FRM8", 4) == 0)
        return OpenDff();
    std::fclose(m_file);
    m_file = nullptr;
    return OpenFfmpeg();
}

bool ReferenceReader::OpenWav() {
    uint8_t riff[12];
    if (std::fread(riff, 1, 12, m_file) != 12 || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return Fail("not a WAVE file");
    bool haveFormat = false;
    for (;;) {
        uint8_t chunk[8];
        if (std::fread(chunk, 1, 8, m_file) != 8)
            return Fail("no data chunk");
        const uint64_t size = Le(chunk + 4, 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            uint8_t fmt[40] = {};
            if (size < 16 || std::fread(fmt, 1, size < 40 ? size : 40, m_file) != (size < 40 ? size : 40))
                return Fail("short format chunk");
            if (size > 40)
                std::fseek(m_file, static_cast<long>(size - 40), SEEK_CUR);
            if (size & 1)
                std::fseek(m_file, 1, SEEK_CUR);
            uint64_t tag = Le(fmt, 2);
            if (tag == 0xFFFE && size >= 40)
                tag = Le(fmt + 24, 2); // the sub-format GUID starts with the plain tag
            m_channels = static_cast<int>(Le(fmt + 2, 2));
            m_rate = static_cast<double>(Le(fmt + 4, 4));
            const int bits = static_cast<int>(Le(fmt + 14, 2));
            m_bytesPerSample = bits / 8;
            if (tag == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32 || bits == 64))
                m_sample = bits == 8    ? Sample::U8
                           : bits == 16 ? Sample::S16
                           : bits == 24 ? Sample::S24
                           : bits == 32 ? Sample::S32
                                        : Sample::S64;
            else if (tag == 3 && (bits == 32 || bits == 64))
                m_sample = bits == 32 ? Sample::F32 : Sample::F64;
            else
                return Fail("a WAV sample format the reference does not read");
            if (m_channels < 1 || m_channels > 2)
                return Fail("not mono or stereo");
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat)
                return Fail("data before the format chunk");
            // A streamed WAV holds a placeholder: its data runs to the end of the file.
            const bool placeholder =
                size == 0 || size == 0x7FFFF000u || size == 0x7FFFFFFFu || size == 0xFFFFFFFFu;
            m_dataLeft = placeholder ? kToEnd : size;
            m_kind = Kind::Wav;
            return true;
        } else if (std::fseek(m_file, static_cast<long>(size + (size & 1)), SEEK_CUR) != 0) {
            return Fail("cannot skip a chunk");
        }
    }
}

bool ReferenceReader::OpenDsf() {
    uint8_t head[28 + 52 + 12];
    if (std::fread(head, 1, sizeof head, m_file) != sizeof head || std::memcmp(head + 28, "fmt ", 4) != 0 ||
        std::memcmp(head + 80, "data", 4) != 0)
        return Fail("not a DSF file this reader knows");
    const uint8_t* fmt = head + 28;
    m_channels = static_cast<int>(Le(fmt + 24, 4));
    m_rate = static_cast<double>(Le(fmt + 28, 4));
    const uint64_t bits = Le(fmt + 32, 4);
    const uint64_t samples = Le(fmt + 36, 8);
    m_blockSize = static_cast<uint32_t>(Le(fmt + 44, 4));
    if (m_channels < 1 || m_channels > 2 || m_blockSize == 0 || (bits != 1 && bits != 8))
        return Fail("a DSF layout the reference does not read");
    m_lsbFirst = bits == 1;
    m_bytesPerChannelLeft = samples / 8;
    m_block.resize(static_cast<size_t>(m_blockSize) * static_cast<size_t>(m_channels));
    m_dsd = true;
    m_kind = Kind::Dsf;
    return true;
}

bool ReferenceReader::OpenDff() {
    uint8_t form[16];
    if (std::fread(form, 1, 16, m_file) != 16 || std::memcmp(form + 12, "DSD ", 4) != 0)
        return Fail("not a DFF file");
    for (;;) {
        uint8_t chunk[12];
        if (std::fread(chunk, 1, 12, m_file) != 12)
            return Fail("no DSD data chunk");
        const uint64_t size = Be(chunk + 4, 8);
        if (std::memcmp(chunk, "PROP", 4) == 0) {
            std::vector<uint8_t> prop(static_cast<size_t>(size));
            if (size < 4 || size > (1u << 20) ||
                std::fread(prop.data(), 1, prop.size(), m_file) != prop.size())
                return Fail("bad property chunk");
            if (size & 1)
                std::fseek(m_file, 1, SEEK_CUR);
            for (size_t at = 4; at + 12 <= prop.size();) {
                const uint64_t sub = Be(&prop[at + 4], 8);
                const uint8_t* body = &prop[at + 12];
                if (at + 12 + sub > prop.size())
                    break;
                if (std::memcmp(&prop[at], "FS  ", 4) == 0 && sub >= 4)
                    m_rate = static_cast<double>(Be(body, 4));
                else if (std::memcmp(&prop[at], "CHNL", 4) == 0 && sub >= 2)
                    m_channels = static_cast<int>(Be(body, 2));
                else if (std::memcmp(&prop[at], "CMPR", 4) == 0 && sub >= 4 &&
                         std::memcmp(body, "DSD ", 4) != 0)
                    return Fail("compressed DSD");
                at += 12 + static_cast<size_t>(sub + (sub & 1));
            }
        } else if (std::memcmp(chunk, "DSD ", 4) == 0) {
            if (m_channels < 1 || m_channels > 2 || m_rate <= 0)
                return Fail("a DFF layout the reference does not read");
            m_dataLeft = size;
            m_dsd = true;
            m_kind = Kind::Dff;
            return true;
        } else if (std::memcmp(chunk, "DST ", 4) == 0) {
            return Fail("compressed DSD");
        } else if (std::fseek(m_file, static_cast<long>(size + (size & 1)), SEEK_CUR) != 0) {
            return Fail("cannot skip a chunk");
        }
    }
}

bool ReferenceReader::OpenFfmpeg() {
    if (avformat_open_input(&m_format, m_path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(m_format, nullptr) < 0)
        return Fail("FFmpeg cannot read it");
    m_stream = av_find_best_stream(m_format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (m_stream < 0)
        return Fail("no audio stream");
    const AVCodecParameters* par = m_format->streams[m_stream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    m_codec = codec ? avcodec_alloc_context3(codec) : nullptr;
    m_packet = av_packet_alloc();
    m_frame = av_frame_alloc();
    if (!m_codec || !m_packet || !m_frame || avcodec_parameters_to_context(m_codec, par) < 0 ||
        avcodec_open2(m_codec, codec, nullptr) < 0)
        return Fail("no decoder");
    m_channels = par->ch_layout.nb_channels;
    m_rate = par->sample_rate;
    if (m_channels < 1 || m_channels > 2)
        return Fail("not mono or stereo");
    m_kind = Kind::Ffmpeg;
    return true;
}

size_t ReferenceReader::Read(Frame* out, size_t max) {
    switch (m_kind) {
    case Kind::Wav:
        return ReadWav(out, max);
    case Kind::Dsf:
        return ReadDsf(out, max);
    case Kind::Dff:
        return ReadDff(out, max);
    case Kind::Ffmpeg:
        return ReadFfmpeg(out, max);
    case Kind::None:
        break;
    }
    return 0;
}

size_t ReferenceReader::ReadWav(Frame* out, size_t max) {
    const size_t frameBytes = static_cast<size_t>(m_bytesPerSample * m_channels);
    uint8_t buffer[kChunkFrames * 16];
    size_t want = std::min(max, kChunkFrames);
    if (m_dataLeft != kToEnd)
        want = std::min<uint64_t>(want, m_dataLeft / frameBytes);
    const size_t got = want ? std::fread(buffer, 1, want * frameBytes, m_file) / frameBytes : 0;
    if (m_dataLeft != kToEnd)
        m_dataLeft -= got * frameBytes;
    for (size_t i = 0; i < got; ++i) {
        uint32_t words[2] = {};
        for (int c = 0; c < m_channels; ++c) {
            const uint8_t* p = buffer + i * frameBytes + static_cast<size_t>(c * m_bytesPerSample);
            if (m_sample == Sample::F32) {
                float value;
                std::memcpy(&value, p, 4);
                words[c] = ReferenceFloatWord(value);
            } else if (m_sample == Sample::F64) {
                double value;
                std::memcpy(&value, p, 8);
                words[c] = ReferenceFloatWord(value);
            } else {
                words[c] = ReferenceIntegerWord(p, m_bytesPerSample * 8);
            }
        }
        out[i] = {words[0], m_channels == 2 ? words[1] : words[0]};
    }
    return got;
}

// DSD bytes to frames: four bytes a word, earliest first; a last partial word is padded with silence.
namespace {

uint32_t Word(const uint8_t b[4]) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

} // namespace

void ReferenceReader::TakeDsdBytes(Frame* out, size_t& made) {
    if (++m_wordFill < 4)
        return;
    m_wordFill = 0;
    out[made++] = DsdFrame();
}

Frame ReferenceReader::DsdFrame() const {
    return {Word(m_word[0]), Word(m_word[m_channels - 1])};
}

size_t ReferenceReader::PadDsdWord(Frame* out, size_t made, size_t max) {
    if (!m_ended || m_wordFill == 0 || made >= max)
        return made;
    for (int c = 0; c < 2; ++c)
        for (int b = m_wordFill; b < 4; ++b)
            m_word[c][b] = kDsdSilenceByte;
    m_wordFill = 0;
    out[made++] = DsdFrame();
    return made;
}

size_t ReferenceReader::ReadDsf(Frame* out, size_t max) {
    size_t made = 0;
    while (made < max && !m_ended) {
        if (m_blockAt == m_blockLen) {
            const size_t got =
                m_bytesPerChannelLeft ? std::fread(m_block.data(), 1, m_block.size(), m_file) : 0;
            size_t usable = m_blockSize;
            for (int c = 0; c < m_channels; ++c) {
                const size_t from = static_cast<size_t>(c) * m_blockSize;
                usable = std::min(usable, got > from ? got - from : 0);
            }
            usable = static_cast<size_t>(std::min<uint64_t>(usable, m_bytesPerChannelLeft));
            m_bytesPerChannelLeft -= usable;
            if (got < m_block.size())
                m_bytesPerChannelLeft = 0;
            m_blockAt = 0;
            m_blockLen = usable;
            if (usable == 0) {
                m_ended = true;
                break;
            }
        }
        for (int c = 0; c < m_channels; ++c) {
            const uint8_t byte = m_block[static_cast<size_t>(c) * m_blockSize + m_blockAt];
            m_word[c][m_wordFill] = m_lsbFirst ? Mirror(byte) : byte;
        }
        ++m_blockAt;
        TakeDsdBytes(out, made);
    }
    return PadDsdWord(out, made, max);
}

size_t ReferenceReader::ReadDff(Frame* out, size_t max) {
    size_t made = 0;
    const auto channels = static_cast<size_t>(m_channels);
    uint8_t buffer[4096];
    while (made < max && !m_ended) {
        // Never more bytes than the frames still wanted can take.
        const size_t room = (max - made) * 4 * channels;
        const size_t want = static_cast<size_t>(std::min<uint64_t>({sizeof buffer, m_dataLeft, room}));
        size_t got = want ? std::fread(buffer, 1, want, m_file) : 0;
        if (got < want || got == 0)
            m_ended = true;
        got -= got % channels;
        m_dataLeft -= got;
        for (size_t i = 0; i < got; i += channels) {
            for (size_t c = 0; c < channels; ++c)
                m_word[c][m_wordFill] = buffer[i + c];
            TakeDsdBytes(out, made);
        }
    }
    return PadDsdWord(out, made, max);
}

size_t ReferenceReader::ReadFfmpeg(Frame* out, size_t max) {
    size_t made = 0;
    while (made < max) {
        if (m_pendingAt < m_pending.size()) {
            const size_t n = std::min(max - made, m_pending.size() - m_pendingAt);
            std::memcpy(out + made, m_pending.data() + m_pendingAt, n * sizeof(Frame));
            made += n;
            m_pendingAt += n;
            continue;
        }
        if (m_ended)
            break;
        m_pending.clear();
        m_pendingAt = 0;
        const int rc = avcodec_receive_frame(m_codec, m_frame);
        if (rc == 0) {
            const auto format = static_cast<AVSampleFormat>(m_frame->format);
            const int bytes = av_get_bytes_per_sample(format);
            const bool planar = av_sample_fmt_is_planar(format) != 0;
            const AVSampleFormat packed = av_get_packed_sample_fmt(format);
            for (int i = 0; i < m_frame->nb_samples; ++i) {
                uint32_t words[2] = {};
                for (int c = 0; c < m_channels; ++c) {
                    const uint8_t* p = planar ? m_frame->extended_data[c] + static_cast<size_t>(i * bytes)
                                              : m_frame->extended_data[0] +
                                                    static_cast<size_t>((i * m_channels + c) * bytes);
                    if (packed == AV_SAMPLE_FMT_FLT) {
                        float value;
                        std::memcpy(&value, p, 4);
                        words[c] = ReferenceFloatWord(value);
                    } else if (packed == AV_SAMPLE_FMT_DBL) {
                        double value;
                        std::memcpy(&value, p, 8);
                        words[c] = ReferenceFloatWord(value);
                    } else {
                        words[c] = ReferenceIntegerWord(p, bytes * 8);
                    }
                }
                m_pending.push_back({words[0], m_channels == 2 ? words[1] : words[0]});
            }
            av_frame_unref(m_frame);
            continue;
        }
        if (rc == AVERROR_EOF || (rc != AVERROR(EAGAIN))) {
            m_ended = true;
            continue;
        }
        if (m_draining) {
            m_ended = true;
            continue;
        }
        const int read = av_read_frame(m_format, m_packet);
        if (read < 0) {
            m_draining = true;
            avcodec_send_packet(m_codec, nullptr);
            continue;
        }
        if (m_packet->stream_index == m_stream) {
            // A short last packet still carries whole frames.
            const int align = m_format->streams[m_stream]->codecpar->block_align;
            if ((m_packet->flags & AV_PKT_FLAG_CORRUPT) && align > 0)
                m_packet->size -= m_packet->size % align;
            if (m_packet->size > 0)
                avcodec_send_packet(m_codec, m_packet);
        }
        av_packet_unref(m_packet);
    }
    return made;
}

} // namespace lkplay
