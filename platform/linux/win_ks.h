// Kernel Streaming, wave format and SetupAPI declarations for builds against the simulated platform.
// Same names, values and 64-bit layouts as the Windows SDK.
#pragma once

#include "platform/linux/win_base.h"

// Wave formats (packed like mmreg.h)
#define WAVE_FORMAT_PCM 1
#define WAVE_FORMAT_IEEE_FLOAT 3
#define WAVE_FORMAT_EXTENSIBLE 0xFFFE
#define SPEAKER_FRONT_LEFT 0x1
#define SPEAKER_FRONT_RIGHT 0x2

#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
struct WAVEFORMATEXTENSIBLE {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
};
#pragma pack(pop)
using PWAVEFORMATEX = WAVEFORMATEX*;
using PWAVEFORMATEXTENSIBLE = WAVEFORMATEXTENSIBLE*;
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);

// Kernel Streaming
struct KSIDENTIFIER {
    union {
        struct {
            GUID Set;
            ULONG Id;
            ULONG Flags;
        };
        LONGLONG Alignment;
    };
};
using KSPROPERTY = KSIDENTIFIER;
using PKSPROPERTY = KSPROPERTY*;
using KSPIN_INTERFACE = KSIDENTIFIER;
using PKSPIN_INTERFACE = KSPIN_INTERFACE*;
using KSPIN_MEDIUM = KSIDENTIFIER;
using PKSPIN_MEDIUM = KSPIN_MEDIUM*;
using PKSIDENTIFIER = KSIDENTIFIER*;
static_assert(sizeof(KSPROPERTY) == 24);

struct KSP_PIN {
    KSPROPERTY Property;
    ULONG PinId;
    union {
        ULONG Reserved;
        ULONG Flags;
    };
};
using PKSP_PIN = KSP_PIN*;
static_assert(sizeof(KSP_PIN) == 32);

struct KSMULTIPLE_ITEM {
    ULONG Size;
    ULONG Count;
};
using PKSMULTIPLE_ITEM = KSMULTIPLE_ITEM*;

struct KSDATAFORMAT {
    union {
        struct {
            ULONG FormatSize;
            ULONG Flags;
            ULONG SampleSize;
            ULONG Reserved;
            GUID MajorFormat;
            GUID SubFormat;
            GUID Specifier;
        };
        LONGLONG Alignment;
    };
};
using KSDATARANGE = KSDATAFORMAT;
using PKSDATAFORMAT = KSDATAFORMAT*;
using PKSDATARANGE = KSDATARANGE*;
static_assert(sizeof(KSDATAFORMAT) == 64);

struct KSDATARANGE_AUDIO {
    KSDATARANGE DataRange;
    ULONG MaximumChannels;
    ULONG MinimumBitsPerSample;
    ULONG MaximumBitsPerSample;
    ULONG MinimumSampleFrequency;
    ULONG MaximumSampleFrequency;
};
using PKSDATARANGE_AUDIO = KSDATARANGE_AUDIO*;
static_assert(sizeof(KSDATARANGE_AUDIO) == 88);

// Packed, as the SDK declares it: the wave format follows the data format without padding.
#pragma pack(push, 1)
struct KSDATAFORMAT_WAVEFORMATEX {
    KSDATAFORMAT DataFormat;
    WAVEFORMATEX WaveFormatEx;
};
#pragma pack(pop)
using PKSDATAFORMAT_WAVEFORMATEX = KSDATAFORMAT_WAVEFORMATEX*;

struct KSPRIORITY {
    ULONG PriorityClass;
    ULONG PrioritySubClass;
};

struct KSPIN_CONNECT {
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    HANDLE PinToHandle;
    KSPRIORITY Priority;
};
using PKSPIN_CONNECT = KSPIN_CONNECT*;
static_assert(sizeof(KSPIN_CONNECT) == 72);

struct KSTIME {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
};

struct KSSTREAM_HEADER {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;
    ULONG DataUsed;
    PVOID Data;
    ULONG OptionsFlags;
    ULONG Reserved;
};
using PKSSTREAM_HEADER = KSSTREAM_HEADER*;
static_assert(sizeof(KSSTREAM_HEADER) == 56);

struct KSAUDIO_POSITION {
    ULONGLONG PlayOffset;
    ULONGLONG WriteOffset;
};
using PKSAUDIO_POSITION = KSAUDIO_POSITION*;

struct KSPIN_CINSTANCES {
    ULONG PossibleCount;
    ULONG CurrentCount;
};

enum KSPIN_DATAFLOW { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT };
enum KSPIN_COMMUNICATION {
    KSPIN_COMMUNICATION_NONE,
    KSPIN_COMMUNICATION_SINK,
    KSPIN_COMMUNICATION_SOURCE,
    KSPIN_COMMUNICATION_BOTH,
    KSPIN_COMMUNICATION_BRIDGE
};
enum KSSTATE { KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN };
using PKSSTATE = KSSTATE*;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002

enum {
    KSPROPERTY_PIN_CINSTANCES = 0,
    KSPROPERTY_PIN_CTYPES = 1,
    KSPROPERTY_PIN_DATAFLOW = 2,
    KSPROPERTY_PIN_DATARANGES = 3,
    KSPROPERTY_PIN_DATAINTERSECTION = 4,
    KSPROPERTY_PIN_INTERFACES = 5,
    KSPROPERTY_PIN_MEDIUMS = 6,
    KSPROPERTY_PIN_COMMUNICATION = 7,
    KSPROPERTY_PIN_GLOBALCINSTANCES = 8,
    KSPROPERTY_PIN_NECESSARYINSTANCES = 9,
    KSPROPERTY_PIN_PHYSICALCONNECTION = 10,
    KSPROPERTY_PIN_CATEGORY = 11,
    KSPROPERTY_PIN_NAME = 12,
};
#define KSPROPERTY_CONNECTION_STATE 0
#define KSPROPERTY_TOPOLOGY_NODES 1
#define KSPROPERTY_AUDIO_LATENCY 1
#define KSPROPERTY_AUDIO_POSITION 5

#define KSINTERFACE_STANDARD_STREAMING 0
#define KSINTERFACE_STANDARD_LOOPED_STREAMING 1
#define KSMEDIUM_TYPE_ANYINSTANCE 0
#define KSPRIORITY_NORMAL 0x40000000

#define FILE_DEVICE_KS 0x0000002F
#define METHOD_BUFFERED 0
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(type, function, method, access)                                                             \
    (((type) << 16) | ((access) << 14) | ((function) << 2) | (method))
#define IOCTL_KS_PROPERTY CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_WRITE_STREAM CTL_CODE(FILE_DEVICE_KS, 0x004, METHOD_NEITHER, FILE_WRITE_ACCESS)
static_assert(IOCTL_KS_PROPERTY == 0x2F0003);
static_assert(IOCTL_KS_WRITE_STREAM == 0x2F8013);

using PFN_KSCREATEPIN = DWORD(WINAPI*)(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access,
                                       PHANDLE pin);

#include "platform/ks_guids.h"
inline constexpr GUID KSDATAFORMAT_TYPE_WILDCARD = GUID_NULL;
inline constexpr GUID KSDATAFORMAT_SUBTYPE_WILDCARD = GUID_NULL;
inline constexpr GUID KSDATAFORMAT_SPECIFIER_WILDCARD = GUID_NULL;

// SetupAPI
using HDEVINFO = PVOID;
#define DIGCF_PRESENT 0x00000002
#define DIGCF_DEVICEINTERFACE 0x00000010
#define SPINT_ACTIVE 0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;
static_assert(sizeof(SP_DEVINFO_DATA) == 32);

struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[1];
};
using PSP_DEVICE_INTERFACE_DETAIL_DATA_W = SP_DEVICE_INTERFACE_DETAIL_DATA_W*;
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                        DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA data);
BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA device);
BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                        PDWORD requiredSize);
BOOL WINAPI SetupDiGetDeviceInterfaceAlias(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                           const GUID* aliasClass, PSP_DEVICE_INTERFACE_DATA alias);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set);
