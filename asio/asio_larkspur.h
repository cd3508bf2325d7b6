// The driver object: the IASIO interface through which a host plays on the Larkspur.
#pragma once

#include "com/unknown.h"
#include "platform/asio.h"

#include <atomic>

class CKsAudRenFilter;
class CKsAudPin;
class CKsEnumFilters;

constexpr int kMaxBuffersPerDirection = 2;
constexpr int kChannelsPerDirection = 2;
// Longest buffer half in 32-bit words: one ring slot of the render thread.
constexpr int32_t kMaxBufferFrames = 2048;
constexpr int kErrorMessageSize = 128;

class ASIOLarkspur : public IASIO, public CUnknown {
public:
    ASIOLarkspur(IUnknown* outer, HRESULT* result);
    ~ASIOLarkspur() override;

    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* result);

    // IUnknown, forwarded to the owner
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return OwnerQueryInterface(riid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return OwnerAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return OwnerRelease(); }

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** object) override;

    // IASIO
    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    int32_t getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
    ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override;
    ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) override;
    ASIOError setClockSource(int32_t reference) override;
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(int32_t selector, void* opt) override;
    ASIOError outputReady() override;

private:
    bool IsDsd() const { return m_ioFormat == kASIODSDFormat; }
    void SetErrorMessage(const char* text);
    void SetTimeInfoFlags(uint32_t flags);
    void FreeBufferBlocks();
    // Deletes the filter enumerator, and with it the bound render filter.
    void ReleaseDevice();

    int32_t m_ioFormat = kASIOPCMFormat;
    double m_sampleRate = 44100.0;
    ASIOCallbacks* m_callbacks = nullptr;
    ASIOTime m_asioTime{};
    ASIOTimeStamp m_periodTimeStamp{};
    int32_t* m_inputBuffers[4] = {};
    int32_t* m_outputBuffers[4] = {};
    int32_t m_inputChannels[kMaxBuffersPerDirection] = {};
    int32_t m_outputChannels[kMaxBuffersPerDirection] = {};
    int32_t m_bufferFrames = 1024;
    const int32_t m_inputLatency = 1024;
    const int32_t m_outputLatency = 0;
    int32_t m_numInputBuffers = 0;
    int32_t m_numOutputBuffers = 0;
    int32_t m_bufferIndex = 0;
    std::atomic<bool> m_running{false};
    bool m_timeInfoMode = false;
    bool m_timeCodeRead = false;
    char m_errorMessage[kErrorMessageSize] = {};
    CKsAudRenFilter* m_renderFilter = nullptr;
    std::atomic<CKsAudPin*> m_renderPin{nullptr};
    // The enumerator that owns m_renderFilter; kept so the filter is released with the driver.
    CKsEnumFilters* m_filterEnum = nullptr;
};
