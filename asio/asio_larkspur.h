// The driver object: the IASIO interface through which a host plays on the Larkspur.
#pragma once

#include "asio/render_thread.h"
#include "com/unknown.h"
#include "platform/asio.h"
#include "platform/control_panel.h"

#include <atomic>
#include <mutex>

class CKsAudRenFilter;
class CKsAudPin;
class CKsEnumFilters;

constexpr int kMaxBuffersPerDirection = 2;
constexpr int kChannelsPerDirection = 2;
// Longest buffer half in 32-bit words: one ring slot of the render thread.
constexpr int32_t kMaxBufferFrames = 2048;
// One 32-bit word carries 32 one-bit DSD samples of a channel.
constexpr int32_t kDsdSamplesPerWord = 32;
constexpr int kErrorMessageSize = 128;
// The buffer hosts hand to getErrorMessage.
constexpr size_t kHostErrorMessageSize = 124;

class ASIOLarkspur : public IASIO, public CUnknown, public ControlPanelModel, private RenderOwner {
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
    // A final release from inside a callback leaves the destruction to the render thread's end.
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

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

    // For inspection: the filter that init bound, or null.
    const CKsAudRenFilter* GetRenderFilter() const { return m_renderFilter; }

    // ControlPanelModel: what the panel shows, and its OK step (store the user's buffer size and safety
    // buffers and, when either changed while buffers exist, ask the host once to reset and re-read its
    // latencies).
    void GetPanelFacts(ControlPanelFacts* facts) override;
    LONG ApplyPanelSettings(int32_t frames, int32_t safetyBuffers) override;
    // The OK step with the safety buffers left as they are.
    LONG ApplyPanelBufferSize(int32_t frames);

private:
    // Serialises the control methods called on the host's threads; a call that the render thread makes
    // from inside a callback goes through without it, so stop may wait for that thread while holding it.
    class ControlGuard {
    public:
        explicit ControlGuard(ASIOLarkspur* driver);
        ~ControlGuard();
        ControlGuard(const ControlGuard&) = delete;
        ControlGuard& operator=(const ControlGuard&) = delete;

    private:
        ASIOLarkspur* m_locked;
    };

    bool IsDsd() const { return m_ioFormat.load(std::memory_order_relaxed) == kASIODSDFormat; }
    // Words of a buffer half now: the created size while buffers exist, else the user's setting.
    int32_t BufferFramesInForce() const;
    // Safety buffers now: those taken by createBuffers while buffers exist, else the user's setting.
    int32_t SafetyBuffersInForce() const;
    // One buffer half in force, in samples of the current mode.
    int64_t BufferSamplesInForce() const;
    // What the driver and the device hold on output beyond the half in flight, in samples of the
    // current mode: the safety writes and the device's share.
    int64_t HeldOutputSamples() const;
    // Reads the device's latency on a render pin at the current format into m_deviceLatency100ns.
    void MeasureDeviceLatency();
    void SetErrorMessage(const char* text);
    void SetTimeInfoFlags(uint32_t flags);
    void FreeBufferBlocks();
    // Overwrites every buffer block with the current mode's silence.
    void FillBuffersWithSilence();
    // Whether the device runs `sampleRate` in the given format (DSD: the one-bit rate).
    ASIOError CheckSampleRate(ASIOSampleRate sampleRate, bool dsd);
    // kAsioSetIoFormat: refused while a stream runs in another format.
    ASIOError SetIoFormat(int32_t formatType);
    // Deletes the filter enumerator, and with it the bound render filter.
    void ReleaseDevice();

    // The render pin for a call from a host thread, kept from being closed until ReleasePin.
    CKsAudPin* AcquirePin();
    void ReleasePin();
    // Clears m_renderPin and waits until no host call still uses the pin; returns what it held.
    CKsAudPin* TakePinForClosing();

    // Ends the stream the host asked to stop; returns once the thread is gone or after a bounded wait.
    void StopStream();
    // The stream as start hands it to the render thread.
    StreamSetup MakeStreamSetup(CKsAudPin* pin) const;

    // RenderOwner: what the render thread does to this object, between and inside the host's callbacks.
    void BufferSwitch(uint64_t period, int32_t index) override;
    bool HostListening() const override { return m_running.load(); }
    void Message(int32_t selector) override;
    bool TakeRateChange() override { return m_rateChangePending.exchange(false); }
    void CountOverload() override { m_overloads.fetch_add(1); }
    void StreamLost(const char* reason) override { m_streamError.store(reason); }
    void SetDeviceUnresponsive(bool unresponsive) override { m_deviceUnresponsive.store(unresponsive); }
    CKsAudPin* TakePin() override { return TakePinForClosing(); }
    bool DestroyPending() const override { return m_destroyPending.load(); }
    // Destroys an object whose final release the render thread deferred.
    void DestroyDeferred() override;

    // The latest buffer switch's position and time, as one consistent pair (render thread only).
    void PublishSwitch(uint64_t position, ASIOTimeStamp stamp);
    void SwitchWithTimeInfo(ASIOCallbacks* callbacks, int32_t index);

    // Fields the render thread reads or writes while the host's threads may call in are atomic; the
    // buffers, their counts and m_timeInfoMode are handed over before the thread starts.
    std::atomic<int32_t> m_ioFormat{kASIOPCMFormat};
    std::atomic<double> m_sampleRate{44100.0};
    std::atomic<ASIOCallbacks*> m_callbacks{nullptr};
    alignas(8) ASIOTime m_asioTime{};
    std::atomic<ASIOTimeStamp> m_periodTimeStamp{ASIOTimeStamp{0, 0}};
    int32_t* m_inputBuffers[4] = {};
    int32_t* m_outputBuffers[4] = {};
    int32_t m_inputChannels[kMaxBuffersPerDirection] = {};
    int32_t m_outputChannels[kMaxBuffersPerDirection] = {};
    int32_t m_bufferFrames = 1024;
    int32_t m_numInputBuffers = 0;
    int32_t m_numOutputBuffers = 0;
    std::atomic<bool> m_running{false};
    bool m_timeInfoMode = false;
    std::atomic<bool> m_timeCodeRead{false};
    char m_errorMessage[kErrorMessageSize] = {};
    CKsAudRenFilter* m_renderFilter = nullptr;
    std::atomic<CKsAudPin*> m_renderPin{nullptr};
    // The enumerator that owns m_renderFilter; kept so the filter is released with the driver.
    CKsEnumFilters* m_filterEnum = nullptr;
    // Host calls using m_renderPin right now (getSamplePosition, stop).
    std::atomic<int> m_pinUsers{0};
    // Samples per channel in one buffer half of the current stream (one-bit samples in DSD).
    uint32_t m_streamBufferSamples = 0;
    // The latest switch's position in samples per channel since start; read with m_periodTimeStamp
    // under m_positionSequence (odd while the render thread writes), so no reader ever waits.
    std::atomic<uint32_t> m_positionSequence{0};
    std::atomic<uint64_t> m_switchPosition{0};
    std::recursive_mutex m_controlLock;
    // The references handed out; mirrors the base's count so a final release can be recognised.
    std::atomic<LONG> m_references{0};
    std::atomic<bool> m_destroyPending{false};
    // Why the render thread ended the stream on its own: a static text taken into m_errorMessage by
    // the next control call (the render thread never writes m_errorMessage).
    std::atomic<const char*> m_streamError{nullptr};
    // A wait on the device timed out: nothing more is sent to it in this stream.
    std::atomic<bool> m_deviceUnresponsive{false};
    // setSampleRate changed the rate while streaming: the render thread asks the host for a reset.
    std::atomic<bool> m_rateChangePending{false};
    // Writes kept queued at the device beyond the one it plays (the user's SafetyBuffers, 0 to 2),
    // taken when buffers are created, like the buffer size.
    int32_t m_safetyBuffers = 0;
    // What the device holds beyond the writes, in 100 ns units (its KSPROPERTY_AUDIO_LATENCY), read
    // when buffers are created; 0 when the device does not say. Kept after disposeBuffers: the
    // latencies reported before the next createBuffers include the share last measured.
    int64_t m_deviceLatency100ns = 0;
    // kAsioOverload messages sent in the current stream (the device ran out of audio).
    std::atomic<uint32_t> m_overloads{0};
};
