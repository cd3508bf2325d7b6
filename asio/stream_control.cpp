// Starting and stopping the stream, and the stream position.
#include "asio/asio_larkspur.h"
#include "asio/render_thread.h"
#include "asio/stream_format.h"
#include "ks/audio_filter.h"

#include <thread>

namespace {

constexpr char kNoPinsMessage[] = "ASIO Larkspur No pins available for rendering";
constexpr char kNoBuffersMessage[] = "The Larkspur cannot start: the host created no buffers";
constexpr char kBusyMessage[] = "The Larkspur is already playing for another ASIO host";
constexpr char kBadBufferSizeMessage[] = "The buffer size is too small for the Larkspur";
constexpr char kNotRunningMessage[] = "The Larkspur did not start playing";
constexpr char kNoEventsMessage[] = "The Larkspur driver ran out of system resources";
constexpr char kNoThreadMessage[] = "The Larkspur driver could not start its audio thread";

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

ASIOLarkspur::ControlGuard::ControlGuard(ASIOLarkspur* driver) : m_locked(nullptr) {
    if (IsRenderThreadOf(driver))
        return;
    driver->m_controlLock.lock();
    m_locked = driver;
    // Why the render thread ended a stream on its own becomes the text the host reads next.
    if (const char* text = driver->m_streamError.exchange(nullptr))
        driver->SetErrorMessage(text);
}

ASIOLarkspur::ControlGuard::~ControlGuard() {
    if (m_locked)
        m_locked->m_controlLock.unlock();
}

ULONG STDMETHODCALLTYPE ASIOLarkspur::NonDelegatingAddRef() {
    m_references.fetch_add(1);
    return CUnknown::NonDelegatingAddRef();
}

ULONG STDMETHODCALLTYPE ASIOLarkspur::NonDelegatingRelease() {
    if (m_references.fetch_sub(1) == 1 && IsRenderThreadOf(this)) {
        // The render thread is inside a callback of this object: it destroys the object once it ends.
        m_destroyPending.store(true);
        m_running.store(false);
        StopRenderThread(this);
        return 0;
    }
    return CUnknown::NonDelegatingRelease();
}

void ASIOLarkspur::DestroyDeferred() {
    CUnknown::NonDelegatingRelease();
}

ASIOError ASIOLarkspur::start() {
    ControlGuard guard(this);
    if (!m_callbacks.load()) {
        SetErrorMessage(kNoBuffersMessage);
        return ASE_NotPresent;
    }
    // From inside a callback the stream is running already.
    if (IsRenderThreadOf(this))
        return ASE_OK;
    // One stream per process: the slot is checked and taken under one lock, whatever other objects do.
    StreamLock streams;
    switch (ClaimStreamSlot(this, m_running.load())) {
    case StreamSlot::OursRunning:
        return ASE_OK;
    case StreamSlot::OtherDriver:
        SetErrorMessage(kBusyMessage);
        return ASE_NotPresent;
    case StreamSlot::Free:
        break;
    }

    PublishSwitch(0, ASIOTimeStamp{0, 0});
    m_running.store(false);
    m_overloads.store(0);
    m_deviceUnresponsive.store(false);
    m_rateChangePending.store(false);
    m_streamError.store(nullptr);

    // A host with inputs only (a meter, a recorder) gets a stream too: the device plays silence.
    if (!m_renderFilter) {
        SetErrorMessage(kNoPinsMessage);
        return ASE_NotPresent;
    }
    // A half shorter than one word would make every write complete at once.
    if (m_bufferFrames < 1 || m_bufferFrames > kMaxBufferFrames) {
        SetErrorMessage(kBadBufferSizeMessage);
        return ASE_InvalidMode;
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
    // Undoes the start: nothing would ever play.
    auto fail = [this](const char* text) {
        m_running.store(false);
        if (CKsAudPin* closing = TakePinForClosing())
            closing->ClosePin();
        SetErrorMessage(text);
        return ASE_HWMalfunction;
    };
    if (FAILED(pin->SetState(KSSTATE_RUN)))
        return fail(kNotRunningMessage);

    m_streamBufferSamples = static_cast<uint32_t>(m_bufferFrames) * (dsd ? 32u : 1u);
    m_running.store(true);
    switch (StartRenderThread(this, this, MakeStreamSetup(pin))) {
    case ThreadStart::Started:
        return ASE_OK;
    case ThreadStart::NoEvents:
        return fail(kNoEventsMessage);
    case ThreadStart::NoThread:
        return fail(kNoThreadMessage);
    }
    return ASE_OK;
}

StreamSetup ASIOLarkspur::MakeStreamSetup(CKsAudPin* pin) const {
    StreamSetup setup;
    setup.pin = pin;
    setup.frames = m_bufferFrames;
    setup.dsd = IsDsd();
    setup.safety = m_safetyBuffers < 0                  ? 0
                   : m_safetyBuffers > kMaxSafetyWrites ? kMaxSafetyWrites
                                                        : m_safetyBuffers;
    // In DSD the device plays 32 one-bit samples per word: twice the wave format's rate in frames.
    const DWORD samplesPerSecond = WaveSamplesPerSecond(m_sampleRate.load(), setup.dsd);
    setup.framesPerSecond = setup.dsd ? samplesPerSecond * 2 : samplesPerSecond;
    // The first output buffer the host created is left, the second right; one buffer feeds both.
    for (int half = 0; half < 2 && m_numOutputBuffers >= 1; ++half) {
        const ptrdiff_t offset = static_cast<ptrdiff_t>(half) * m_bufferFrames;
        setup.left[half] = m_outputBuffers[0] + offset;
        setup.right[half] = (m_numOutputBuffers >= 2 ? m_outputBuffers[1] : m_outputBuffers[0]) + offset;
    }
    return setup;
}

void ASIOLarkspur::StopStream() {
    m_running.store(false);
    const bool ended = StopRenderThread(this);
    if (IsRenderThreadOf(this))
        return;
    // A host that restarts on the same buffers (a seek) sends nothing of the old stream; what it fills
    // before its next start still goes first.
    if (ended)
        FillBuffersWithSilence();
    // A thread still busy closes the pin later; stop the device now, unless it stopped answering.
    if (m_deviceUnresponsive.load())
        return;
    if (CKsAudPin* pin = AcquirePin()) {
        pin->SetState(KSSTATE_STOP);
        ReleasePin();
    }
}

ASIOError ASIOLarkspur::stop() {
    ControlGuard guard(this);
    StopStream();
    return ASE_OK;
}

ASIOError ASIOLarkspur::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
    if (!sPos || !tStamp)
        return ASE_InvalidParameter;
    // Any thread, any time: the pair of the latest switch, without asking the device or waiting.
    uint64_t position = 0;
    ASIOTimeStamp stamp{0, 0};
    for (;;) {
        const uint32_t before = m_positionSequence.load();
        position = m_switchPosition.load();
        stamp = m_periodTimeStamp.load();
        if ((before & 1) == 0 && m_positionSequence.load() == before)
            break;
    }
    sPos->hi = static_cast<uint32_t>(position >> 32);
    sPos->lo = static_cast<uint32_t>(position);
    *tStamp = stamp;
    return ASE_OK;
}
