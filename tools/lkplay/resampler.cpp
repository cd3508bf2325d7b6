#include "tools/lkplay/resampler.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <cmath>

namespace lkplay {

bool InFamilyOf44100(double rate) {
    const auto whole = static_cast<long long>(rate);
    return whole > 0 && (whole % 11025 == 0 || 44100 % whole == 0);
}

Resampler::~Resampler() {
    swr_free(&m_swr);
}

bool Resampler::Open(double fromRate, double toRate, std::string* error) {
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    int rc = swr_alloc_set_opts2(&m_swr, &stereo, AV_SAMPLE_FMT_S32, static_cast<int>(toRate), &stereo,
                                 AV_SAMPLE_FMT_S32, static_cast<int>(fromRate), 0, nullptr);
    if (rc >= 0)
        rc = swr_init(m_swr);
    if (rc < 0) {
        *error = "cannot set up the resampler";
        swr_free(&m_swr);
        return false;
    }
    return true;
}

bool Resampler::Convert(const Frame* in, size_t count, std::vector<Frame>& out) {
    if (!m_swr)
        return false;
    const int room = swr_get_out_samples(m_swr, static_cast<int>(count));
    if (room < 0)
        return false;
    const size_t first = out.size();
    out.resize(first + static_cast<size_t>(room));
    uint8_t* output = reinterpret_cast<uint8_t*>(out.data() + first);
    const uint8_t* input = reinterpret_cast<const uint8_t*>(in);
    const int made = swr_convert(m_swr, &output, room, in ? &input : nullptr, static_cast<int>(count));
    if (made < 0) {
        out.resize(first);
        return false;
    }
    out.resize(first + static_cast<size_t>(made));
    return true;
}

} // namespace lkplay
