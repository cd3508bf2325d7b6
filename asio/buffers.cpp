// The host's double buffers: one block of two halves per created channel.
#include "asio/asio_larkspur.h"
#include "asio/packing.h"
#include "asio/render_thread.h"
#include "asio/safety_setting.h"
#include "asio/stream_format.h"
#include "ks/audio_filter.h"

#include <cstdint>
#include <new>

namespace {

constexpr int kMaxRecords = 2 * kMaxBuffersPerDirection;

// The words of one half for a host buffer size; false for a size the buffers cannot lay out: below
// one word, above a ring slot, or in DSD not a whole number of words (the host writes size / 8 bytes).
bool HalfFramesFor(int32_t bufferSize, bool dsd, int32_t* frames) {
    if (dsd && (bufferSize < kDsdSamplesPerWord || bufferSize % kDsdSamplesPerWord != 0))
        return false;
    const int32_t words = dsd ? bufferSize / kDsdSamplesPerWord : bufferSize;
    if (words < 1 || words > kMaxBufferFrames)
        return false;
    *frames = words;
    return true;
}

// Where each record's block goes: slots ordered by channel within each direction, so that with two
// outputs slot 0 is channel 0 (left) whatever the order of the records.
struct BufferLayout {
    int32_t inputs = 0;
    int32_t outputs = 0;
    int32_t slot[kMaxRecords] = {};
};

// False for records that name a channel the device lacks or the same channel twice.
bool LayOutBuffers(const ASIOBufferInfo* records, int32_t count, BufferLayout* layout) {
    if (count < 1 || count > kMaxRecords)
        return false;
    bool used[2][kChannelsPerDirection] = {};
    for (int32_t i = 0; i < count; ++i) {
        const int32_t channel = records[i].channelNum;
        const int direction = records[i].isInput != ASIOFalse ? 1 : 0;
        if (channel < 0 || channel >= kChannelsPerDirection || used[direction][channel])
            return false;
        used[direction][channel] = true;
    }
    for (int32_t i = 0; i < count; ++i) {
        const int direction = records[i].isInput != ASIOFalse ? 1 : 0;
        int32_t slot = 0;
        for (int32_t channel = 0; channel < records[i].channelNum; ++channel)
            slot += used[direction][channel] ? 1 : 0;
        layout->slot[i] = slot;
        ++(direction ? layout->inputs : layout->outputs);
    }
    return true;
}

// A block of two halves filled with `silence`; null when memory runs out.
int32_t* AllocateBlock(int32_t frames, int32_t silence) {
    const size_t words = 2 * static_cast<size_t>(frames);
    int32_t* block = new (std::nothrow) int32_t[words];
    if (block)
        for (size_t i = 0; i < words; ++i)
            block[i] = silence;
    return block;
}

int32_t SilenceWord(bool dsd) {
    return dsd ? static_cast<int32_t>(kDsdSilenceWord) : 0;
}

} // namespace

ASIOError ASIOLarkspur::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                      ASIOCallbacks* callbacks) {
    ControlGuard guard(this);
    if (IsRenderThreadOf(this))
        return ASE_InvalidMode;
    if (!callbacks || (numChannels > 0 && !bufferInfos))
        return ASE_InvalidParameter;
    // The render thread packs these buffers: hosts stop before they create others.
    if (m_running.load())
        return ASE_InvalidMode;
    // Everything is checked before anything changes, so a refused call keeps the earlier buffers.
    const bool dsd = IsDsd();
    int32_t frames = 0;
    BufferLayout layout;
    if (!HalfFramesFor(bufferSize, dsd, &frames) || !LayOutBuffers(bufferInfos, numChannels, &layout))
        return ASE_InvalidParameter;

    // Every record is tried; a failure frees this call's blocks and hands none out.
    int32_t* blocks[kMaxRecords] = {};
    bool allocationFailed = false;
    for (int32_t i = 0; i < numChannels; ++i) {
        blocks[i] = AllocateBlock(frames, SilenceWord(dsd));
        allocationFailed = allocationFailed || !blocks[i];
    }
    if (allocationFailed) {
        for (int32_t i = 0; i < numChannels; ++i) {
            delete[] blocks[i];
            bufferInfos[i].buffers[0] = nullptr;
            bufferInfos[i].buffers[1] = nullptr;
        }
        return ASE_NoMemory;
    }

    // Blocks of an earlier call that the host did not dispose of.
    if (m_numInputBuffers > 0 || m_numOutputBuffers > 0)
        disposeBuffers();

    m_bufferFrames = frames;
    for (int32_t i = 0; i < numChannels; ++i) {
        ASIOBufferInfo& info = bufferInfos[i];
        const bool input = info.isInput != ASIOFalse;
        const int32_t slot = layout.slot[i];
        (input ? m_inputChannels : m_outputChannels)[slot] = info.channelNum;
        (input ? m_inputBuffers : m_outputBuffers)[slot] = blocks[i];
        info.buffers[0] = blocks[i];
        info.buffers[1] = blocks[i] + frames;
    }
    m_numInputBuffers = layout.inputs;
    m_numOutputBuffers = layout.outputs;
    // Taken now, like the size: the stream and the latencies reported follow these buffers.
    m_safetyBuffers = ReadSafetyBuffersSetting().buffers;
    MeasureDeviceLatency();

    m_callbacks.store(callbacks);
    if (callbacks->asioMessage && callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0) {
        m_timeInfoMode = true;
        m_asioTime.timeInfo.speed = 1.0;
        m_asioTime.timeInfo.systemTime = {0, 0};
        m_asioTime.timeInfo.samplePosition = {0, 0};
        std::atomic_ref<double>(m_asioTime.timeInfo.sampleRate).store(m_sampleRate.load());
        std::atomic_ref<uint32_t>(m_asioTime.timeInfo.flags)
            .store(kSystemTimeValid | kSamplePositionValid | kSampleRateValid);
        m_asioTime.timeCode.speed = 1.0;
        m_asioTime.timeCode.timeCodeSamples = {0, 0};
        m_asioTime.timeCode.flags = kTcValid | kTcRunning;
    } else {
        m_timeInfoMode = false;
    }
    if (callbacks->asioMessage) {
        callbacks->asioMessage(kAsioSelectorSupported, kAsioSetIoFormat, nullptr, nullptr);
        callbacks->asioMessage(kAsioSelectorSupported, kAsioGetIoFormat, nullptr, nullptr);
        callbacks->asioMessage(kAsioSelectorSupported, kAsioCanDoIoFormat, nullptr, nullptr);
    }
    return ASE_OK;
}

void ASIOLarkspur::MeasureDeviceLatency() {
    // The pin would take the device's only instance: never while any object of the process streams or
    // drains (the share measured last is kept then), and a start waits until it is closed again.
    StreamLock streams;
    if (m_running.load() || ClaimStreamSlot(this, false) != StreamSlot::Free || m_renderPin.load())
        return;
    m_deviceLatency100ns = 0;
    if (!m_renderFilter)
        return;
    // The pin at the wave format start asks for; the latency read needs no device mode.
    WAVEFORMATEXTENSIBLE format = StreamWaveFormat(WaveSamplesPerSecond(m_sampleRate.load(), IsDsd()));
    CKsAudPin* pin = m_renderFilter->CreateRenderPin(&format.Format, FALSE);
    if (!pin)
        return;
    LONGLONG latency = 0;
    if (SUCCEEDED(pin->GetLatency(&latency)))
        m_deviceLatency100ns = latency;
    pin->ClosePin();
}

void ASIOLarkspur::FreeBufferBlocks() {
    for (int32_t i = 0; i < m_numInputBuffers; ++i)
        delete[] m_inputBuffers[i];
    m_numInputBuffers = 0;
    for (int32_t i = 0; i < m_numOutputBuffers; ++i)
        delete[] m_outputBuffers[i];
    m_numOutputBuffers = 0;
}

void ASIOLarkspur::FillBuffersWithSilence() {
    const int32_t silence = SilenceWord(IsDsd());
    const size_t words = 2 * static_cast<size_t>(m_bufferFrames);
    for (int32_t b = 0; b < m_numInputBuffers; ++b)
        for (size_t i = 0; i < words; ++i)
            m_inputBuffers[b][i] = silence;
    for (int32_t b = 0; b < m_numOutputBuffers; ++b)
        for (size_t i = 0; i < words; ++i)
            m_outputBuffers[b][i] = silence;
}

ASIOError ASIOLarkspur::disposeBuffers() {
    ControlGuard guard(this);
    // From inside a callback the buffers are in use by the very thread that calls.
    if (IsRenderThreadOf(this) && !m_destroyPending.load())
        return ASE_InvalidMode;
    // No host call from the render thread from here on.
    m_callbacks.store(nullptr);
    stop();
    // A thread that stop gave up waiting for may still read the blocks.
    WaitForRenderThreadEnd(this);
    FreeBufferBlocks();
    return ASE_OK;
}
