#include "tests/lkplay_fake_driver.h"

#include "tests/support/alloc_control.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace lkplay_test {

FakeAsio::~FakeAsio() {
    stop();
}

ASIOBool FakeAsio::init(void*) {
    calls.push_back("init");
    ++initCalls;
    if (m_lost) {
        if (initFailuresAfterLoss == 0) {
            m_lost = false; // the device is back
        } else {
            if (initFailuresAfterLoss > 0)
                --initFailuresAfterLoss;
            return ASIOFalse;
        }
    }
    return initResult ? ASIOTrue : ASIOFalse;
}

void FakeAsio::getDriverName(char* name) {
    std::strcpy(name, "fake");
}

void FakeAsio::getErrorMessage(char* text) {
    std::strcpy(text, errorText.c_str());
}

ASIOError FakeAsio::getChannels(int32_t* in, int32_t* out) {
    calls.push_back("getChannels");
    *in = 2;
    *out = outputs;
    return ASE_OK;
}

ASIOError FakeAsio::getLatencies(int32_t* in, int32_t* out) {
    *in = *out = 0;
    return ASE_OK;
}

ASIOError FakeAsio::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                  int32_t* granularity) {
    calls.push_back("getBufferSize");
    *minSize = *maxSize = *preferredSize = ioFormat == kASIODSDFormat ? preferred * 32 : preferred;
    *granularity = 0;
    return ASE_OK;
}

ASIOError FakeAsio::canSampleRate(ASIOSampleRate r) {
    calls.push_back("canSampleRate");
    return std::find(rates.begin(), rates.end(), r) != rates.end() ? ASE_OK : ASE_NoClock;
}

size_t FakeAsio::Take(lkplay::Frame* out, size_t max) {
    std::lock_guard lock(receivedLock);
    const size_t count = std::min(max, received.size() - taken);
    std::copy(received.begin() + static_cast<std::ptrdiff_t>(taken),
              received.begin() + static_cast<std::ptrdiff_t>(taken + count), out);
    taken += count;
    return count;
}

ASIOError FakeAsio::getSampleRate(ASIOSampleRate* r) {
    *r = rate;
    return ASE_OK;
}

ASIOError FakeAsio::setSampleRate(ASIOSampleRate r) {
    calls.push_back("setSampleRate");
    if (setRateResult == ASE_OK) {
        if (r != rate && m_callbacks)
            m_callbacks->sampleRateDidChange(r);
        rate = r;
    }
    return setRateResult;
}

ASIOError FakeAsio::getClockSources(ASIOClockSource*, int32_t* count) {
    *count = 0;
    return ASE_OK;
}

ASIOError FakeAsio::getSamplePosition(ASIOSamples* pos, ASIOTimeStamp* stamp) {
    *pos = {0, 0};
    *stamp = {0, 0};
    return ASE_OK;
}

ASIOError FakeAsio::getChannelInfo(ASIOChannelInfo* info) {
    calls.push_back("getChannelInfo");
    if (info->channel < 0 || info->channel > 1)
        return ASE_InvalidParameter;
    info->type = ioFormat == kASIODSDFormat ? ASIOSTDSDInt8MSB1 : pcmType;
    return ASE_OK;
}

ASIOError FakeAsio::createBuffers(ASIOBufferInfo* infos, int32_t count, int32_t size,
                                  ASIOCallbacks* callbacks) {
    calls.push_back("createBuffers");
    if (createResult != ASE_OK)
        return createResult;
    if (count != 2 || infos[0].isInput || infos[1].isInput || infos[0].channelNum != 0 ||
        infos[1].channelNum != 1)
        return ASE_InvalidParameter;
    createdSize = size;
    m_frames = ioFormat == kASIODSDFormat ? size / 32 : size;
    for (int c = 0; c < 2; ++c) {
        // Garbage, as the driver leaves its blocks uninitialised.
        m_blocks[c].assign(2 * static_cast<size_t>(m_frames), 0xDEADBEEF);
        infos[c].buffers[0] = m_blocks[c].data();
        infos[c].buffers[1] = m_blocks[c].data() + m_frames;
    }
    m_callbacks = callbacks;
    hostTakesTimeInfo = callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0;
    return ASE_OK;
}

ASIOError FakeAsio::disposeBuffers() {
    calls.push_back("disposeBuffers");
    stop();
    m_callbacks = nullptr;
    return ASE_OK;
}

ASIOError FakeAsio::future(int32_t selector, void* opt) {
    switch (selector) {
    case kAsioCanDoIoFormat:
        calls.push_back("canDoIoFormat");
        return canDoFormat;
    case kAsioSetIoFormat:
        calls.push_back("setIoFormat");
        ioFormat = static_cast<ASIOIoFormat*>(opt)->FormatType;
        return ASE_SUCCESS;
    default:
        return ASE_NotPresent;
    }
}

ASIOError FakeAsio::start() {
    calls.push_back("start");
    if (startResult != ASE_OK)
        return startResult;
    if (!m_callbacks)
        return ASE_NotPresent;
    m_stop = false;
    m_index = 0;
    ++starts;
    halfOneAtStart.clear();
    for (int32_t j = 0; j < m_frames; ++j)
        halfOneAtStart.push_back(
            {m_blocks[0][static_cast<size_t>(m_frames + j)], m_blocks[1][static_cast<size_t>(m_frames + j)]});
    received.reserve(received.size() +
                     static_cast<size_t>(maxPeriods + 2 + safetyPeriods) * static_cast<size_t>(m_frames));
    indices.reserve(indices.size() + static_cast<size_t>(maxPeriods + 3));
    m_thread = std::thread([this] { Run(); });
    return ASE_OK;
}

ASIOError FakeAsio::stop() {
    if (m_thread.joinable()) {
        calls.push_back("stop");
        m_stop = true;
        m_thread.join();
    }
    return ASE_OK;
}

void FakeAsio::Period() {
    indices.push_back(m_index);
    if (hostTakesTimeInfo)
        m_callbacks->bufferSwitchTimeInfo(&m_time, m_index, ASIOFalse);
    else
        m_callbacks->bufferSwitch(m_index, ASIOFalse);
    m_index ^= 1;
}

void FakeAsio::Pack(int half) {
    std::lock_guard lock(receivedLock);
    for (int32_t j = 0; j < m_frames; ++j) {
        received.push_back({m_blocks[0][static_cast<size_t>(half * m_frames + j)],
                            m_blocks[1][static_cast<size_t>(half * m_frames + j)]});
        if (static_cast<long>(received.size()) == corruptFrame + 1)
            received.back().right ^= 0x100;
    }
}

void FakeAsio::Run() {
    if (!callBack)
        return;
    const long before = testing_support::ThreadAllocationCount();
    {
        std::lock_guard lock(receivedLock);
        const lkplay::Frame silence = lkplay::SilenceFrame(ioFormat == kASIODSDFormat);
        received.insert(received.end(), static_cast<size_t>(safetyPeriods * m_frames), silence);
    }
    if (legacyPriming) {
        Period();
        Period();
        Pack(1);
        Period();
        for (int period = 0; period < maxPeriods && !m_stop; ++period) {
            Pack(m_index);
            Period();
            std::this_thread::yield();
        }
    } else {
        Pack(1);
        const auto periodTime = std::chrono::duration<double>(m_frames / rate);
        for (int period = 0; period < maxPeriods && !m_stop; ++period) {
            if (period == resetAfterPeriods) {
                resetAfterPeriods = -1;
                m_lost = true;
                errorText = "The Larkspur was disconnected";
                m_callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
            }
            const int half = m_index;
            Period();
            if (m_lost) {
                std::this_thread::sleep_for(periodTime); // the driver's own clock
                continue;
            }
            Pack(half);
            if (overloadEvery > 0 && (period + 1) % overloadEvery == 0) {
                m_callbacks->asioMessage(kAsioOverload, 0, nullptr, nullptr);
                ++overloadsSent;
            }
            std::this_thread::yield();
        }
    }
    callbackAllocations = testing_support::ThreadAllocationCount() - before;
}

} // namespace lkplay_test
