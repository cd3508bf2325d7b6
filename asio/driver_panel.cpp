// The driver's side of its settings window: the settings in force, what the panel shows, and the
// panel's OK step.
#include "asio/asio_larkspur.h"
#include "asio/buffer_size_setting.h"
#include "asio/safety_setting.h"

static_assert(ControlPanelFacts::kMaxSafetyChoice == kMaxSafetyBuffers);

int32_t ASIOLarkspur::BufferFramesInForce() const {
    // A successful createBuffers records the callbacks and disposeBuffers clears them.
    if (m_callbacks.load() != nullptr)
        return m_bufferFrames;
    return ReadBufferSizeSetting().frames;
}

int32_t ASIOLarkspur::SafetyBuffersInForce() const {
    if (m_callbacks.load() != nullptr)
        return m_safetyBuffers;
    return ReadSafetyBuffersSetting().buffers;
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
    facts->settingSafety = ReadSafetyBuffersSetting().buffers;
    facts->deviceMilliseconds = static_cast<double>(m_deviceLatency100ns) / 10000.0;
    facts->overloads = m_overloads.load(std::memory_order_relaxed);
}

LONG ASIOLarkspur::ApplyPanelBufferSize(int32_t frames) {
    return ApplyPanelSettings(frames, ReadSafetyBuffersSetting().buffers);
}

LONG ASIOLarkspur::ApplyPanelSettings(int32_t frames, int32_t safetyBuffers) {
    // Both are checked before either is stored, so a refused OK changes nothing.
    if (!IsBufferSizeChoice(frames) || !IsSafetyBuffersChoice(safetyBuffers))
        return ERROR_INVALID_PARAMETER;
    const bool sizeChanged = frames != ReadBufferSizeSetting().frames;
    const bool safetyChanged = safetyBuffers != ReadSafetyBuffersSetting().buffers;
    LONG status = WriteBufferSizeSetting(frames);
    const bool sizeStored = status == ERROR_SUCCESS;
    if (sizeStored)
        status = WriteSafetyBuffersSetting(safetyBuffers);
    const bool changed = (sizeStored && sizeChanged) || (status == ERROR_SUCCESS && safetyChanged);
    ASIOCallbacks* callbacks = m_callbacks.load();
    // Without buffers the host reads the new settings when it sets up; unchanged ones need no reset.
    if (!changed || !callbacks || !callbacks->asioMessage)
        return status;
    // The host may stop, dispose or even release this object inside either call: nothing of the
    // object is touched after the first one.
    auto* const message = callbacks->asioMessage;
    message(kAsioResetRequest, 0, nullptr, nullptr);
    message(kAsioLatenciesChanged, 0, nullptr, nullptr);
    return status;
}
