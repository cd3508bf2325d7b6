// Construction, COM identity and the query and setting methods of the driver object.
#include "asio/asio_larkspur.h"
#include "asio/stream_format.h"
#include "ks/audio_filter.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

namespace {
constexpr char kDriverName[] = "Larkspur ASIO 1.03";
constexpr int32_t kDriverVersion = 2;
constexpr char kClockName[] = "Internal";
constexpr int64_t kInputLatencyBuffers = 1;

int32_t ClampToInt32(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, 0, INT32_MAX));
}

// Samples of `rate` that `duration100ns` lasts, rounded up. Rates are whole numbers far below 2^64
// (setSampleRate takes no other), so the product is exact in 128 bits.
int64_t SamplesIn100ns(int64_t duration100ns, double rate) {
    if (duration100ns <= 0 || !(rate >= 1) || !(rate < 9.2e18))
        return 0;
    constexpr uint64_t kPerSecond = 10'000'000;
    const auto product = static_cast<unsigned __int128>(duration100ns) * static_cast<uint64_t>(rate);
    const unsigned __int128 samples = (product + kPerSecond - 1) / kPerSecond;
    return samples > INT64_MAX ? INT64_MAX : static_cast<int64_t>(samples);
}

bool IsPlayableFormat(int32_t formatType) {
    return formatType == kASIOPCMFormat || formatType == kASIODSDFormat;
}

} // namespace

ASIOLarkspur::ASIOLarkspur(IUnknown* outer, HRESULT*) : CUnknown(TEXT("ASIOLarkspur"), outer) {}

ASIOLarkspur::~ASIOLarkspur() {
    CloseControlPanel(this);
    stop();
    disposeBuffers();
    ReleaseDevice();
}

CUnknown* ASIOLarkspur::CreateInstance(IUnknown* outer, HRESULT* result) {
    return new (std::nothrow) ASIOLarkspur(outer, result);
}

HRESULT STDMETHODCALLTYPE ASIOLarkspur::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (IsEqualGUID(riid, CLSID_ASIOLarkspur)) {
        if (!object)
            return E_POINTER;
        IASIO* asio = this;
        *object = asio;
        asio->AddRef();
        return S_OK;
    }
    return CUnknown::NonDelegatingQueryInterface(riid, object);
}

void ASIOLarkspur::SetErrorMessage(const char* text) {
    std::strncpy(m_errorMessage, text, sizeof m_errorMessage - 1);
    m_errorMessage[sizeof m_errorMessage - 1] = '\0';
}

void ASIOLarkspur::SetTimeInfoFlags(uint32_t flags) {
    // The render thread clears flags in the same word after each time-info switch.
    std::atomic_ref<uint32_t>(m_asioTime.timeInfo.flags).fetch_or(flags);
}

void ASIOLarkspur::getDriverName(char* name) {
    ControlGuard guard(this);
    if (name)
        std::memcpy(name, kDriverName, sizeof kDriverName);
}

int32_t ASIOLarkspur::getDriverVersion() {
    ControlGuard guard(this);
    return kDriverVersion;
}

void ASIOLarkspur::getErrorMessage(char* string) {
    ControlGuard guard(this);
    if (!string)
        return;
    // Hosts pass 124 bytes: never write past them, whatever the text.
    const size_t length = std::min(std::strlen(m_errorMessage), kHostErrorMessageSize - 1);
    std::memcpy(string, m_errorMessage, length);
    string[length] = '\0';
}

ASIOError ASIOLarkspur::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    ControlGuard guard(this);
    if (!numInputChannels || !numOutputChannels)
        return ASE_InvalidParameter;
    *numInputChannels = kChannelsPerDirection;
    *numOutputChannels = kChannelsPerDirection;
    return ASE_OK;
}

int64_t ASIOLarkspur::BufferSamplesInForce() const {
    return static_cast<int64_t>(BufferFramesInForce()) * (IsDsd() ? kDsdSamplesPerWord : 1);
}

int64_t ASIOLarkspur::HeldOutputSamples() const {
    // The writes queued ahead of the host's latest half (one per safety buffer), and what the device
    // holds behind them.
    return BufferSamplesInForce() * SafetyBuffersInForce() +
           SamplesIn100ns(m_deviceLatency100ns, m_sampleRate.load());
}

ASIOError ASIOLarkspur::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
    ControlGuard guard(this);
    if (!inputLatency || !outputLatency)
        return ASE_InvalidParameter;
    // In samples of the current mode, from a switch's return to the first sample of its half leaving
    // the device: the half in flight, the safety writes queued before it and the device's own share.
    const int64_t buffer = BufferSamplesInForce();
    *inputLatency = ClampToInt32(buffer * kInputLatencyBuffers);
    *outputLatency = ClampToInt32(buffer + HeldOutputSamples());
    return ASE_OK;
}

ASIOError ASIOLarkspur::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                      int32_t* granularity) {
    ControlGuard guard(this);
    if (!minSize || !maxSize || !preferredSize || !granularity)
        return ASE_InvalidParameter;
    // Sizes are in samples per channel: words in PCM, one-bit samples in DSD. Kept in range whatever
    // the frame count.
    const int32_t frames = BufferFramesInForce();
    const int64_t samples = IsDsd() ? int64_t{frames} * kDsdSamplesPerWord : frames;
    const auto size = static_cast<int32_t>(std::clamp<int64_t>(samples, INT32_MIN, INT32_MAX));
    *minSize = size;
    *maxSize = size;
    *preferredSize = size;
    *granularity = 0;
    return ASE_OK;
}

ASIOError ASIOLarkspur::canSampleRate(ASIOSampleRate sampleRate) {
    ControlGuard guard(this);
    const ASIOError answer = CheckSampleRate(sampleRate, IsDsd());
    // DSD players scan DSD rates before they switch the format: in PCM mode a rate only DSD could run
    // gets DSD mode's answer.
    if (answer == ASE_NoClock && !IsDsd())
        return CheckSampleRate(sampleRate, true);
    return answer;
}

ASIOError ASIOLarkspur::CheckSampleRate(ASIOSampleRate sampleRate, bool dsd) {
    if (!m_renderFilter)
        return ASE_NotPresent;
    // The rate is good when a render pin takes the very format start would ask it for.
    const DWORD samplesPerSecond = WaveSamplesPerSecond(sampleRate, dsd);
    if (samplesPerSecond == 0)
        return ASE_NoClock;
    WAVEFORMATEXTENSIBLE format = StreamWaveFormat(samplesPerSecond);
    return m_renderFilter->FindViablePin(&format.Format) ? ASE_OK : ASE_NoClock;
}

ASIOError ASIOLarkspur::getSampleRate(ASIOSampleRate* sampleRate) {
    ControlGuard guard(this);
    if (!sampleRate)
        return ASE_InvalidParameter;
    *sampleRate = m_sampleRate.load();
    return ASE_OK;
}

ASIOError ASIOLarkspur::setSampleRate(ASIOSampleRate sampleRate) {
    ControlGuard guard(this);
    // A rate the device cannot run changes nothing; the host learns it now rather than at start.
    if (const ASIOError refused = CheckSampleRate(sampleRate, IsDsd()); refused != ASE_OK)
        return refused;
    if (sampleRate == m_sampleRate.load())
        return ASE_OK;
    SetTimeInfoFlags(kSampleRateChanged);
    m_sampleRate.store(sampleRate);
    std::atomic_ref<double>(m_asioTime.timeInfo.sampleRate).store(sampleRate);
    // The device takes a new rate only with a new stream: while one runs, the render thread asks the
    // host to restart at its next period. The host asked for this change itself, so it is not told
    // through sampleRateDidChange, and never from inside its own call.
    if (m_running.load())
        m_rateChangePending.store(true);
    return ASE_OK;
}

ASIOError ASIOLarkspur::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
    ControlGuard guard(this);
    if (!clocks || !numSources)
        return ASE_InvalidParameter;
    clocks->index = 0;
    clocks->associatedChannel = -1;
    clocks->associatedGroup = -1;
    clocks->isCurrentSource = ASIOTrue;
    std::memset(clocks->name, 0, sizeof clocks->name);
    std::memcpy(clocks->name, kClockName, sizeof kClockName);
    *numSources = 1;
    return ASE_OK;
}

ASIOError ASIOLarkspur::setClockSource(int32_t reference) {
    ControlGuard guard(this);
    if (reference != 0)
        return ASE_NotPresent;
    SetTimeInfoFlags(kClockSourceChanged);
    return ASE_OK;
}

ASIOError ASIOLarkspur::getChannelInfo(ASIOChannelInfo* info) {
    ControlGuard guard(this);
    if (!info)
        return ASE_InvalidParameter;
    if (info->channel < 0 || info->channel >= kChannelsPerDirection)
        return ASE_InvalidParameter;
    info->channelGroup = 0;
    info->isActive = ASIOFalse;
    info->type = IsDsd() ? ASIOSTDSDInt8MSB1 : ASIOSTInt32LSB;
    const int32_t* channels = info->isInput ? m_inputChannels : m_outputChannels;
    const int32_t count = info->isInput ? m_numInputBuffers : m_numOutputBuffers;
    for (int32_t i = 0; i < count; ++i)
        if (channels[i] == info->channel)
            info->isActive = ASIOTrue;
    std::snprintf(info->name, sizeof info->name, " channel %d", static_cast<int>(info->channel));
    return ASE_OK;
}

ASIOError ASIOLarkspur::controlPanel() {
    ControlGuard guard(this);
    return OpenControlPanel(this) ? ASE_OK : ASE_NotPresent;
}

ASIOError ASIOLarkspur::future(int32_t selector, void* opt) {
    ControlGuard guard(this);
    switch (selector) {
    case kAsioEnableTimeCodeRead:
        m_timeCodeRead = true;
        return ASE_SUCCESS;
    case kAsioDisableTimeCodeRead:
        m_timeCodeRead = false;
        return ASE_SUCCESS;
    case kAsioSetInputMonitor:
    case kAsioCanInputMonitor:
    case kAsioCanTimeInfo:
    case kAsioCanTimeCode:
    case kAsioCanReportOverload:
        return ASE_SUCCESS;
    case kAsioCanDoIoFormat:
        if (!opt)
            return ASE_InvalidParameter;
        return IsPlayableFormat(static_cast<ASIOIoFormat*>(opt)->FormatType) ? ASE_SUCCESS : ASE_NotPresent;
    case kAsioSetIoFormat:
        if (!opt)
            return ASE_InvalidParameter;
        if (!IsPlayableFormat(static_cast<ASIOIoFormat*>(opt)->FormatType))
            return ASE_NotPresent;
        return SetIoFormat(static_cast<ASIOIoFormat*>(opt)->FormatType);
    case kAsioGetIoFormat:
        if (!opt)
            return ASE_InvalidParameter;
        static_cast<ASIOIoFormat*>(opt)->FormatType = m_ioFormat.load();
        return ASE_SUCCESS;
    case kAsioGetInternalBufferSamples: {
        if (!opt)
            return ASE_InvalidParameter;
        // Beyond the host's two halves: nothing on input; on output, what getLatencies adds to one buffer.
        auto* held = static_cast<ASIOInternalBufferInfo*>(opt);
        held->inputSamples = 0;
        held->outputSamples = ClampToInt32(HeldOutputSamples());
        return ASE_SUCCESS;
    }
    default:
        return ASE_NotPresent;
    }
}

ASIOError ASIOLarkspur::SetIoFormat(int32_t formatType) {
    if (formatType == m_ioFormat.load())
        return ASE_SUCCESS;
    // The device mode and the wave format belong to the stream's format until its pin is closed
    // (a drain after stop still sends silence in it): hosts stop first.
    if (m_running.load() || m_renderPin.load())
        return ASE_InvalidMode;
    const bool wasDsd = IsDsd();
    m_ioFormat = formatType;
    // Buffers the host created hold the other mode's silence, which is no silence in this one.
    if (IsDsd() != wasDsd)
        FillBuffersWithSilence();
    return ASE_SUCCESS;
}

ASIOError ASIOLarkspur::outputReady() {
    ControlGuard guard(this);
    return ASE_OK;
}
