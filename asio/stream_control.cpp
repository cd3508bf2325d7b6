// Starting and stopping the stream, and the stream position.
#include "asio/asio_larkspur.h"
#include "asio/render_thread.h"
#include "asio/stream_format.h"
#include "ks/audio_filter.h"

#include <thread>

namespace {

constexpr char kNoPinsMessage[] = "ASIO Larkspur No pins available for rendering";

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

    m_periodTimeStamp.store(ASIOTimeStamp{0, 0});
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
    KSAUDIO_POSITION position{0, 0};
    if (CKsAudPin* pin = AcquirePin()) {
        pin->GetPosition(&position);
        ReleasePin();
    }
    sPos->hi = static_cast<uint32_t>(position.WriteOffset >> 32);
    sPos->lo = static_cast<uint32_t>(position.WriteOffset);
    *tStamp = m_periodTimeStamp.load();
    return ASE_OK;
}
