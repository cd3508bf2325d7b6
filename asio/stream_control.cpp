// Starting and stopping the stream, and the stream position.
#include "asio/asio_larkspur.h"
#include "asio/render_thread.h"
#include "ks/audio_filter.h"

#include <thread>

namespace {

constexpr char kNoPinsMessage[] = "ASIO Larkspur No pins available for rendering";
constexpr double kDsdRateToWaveRate = 0.015625; // the wave format carries the DSD bit rate / 64

// The wave format's rate: 0, which no pin takes, for a rate the 32-bit field cannot hold.
DWORD WaveSamplesPerSecond(double rate, bool dsd) {
    const double value = dsd ? rate * kDsdRateToWaveRate : rate;
    if (!(value >= 0.0) || !(value < 4294967296.0))
        return 0;
    return static_cast<DWORD>(value);
}

// Two channels of 32 bits in both modes: DSD travels in the PCM container.
WAVEFORMATEXTENSIBLE StreamWaveFormat(DWORD samplesPerSecond) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = 2;
    format.Format.nSamplesPerSec = samplesPerSecond;
    format.Format.nAvgBytesPerSec = samplesPerSecond * 4;
    format.Format.nBlockAlign = 4;
    format.Format.wBitsPerSample = 32;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = 32;
    format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

} // namespace

CKsAudPin* ASIOLarkspur::AcquirePin() {
    m_pinUsers.fetch_add(1);
    CKsAudPin* pin = m_renderPin.load();
    if (!pin)
        m_pinUsers.fetch_sub(1);
    return pin;
}

void ASIOLarkspur::ReleasePin() {
    m_pinUsers.fetch_sub(1);
}

CKsAudPin* ASIOLarkspur::TakePinForClosing() {
    CKsAudPin* pin = m_renderPin.exchange(nullptr);
    while (m_pinUsers.load() != 0)
        std::this_thread::yield();
    return pin;
}

ASIOError ASIOLarkspur::start() {
    if (!m_callbacks.load())
        return ASE_NotPresent;
    // One stream at a time: this driver's goes on; another driver's keeps the device.
    if (ASIOLarkspur* streaming = StreamingDriver())
        return streaming == this ? ASE_OK : ASE_NotPresent;
    // The ring and packets are shared: an earlier thread must have finished its drain.
    WaitForRenderThreadEnd(nullptr);

    PublishSwitch(0, ASIOTimeStamp{0, 0});
    m_bufferIndex = 0;
    m_running.store(false);

    if (!m_renderFilter || m_numOutputBuffers < 1) {
        SetErrorMessage(kNoPinsMessage);
        return ASE_NotPresent;
    }

    const bool dsd = IsDsd();
    const DWORD samplesPerSecond = WaveSamplesPerSecond(m_sampleRate.load(), dsd);
    WAVEFORMATEXTENSIBLE format = StreamWaveFormat(samplesPerSecond);
    CKsAudPin* pin = m_renderFilter->CreateRenderPin(&format.Format, FALSE);
    if (!pin) {
        SetErrorMessage(kNoPinsMessage);
        return ASE_NotPresent;
    }
    m_renderPin.store(pin);

    if (dsd) {
        pin->SetDeviceMode(DEVICE_MODE_DSD);
        pin->SetFormat(&format.Format);
    } else {
        pin->SetDeviceMode(DEVICE_MODE_PCM);
    }
    pin->SetState(KSSTATE_RUN);

    // In DSD the device plays 32 one-bit samples per word: twice the wave format's rate in frames.
    m_streamFramesPerSecond = dsd ? samplesPerSecond * 2 : samplesPerSecond;
    m_streamBufferSamples = static_cast<uint32_t>(m_bufferFrames) * (dsd ? 32u : 1u);
    m_running.store(true);
    if (!StartRenderThread(this)) {
        // Without a thread nothing would ever play: undo the start.
        m_running.store(false);
        if (CKsAudPin* closing = TakePinForClosing())
            closing->ClosePin();
        return ASE_NotPresent;
    }
    return ASE_OK;
}

ASIOError ASIOLarkspur::stop() {
    m_running.store(false);
    StopRenderThread(this);
    // A thread still draining closes the pin later; stop the device now.
    if (CKsAudPin* pin = AcquirePin()) {
        pin->SetState(KSSTATE_STOP);
        ReleasePin();
    }
    return ASE_OK;
}

ASIOError ASIOLarkspur::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
    if (!sPos || !tStamp)
        return ASE_InvalidParameter;
    // Any thread, any time: the pair of the latest switch, without asking the device or waiting.
    uint64_t position = 0;
    ASIOTimeStamp stamp{0, 0};
    for (;;) {
        const uint32_t before = m_positionSequence.load(std::memory_order_acquire);
        position = m_switchPosition.load(std::memory_order_relaxed);
        stamp = m_periodTimeStamp.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((before & 1) == 0 && m_positionSequence.load(std::memory_order_relaxed) == before)
            break;
    }
    sPos->hi = static_cast<uint32_t>(position >> 32);
    sPos->lo = static_cast<uint32_t>(position);
    *tStamp = stamp;
    return ASE_OK;
}
