// The host's double buffers: one block of two halves per created channel.
#include "asio/asio_larkspur.h"
#include "asio/render_thread.h"

#include <cstdint>
#include <new>

namespace {

constexpr int32_t kDsdWordShift = 5; // 32 one-bit DSD samples per 32-bit word

// A block of two halves; null when the size cannot be represented or memory runs out.
int32_t* AllocateBlock(int32_t frames) {
    const int64_t words = 2 * static_cast<int64_t>(frames);
    if (words < 0 || static_cast<uint64_t>(words) > SIZE_MAX / sizeof(int32_t))
        return nullptr;
    return new (std::nothrow) int32_t[static_cast<size_t>(words)];
}

} // namespace

ASIOError ASIOLarkspur::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                      ASIOCallbacks* callbacks) {
    ControlGuard guard(this);
    if (IsRenderThreadOf(this))
        return ASE_InvalidMode;
    if (!callbacks || (numChannels > 0 && !bufferInfos))
        return ASE_InvalidParameter;
    const int32_t frames = IsDsd() ? bufferSize >> kDsdWordShift : bufferSize;
    // A half must fit one ring slot of the render thread.
    if (frames > kMaxBufferFrames)
        return ASE_InvalidParameter;

    // Blocks of an earlier call that the host did not dispose of.
    if (m_numInputBuffers > 0 || m_numOutputBuffers > 0)
        disposeBuffers();

    m_numInputBuffers = 0;
    m_numOutputBuffers = 0;
    m_bufferFrames = frames;

    bool allocationFailed = false;
    for (int32_t i = 0; i < numChannels; ++i) {
        ASIOBufferInfo& info = bufferInfos[i];
        if (info.channelNum < 0 || info.channelNum >= kChannelsPerDirection) {
            disposeBuffers();
            return ASE_InvalidParameter;
        }
        const bool input = info.isInput != ASIOFalse;
        int32_t& count = input ? m_numInputBuffers : m_numOutputBuffers;
        if (count >= kMaxBuffersPerDirection) {
            disposeBuffers();
            return ASE_InvalidParameter;
        }
        (input ? m_inputChannels : m_outputChannels)[count] = info.channelNum;
        int32_t* block = AllocateBlock(m_bufferFrames);
        (input ? m_inputBuffers : m_outputBuffers)[count] = block;
        if (block) {
            info.buffers[0] = block;
            info.buffers[1] = block + m_bufferFrames;
        } else {
            info.buffers[0] = nullptr;
            info.buffers[1] = nullptr;
            allocationFailed = true;
        }
        ++count;
    }
    if (allocationFailed) {
        disposeBuffers();
        return ASE_NoMemory;
    }

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

void ASIOLarkspur::FreeBufferBlocks() {
    for (int32_t i = 0; i < m_numInputBuffers; ++i)
        delete[] m_inputBuffers[i];
    m_numInputBuffers = 0;
    for (int32_t i = 0; i < m_numOutputBuffers; ++i)
        delete[] m_outputBuffers[i];
    m_numOutputBuffers = 0;
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
