#include "tools/lkplay/asio_host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>

namespace lkplay {

namespace {

std::atomic<AsioHost*> g_host{nullptr};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void BufferSwitch(int32_t index, ASIOBool) {
    if (AsioHost* host = g_host.load(std::memory_order_acquire))
        host->OnBufferSwitch(index, false);
}

ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, int32_t index, ASIOBool) {
    if (AsioHost* host = g_host.load(std::memory_order_acquire))
        host->OnBufferSwitch(index, true);
    return params;
}

void SampleRateDidChange(ASIOSampleRate) {
    if (AsioHost* host = g_host.load(std::memory_order_acquire))
        host->OnRateChange();
}

int32_t AsioMessage(int32_t selector, int32_t value, void*, double*) {
    AsioHost* host = g_host.load(std::memory_order_acquire);
    return host ? host->OnMessage(selector, value) : 0;
}

std::string RateText(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f Hz", rate);
    return text;
}

} // namespace

const char* HostStepName(HostStep step) {
    switch (step) {
    case HostStep::Init:
        return "init";
    case HostStep::Channels:
        return "getChannels";
    case HostStep::IoFormat:
        return "the I/O format";
    case HostStep::SampleRate:
        return "the sample rate";
    case HostStep::BufferSize:
        return "the buffer size";
    case HostStep::ChannelType:
        return "the output sample type";
    case HostStep::CreateBuffers:
        return "createBuffers";
    case HostStep::Start:
        return "start";
    }
    return "?";
}

AsioHost::AsioHost(IASIO* driver, SpscQueue<Frame>* queue) : m_driver(driver), m_queue(queue) {
    m_callbacks = {&BufferSwitch, &SampleRateDidChange, &AsioMessage, &BufferSwitchTimeInfo};
}

AsioHost::~AsioHost() {
    Shutdown();
    delete[] m_history;
}

bool AsioHost::EnableReplay(size_t frames) {
    delete[] m_history;
    m_history = new (std::nothrow) Frame[frames];
    m_historyCapacity = m_history ? frames : 0;
    return m_history != nullptr;
}

void AsioHost::SetDriver(IASIO* driver) {
    Shutdown();
    m_driver = driver;
    m_opened = false;
}

bool AsioHost::ResumeAt(uint64_t frame) {
    if (frame > m_consumed || frame < OldestReplayable())
        return false;
    m_position = frame;
    m_framesPlayed.store(frame, std::memory_order_relaxed);
    m_resuming = true;
    return true;
}

uint64_t AsioHost::OldestReplayable() const {
    return m_consumed - std::min<uint64_t>(m_consumed, m_historyCapacity);
}

bool AsioHost::StreamFrameAfterHalves(uint64_t halves, uint64_t* frame) const {
    const uint64_t out = HalvesOut();
    if (halves == 0) {
        *frame = m_sessionStart;
        return true;
    }
    if (halves > out || out - halves >= kHalfLog)
        return false;
    *frame = m_halfEnds[(halves - 1) % kHalfLog];
    return true;
}

std::string AsioHost::DriverMessage() const {
    // Hosts pass 124 bytes; a larger block leaves room for a driver that writes more.
    char text[256] = {};
    if (!m_driver)
        return {};
    m_driver->getErrorMessage(text);
    text[sizeof text - 1] = '\0';
    return text;
}

bool AsioHost::Fail(HostFailure* failure, HostStep step, ASIOError code, const std::string& what) {
    failure->step = step;
    failure->code = code;
    failure->message = what;
    if (code != ASE_OK) {
        failure->message += std::string(" (") + AsioErrorName(code) + ")";
        const std::string driverText = DriverMessage();
        if (!driverText.empty())
            failure->message += ": " + driverText;
    }
    return false;
}

bool AsioHost::Open(const HostSettings& settings, HostFailure* failure) {
    m_settings = settings;
    g_host.store(this, std::memory_order_release);

    if (m_driver->init(nullptr) != ASIOTrue) {
        const std::string driverText = DriverMessage();
        return Fail(failure, HostStep::Init, ASE_OK,
                    "the driver did not initialise" + (driverText.empty() ? "" : ": " + driverText));
    }
    int32_t inputs = 0, outputs = 0;
    if (ASIOError rc = m_driver->getChannels(&inputs, &outputs); rc != ASE_OK)
        return Fail(failure, HostStep::Channels, rc, "getChannels failed");
    if (outputs < 2)
        return Fail(failure, HostStep::Channels, ASE_OK,
                    "the driver has " + std::to_string(outputs) + " output channels, lkplay needs 2");

    ASIOIoFormat format{};
    format.FormatType = settings.dsd ? kASIODSDFormat : kASIOPCMFormat;
    const ASIOError canDo = m_driver->future(kAsioCanDoIoFormat, &format);
    if (settings.dsd && canDo != ASE_SUCCESS)
        return Fail(failure, HostStep::IoFormat, canDo, "the driver does not play DSD");
    // A driver without I/O formats plays PCM only, which is what it then gets.
    if (canDo == ASE_SUCCESS) {
        if (ASIOError rc = m_driver->future(kAsioSetIoFormat, &format); rc != ASE_SUCCESS)
            return Fail(failure, HostStep::IoFormat, rc,
                        std::string("the driver refused the ") + (settings.dsd ? "DSD" : "PCM") + " format");
    }

    m_opened = true;
    return true;
}

ASIOError AsioHost::CanSampleRate(double rate) {
    return m_driver->canSampleRate(rate);
}

bool AsioHost::Prepare(const HostSettings& settings, HostFailure* failure) {
    if (!m_opened && !Open(settings, failure))
        return false;
    m_settings = settings;
    if (ASIOError rc = m_driver->canSampleRate(settings.rate); rc != ASE_OK)
        return Fail(failure, HostStep::SampleRate, rc,
                    "the driver cannot play at " + RateText(settings.rate));
    if (ASIOError rc = m_driver->setSampleRate(settings.rate); rc != ASE_OK)
        return Fail(failure, HostStep::SampleRate, rc, "the driver refused " + RateText(settings.rate));

    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    if (ASIOError rc = m_driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity); rc != ASE_OK)
        return Fail(failure, HostStep::BufferSize, rc, "getBufferSize failed");
    m_bufferSize = settings.bufferSize > 0 ? settings.bufferSize : preferred;
    if (m_bufferSize <= 0)
        return Fail(failure, HostStep::BufferSize, ASE_OK,
                    "the driver prefers a buffer of " + std::to_string(m_bufferSize) + " samples");
    if (settings.dsd && m_bufferSize % kDsdSamplesPerWord != 0)
        return Fail(failure, HostStep::BufferSize, ASE_OK,
                    "a DSD buffer size must be a multiple of 32 samples, not " +
                        std::to_string(m_bufferSize));
    m_halfFrames = settings.dsd ? m_bufferSize / kDsdSamplesPerWord : m_bufferSize;

    const ASIOSampleType wanted = settings.dsd ? ASIOSTDSDInt8MSB1 : ASIOSTInt32LSB;
    for (int32_t channel = 0; channel < 2; ++channel) {
        ASIOChannelInfo info{};
        info.channel = channel;
        info.isInput = ASIOFalse;
        if (ASIOError rc = m_driver->getChannelInfo(&info); rc != ASE_OK)
            return Fail(failure, HostStep::ChannelType, rc, "getChannelInfo failed");
        if (info.type != wanted)
            return Fail(failure, HostStep::ChannelType, ASE_OK,
                        "the driver's outputs take sample type " + std::to_string(info.type) +
                            ", lkplay writes " + std::to_string(wanted));
    }

    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {nullptr, nullptr}}, {ASIOFalse, 1, {nullptr, nullptr}}};
    if (ASIOError rc = m_driver->createBuffers(infos, 2, m_bufferSize, &m_callbacks); rc != ASE_OK)
        return Fail(failure, HostStep::CreateBuffers, rc,
                    "createBuffers with " + std::to_string(m_bufferSize) + " samples failed");
    m_buffersCreated = true;
    for (int c = 0; c < 2; ++c) {
        for (int h = 0; h < 2; ++h) {
            m_out[c][h] = static_cast<uint32_t*>(infos[c].buffers[h]);
            if (!m_out[c][h])
                return Fail(failure, HostStep::CreateBuffers, ASE_OK, "createBuffers returned no buffer");
        }
    }
    const Frame silence = SilenceFrame(settings.dsd);
    for (int h = 0; h < 2; ++h) {
        for (int32_t i = 0; i < m_halfFrames; ++i) {
            m_out[0][h][i] = silence.left;
            m_out[1][h][i] = silence.right;
        }
    }
    m_periodNs = static_cast<int64_t>(1e9 * m_bufferSize / settings.rate);
    return true;
}

bool AsioHost::Start(HostFailure* failure) {
    m_leadInLeft = m_resuming ? 0 : m_settings.leadInPeriods;
    m_resuming = false;
    m_tailDone = 0;
    m_drained = false;
    m_previousCallbackNs = 0;
    m_finished.store(false, std::memory_order_relaxed);
    m_resetRequested.store(false, std::memory_order_relaxed);
    m_sessionStart = m_position;
    m_halvesOut.store(0, std::memory_order_relaxed);
    m_halvesAtReset.store(0, std::memory_order_relaxed);
    m_firstSoundOut.store(-1, std::memory_order_relaxed);
    // The driver sends half 1 as the host left it, then asks for half 0 at once.
    FillHalf(1);
    if (ASIOError rc = m_driver->start(); rc != ASE_OK) {
        // With the buffers in place, nothing to start on means no stream in this format and rate.
        if (rc == ASE_NotPresent)
            return Fail(failure, HostStep::Start, rc,
                        std::string("the device takes no ") + (m_settings.dsd ? "DSD" : "PCM") +
                            " stream at " + RateText(m_settings.rate));
        return Fail(failure, HostStep::Start, rc, "start failed");
    }
    m_started = true;
    return true;
}

void AsioHost::Shutdown() {
    if (m_started)
        m_driver->stop();
    m_started = false;
    if (m_buffersCreated)
        m_driver->disposeBuffers();
    m_buffersCreated = false;
    AsioHost* self = this;
    g_host.compare_exchange_strong(self, nullptr);
}

void AsioHost::OnBufferSwitch(int32_t index, bool timeInfo) {
    const int64_t now = NowNs();
    m_callbacksCount.fetch_add(1, std::memory_order_relaxed);
    if (timeInfo)
        m_timeInfoCount.fetch_add(1, std::memory_order_relaxed);
    // One callback comes per period, the first at start.
    if (m_previousCallbackNs != 0 && now - m_previousCallbackNs > m_periodNs + m_periodNs / 2)
        m_lateCallbacks.fetch_add(1, std::memory_order_relaxed);
    m_previousCallbackNs = now;
    m_lastCallbackNs.store(now, std::memory_order_relaxed);
    if (index == 0 || index == 1)
        FillHalf(index);
}

void AsioHost::FillHalf(int32_t index) {
    uint32_t* left = m_out[0][index];
    uint32_t* right = m_out[1][index];
    const auto half = static_cast<size_t>(m_halfFrames);
    size_t done = 0;
    if (m_leadInLeft > 0) {
        --m_leadInLeft;
    } else {
        // Read the end flag first: frames pushed before it was set are then surely visible.
        const bool ended = m_inputEnded.load(std::memory_order_acquire);
        for (; done < half && m_position < m_consumed; ++done, ++m_position) {
            const Frame& frame = m_history[m_position % m_historyCapacity];
            left[done] = frame.left;
            right[done] = frame.right;
        }
        const size_t from = done;
        const size_t taken = m_queue->Consume(half - done, [&](size_t i, const Frame& frame) {
            left[from + i] = frame.left;
            right[from + i] = frame.right;
            if (m_historyCapacity > 0)
                m_history[(m_consumed + i) % m_historyCapacity] = frame;
        });
        // Queued frames come only once the replay has caught up, so both advance alike.
        m_consumed += taken;
        m_position += taken;
        done += taken;
        m_framesPlayed.store(m_position, std::memory_order_relaxed);
        if (done < half && !ended) {
            m_latePeriods.fetch_add(1, std::memory_order_relaxed);
        } else if (done < half) {
            // The file ends in this period; then count the whole periods of silence after it.
            if (m_drained)
                ++m_tailDone;
            m_drained = true;
            if (m_tailDone >= m_settings.tailPeriods)
                m_finished.store(true, std::memory_order_release);
        }
    }
    const Frame silence = SilenceFrame(m_settings.dsd);
    for (size_t i = done; i < half; ++i) {
        left[i] = silence.left;
        right[i] = silence.right;
    }
    const uint64_t number = m_halvesOut.load(std::memory_order_relaxed);
    if (m_firstSoundOut.load(std::memory_order_relaxed) < 0) {
        for (size_t i = 0; i < done; ++i) {
            if (left[i] != silence.left || right[i] != silence.right) {
                m_firstSoundOut.store(static_cast<int64_t>(number * half + i), std::memory_order_release);
                break;
            }
        }
    }
    m_halfEnds[number % kHalfLog] = m_position;
    m_halvesOut.store(number + 1, std::memory_order_release);
}

int32_t AsioHost::OnMessage(int32_t selector, int32_t value) {
    switch (selector) {
    case kAsioSelectorSupported:
        switch (value) {
        case kAsioEngineVersion:
        case kAsioSupportsTimeInfo:
        case kAsioResetRequest:
        case kAsioBufferSizeChange:
        case kAsioResyncRequest:
        case kAsioLatenciesChanged:
        case kAsioOverload:
            return 1;
        default:
            return 0;
        }
    case kAsioEngineVersion:
        return 2;
    case kAsioSupportsTimeInfo:
        return m_settings.timeInfo ? 1 : 0;
    case kAsioResetRequest:
        if (!m_resetRequested.load(std::memory_order_acquire))
            m_halvesAtReset.store(m_halvesOut.load(std::memory_order_acquire), std::memory_order_release);
        m_resetRequested.store(true, std::memory_order_release);
        m_resetRequests.fetch_add(1, std::memory_order_relaxed);
        return 1;
    case kAsioBufferSizeChange:
        m_resetRequests.fetch_add(1, std::memory_order_relaxed);
        return 1;
    case kAsioResyncRequest:
    case kAsioLatenciesChanged:
        return 1;
    case kAsioOverload:
        m_overloads.fetch_add(1, std::memory_order_relaxed);
        return 1;
    default:
        return 0;
    }
}

void AsioHost::OnRateChange() {
    m_rateChanges.fetch_add(1, std::memory_order_relaxed);
}

HostStats AsioHost::Stats() const {
    HostStats stats;
    stats.callbacks = m_callbacksCount.load(std::memory_order_relaxed);
    stats.timeInfoCallbacks = m_timeInfoCount.load(std::memory_order_relaxed);
    stats.framesPlayed = m_framesPlayed.load(std::memory_order_relaxed);
    stats.latePeriods = m_latePeriods.load(std::memory_order_relaxed);
    stats.lateCallbacks = m_lateCallbacks.load(std::memory_order_relaxed);
    stats.overloads = m_overloads.load(std::memory_order_relaxed);
    stats.resetRequests = m_resetRequests.load(std::memory_order_relaxed);
    stats.rateChanges = m_rateChanges.load(std::memory_order_relaxed);
    return stats;
}

} // namespace lkplay
