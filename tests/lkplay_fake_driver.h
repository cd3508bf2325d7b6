// A stand-in IASIO for lkplay's host tests, with the ASIO double buffer: once started it sends
// `safetyPeriods` periods of silence, then half 1 as the host left it, then calls the host back from
// its own thread (indices 0, 1, 0, ..., one call per period) and packs each half the host filled
// into a "received" stream. `legacyPriming` acts as the drivers that prime with three callbacks back
// to back and pack the half filled two callbacks before: the host's half 1 and its first period are
// lost, the second is sent twice. A lost device (`resetAfterPeriods`) keeps the callbacks coming at
// the stream's pace with the audio going nowhere, as drivers do; `initFailuresAfterLoss` then models
// the device coming back. The same object stands for every driver object the host creates.
#pragma once

#include "platform/asio.h"
#include "tools/lkplay/frame.h"
#include "tools/lkplay/reference.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace lkplay_test {

// Frames from memory, as a reference for the verifier.
class VectorSource : public lkplay::FrameSource {
public:
    explicit VectorSource(std::vector<lkplay::Frame> frames) : m_frames(std::move(frames)) {}
    size_t Read(lkplay::Frame* out, size_t max) override {
        const size_t n = std::min(max, m_frames.size() - m_at);
        std::copy(m_frames.begin() + static_cast<long>(m_at), m_frames.begin() + static_cast<long>(m_at + n),
                  out);
        m_at += n;
        return n;
    }

private:
    std::vector<lkplay::Frame> m_frames;
    size_t m_at = 0;
};

class FakeAsio : public IASIO {
public:
    // What the fake answers.
    bool initResult = true;
    std::string errorText;
    int32_t outputs = 2;
    ASIOError canDoFormat = ASE_SUCCESS;
    ASIOError setRateResult = ASE_OK;
    int32_t preferred = 64; // PCM samples; DSD reports 32 times this
    ASIOError createResult = ASE_OK;
    ASIOError startResult = ASE_OK;
    ASIOSampleType pcmType = ASIOSTInt32LSB;
    int maxPeriods = 20000; // the thread stops calling back after this many periods
    bool callBack = true;   // false: start succeeds but no callback ever comes
    long corruptFrame = -1; // flips a bit of this received frame
    bool legacyPriming = false;
    int resetAfterPeriods = -1; // then the device is lost: an error text, kAsioResetRequest, nothing packed
    int initFailuresAfterLoss = -1; // inits that fail once the device is lost; -1: it never comes back
    int safetyPeriods = 0;          // periods of silence the device receives before half 1
    int overloadEvery = 0;          // sends kAsioOverload after every this many periods
    std::vector<double> rates = {44100,  48000,   88200,   96000,    176400, 192000, 352800,
                                 384000, 2822400, 5644800, 11289600, 3072000}; // what canSampleRate takes

    // What the fake saw.
    std::vector<std::string> calls;
    int32_t ioFormat = kASIOPCMFormat;
    double rate = 44100;
    int32_t createdSize = 0;
    bool hostTakesTimeInfo = false;
    std::vector<int32_t> indices;              // buffer-switch indices, in order
    std::vector<lkplay::Frame> halfOneAtStart; // what the host had put in half 1 when it called start
    int initCalls = 0;
    int starts = 0;
    std::atomic<int> overloadsSent{0};
    std::vector<lkplay::Frame> received; // what the "device" got; under `receivedLock` while it runs
    std::mutex receivedLock;
    size_t taken = 0;              // frames of `received` that Take has handed out
    long callbackAllocations = -1; // heap allocations made by the host's callbacks

    FakeAsio() = default;
    ~FakeAsio();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    ASIOBool init(void*) override;
    void getDriverName(char* name) override;
    int32_t getDriverVersion() override { return 1; }
    void getErrorMessage(char* text) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(int32_t* in, int32_t* out) override;
    ASIOError getLatencies(int32_t* in, int32_t* out) override;
    ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* r) override;
    ASIOError setSampleRate(ASIOSampleRate r) override;
    ASIOError getClockSources(ASIOClockSource*, int32_t* count) override;
    ASIOError setClockSource(int32_t) override { return ASE_OK; }
    ASIOError getSamplePosition(ASIOSamples* pos, ASIOTimeStamp* stamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* infos, int32_t count, int32_t size,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override { return ASE_NotPresent; }
    ASIOError future(int32_t selector, void* opt) override;
    ASIOError outputReady() override { return ASE_NotPresent; }

    int32_t frames() const { return m_frames; }
    // Hands out up to `max` frames received since the last call, as the device tap does.
    size_t Take(lkplay::Frame* out, size_t max);
    // Waits for the callback thread to run out of periods.
    void Join() {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    void Run();
    void Period();
    void Pack(int half);

    ASIOCallbacks* m_callbacks = nullptr;
    std::vector<uint32_t> m_blocks[2];
    int32_t m_frames = 0;
    int32_t m_index = 0;
    bool m_lost = false;
    ASIOTime m_time{};
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

} // namespace lkplay_test
