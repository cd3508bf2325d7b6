// The driver's side of its settings window: the buffer size in force, what the panel shows, and the
// panel's OK step.
#include "asio/asio_larkspur.h"
#include "asio/buffer_size_setting.h"

int32_t ASIOLarkspur::BufferFramesInForce() const {
    // A successful createBuffers records the callbacks and disposeBuffers clears them.
    if (m_callbacks.load() != nullptr)
        return m_bufferFrames;
    return ReadBufferSizeSetting().frames;
}

void ASIOLarkspur::GetPanelFacts(ControlPanelFacts* facts) {
    getDriverName(facts->driverName);
    facts->driverVersion = getDriverVersion();
    facts->connected = m_renderFilter != nullptr;
    facts->sampleRate = m_sampleRate.load();
    facts->dsd = IsDsd();
    facts->settingFrames = ReadBufferSizeSetting().frames;
    static_assert(kBufferSizeChoiceCount <= ControlPanelFacts::kMaxChoices);
    facts->choiceCount = kBufferSizeChoiceCount;
    for (int i = 0; i < kBufferSizeChoiceCount; ++i) {
        facts->choices[i] = kBufferSizeChoices[i];
        facts->choiceMilliseconds[i] =
            BufferMilliseconds(kBufferSizeChoices[i], facts->sampleRate, facts->dsd);
    }
}

LONG ASIOLarkspur::ApplyPanelBufferSize(int32_t frames) {
    const int32_t before = ReadBufferSizeSetting().frames;
    const LONG status = WriteBufferSizeSetting(frames);
    if (status != ERROR_SUCCESS)
        return status;
    ASIOCallbacks* callbacks = m_callbacks.load();
    // Without buffers the host reads the new size when it sets up; an unchanged size needs no reset.
    if (frames == before || !callbacks || !callbacks->asioMessage)
        return ERROR_SUCCESS;
    // The host may stop, dispose or even release this object inside either call: nothing of the
    // object is touched after the first one.
    auto* const message = callbacks->asioMessage;
    message(kAsioResetRequest, 0, nullptr, nullptr);
    message(kAsioLatenciesChanged, 0, nullptr, nullptr);
    return ERROR_SUCCESS;
}
