// Our declarations of the ASIO driver interface (version 2 with the DSD extension), written from the
// published binary layout. ASIO "long" is 32 bits on every platform.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

using ASIOBool = int32_t;
enum : ASIOBool { ASIOFalse = 0, ASIOTrue = 1 };

using ASIOSampleRate = double;

using ASIOSampleType = int32_t;
enum : ASIOSampleType {
    ASIOSTInt32LSB = 18,
    ASIOSTDSDInt8LSB1 = 32,
    ASIOSTDSDInt8MSB1 = 33,
    ASIOSTDSDInt8NER8 = 40,
};

using ASIOError = int32_t;
enum : ASIOError {
    ASE_OK = 0,
    ASE_SUCCESS = 0x3F4847A0,
    ASE_NotPresent = -1000,
    ASE_HWMalfunction = -999,
    ASE_InvalidParameter = -998,
    ASE_InvalidMode = -997,
    ASE_SPNotAdvancing = -996,
    ASE_NoClock = -995,
    ASE_NoMemory = -994,
};

using ASIOIoFormatType = int32_t;
enum : ASIOIoFormatType {
    kASIOFormatInvalid = -1,
    kASIOPCMFormat = 0,
    kASIODSDFormat = 1,
};

#pragma pack(push, 4)

struct ASIOSamples {
    uint32_t hi;
    uint32_t lo;
};

struct ASIOTimeStamp {
    uint32_t hi;
    uint32_t lo;
};

struct ASIOClockSource {
    int32_t index;
    int32_t associatedChannel;
    int32_t associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    int32_t channel;
    ASIOBool isInput;
    ASIOBool isActive;
    int32_t channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOBufferInfo {
    ASIOBool isInput;
    int32_t channelNum;
    void* buffers[2];
};

struct AsioTimeInfo {
    double speed;
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    uint32_t flags;
    char reserved[12];
};

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    uint32_t flags;
    char future[64];
};

struct ASIOTime {
    int32_t reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};

struct ASIOCallbacks {
    void (*bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate rate);
    int32_t (*asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, int32_t doubleBufferIndex, ASIOBool directProcess);
};

struct ASIOIoFormat {
    ASIOIoFormatType FormatType;
    char future[512 - sizeof(ASIOIoFormatType)];
};

#pragma pack(pop)

static_assert(sizeof(ASIOSamples) == 8);
static_assert(sizeof(ASIOTimeStamp) == 8);
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(offsetof(ASIOClockSource, name) == 16);
static_assert(sizeof(ASIOChannelInfo) == 52);
static_assert(offsetof(ASIOChannelInfo, type) == 16);
static_assert(offsetof(ASIOChannelInfo, name) == 20);
static_assert(sizeof(ASIOBufferInfo) == 24);
static_assert(offsetof(ASIOBufferInfo, buffers) == 8);
static_assert(sizeof(ASIOCallbacks) == 32);
static_assert(offsetof(ASIOCallbacks, asioMessage) == 16);
static_assert(offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == 24);
static_assert(sizeof(AsioTimeInfo) == 48);
static_assert(offsetof(AsioTimeInfo, systemTime) == 8);
static_assert(offsetof(AsioTimeInfo, samplePosition) == 16);
static_assert(offsetof(AsioTimeInfo, sampleRate) == 24);
static_assert(offsetof(AsioTimeInfo, flags) == 32);
static_assert(sizeof(ASIOTimeCode) == 84);
static_assert(offsetof(ASIOTimeCode, timeCodeSamples) == 8);
static_assert(offsetof(ASIOTimeCode, flags) == 16);
static_assert(sizeof(ASIOTime) == 148);
static_assert(offsetof(ASIOTime, timeInfo) == 16);
static_assert(offsetof(ASIOTime, timeCode) == 64);
static_assert(sizeof(ASIOIoFormat) == 512);

enum : uint32_t {
    kSystemTimeValid = 1,
    kSamplePositionValid = 2,
    kSampleRateValid = 4,
    kSpeedValid = 8,
    kSampleRateChanged = 0x10,
    kClockSourceChanged = 0x20,
};

enum : uint32_t {
    kTcValid = 1,
    kTcRunning = 2,
    kTcReverse = 4,
    kTcOnspeed = 8,
    kTcStill = 0x10,
    kTcSpeedValid = 0x100,
};

// Host message selectors (asioMessage)
enum : int32_t {
    kAsioSelectorSupported = 1,
    kAsioEngineVersion,
    kAsioResetRequest,
    kAsioBufferSizeChange,
    kAsioResyncRequest,
    kAsioLatenciesChanged,
    kAsioSupportsTimeInfo,
    kAsioSupportsTimeCode,
    kAsioMMCCommand,
    kAsioSupportsInputMonitor,
    kAsioSupportsInputGain,
    kAsioSupportsInputMeter,
    kAsioSupportsOutputGain,
    kAsioSupportsOutputMeter,
    kAsioOverload,
};

// future() selectors
enum : int32_t {
    kAsioEnableTimeCodeRead = 1,
    kAsioDisableTimeCodeRead,
    kAsioSetInputMonitor,
    kAsioTransport,
    kAsioSetInputGain,
    kAsioGetInputMeter,
    kAsioSetOutputGain,
    kAsioGetOutputMeter,
    kAsioCanInputMonitor,
    kAsioCanTimeInfo,
    kAsioCanTimeCode,
    kAsioCanTransport,
    kAsioCanInputGain,
    kAsioCanInputMeter,
    kAsioCanOutputGain,
    kAsioCanOutputMeter,
    kAsioSetIoFormat = 0x23111961,
    kAsioGetIoFormat = 0x23111983,
    kAsioCanDoIoFormat = 0x23112004,
    kAsioCanReportOverload = 0x24042012,
    kAsioGetInternalBufferSamples = 0x25042012,
};

// kAsioGetInternalBufferSamples: what the driver and device hold beyond the host's two halves.
struct ASIOInternalBufferInfo {
    int32_t inputSamples;
    int32_t outputSamples;
};
static_assert(sizeof(ASIOInternalBufferInfo) == 8);

// The driver interface. Slots 0-2 are IUnknown's; the rest follow in this order.
struct IASIO : public IUnknown {
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0;
    virtual int32_t getDriverVersion() = 0;
    virtual void getErrorMessage(char* string) = 0;
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) = 0;
    virtual ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
    virtual ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                    int32_t* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) = 0;
    virtual ASIOError setClockSource(int32_t reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(int32_t selector, void* opt) = 0;
    virtual ASIOError outputReady() = 0;
};

// The driver's class ID, which hosts also pass as the interface ID of IASIO.
inline constexpr CLSID CLSID_ASIOLarkspur{
    0x5B2E7C40, 0x9A13, 0x4D6F, {0x8E, 0x21, 0x3C, 0x7A, 0x94, 0xD0, 0xB5, 0x18}};
