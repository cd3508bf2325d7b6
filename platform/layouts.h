// The sizes and member offsets of every Windows record the driver sends to the device or reads from
// it, checked on both targets: the Linux declarations must match the SDK's 64-bit layouts byte for
// byte, and the Windows build must see the SDK as the driver assumes it.
#pragma once

#include <cstddef>

#define LK_LAYOUT(type, member, offset) static_assert(offsetof(type, member) == (offset), #type "." #member)

static_assert(sizeof(KSPROPERTY) == 24);
LK_LAYOUT(KSPROPERTY, Set, 0);
LK_LAYOUT(KSPROPERTY, Id, 16);
LK_LAYOUT(KSPROPERTY, Flags, 20);

static_assert(sizeof(KSP_PIN) == 32);
LK_LAYOUT(KSP_PIN, Property, 0);
LK_LAYOUT(KSP_PIN, PinId, 24);
LK_LAYOUT(KSP_PIN, Reserved, 28);

static_assert(sizeof(KSMULTIPLE_ITEM) == 8);
LK_LAYOUT(KSMULTIPLE_ITEM, Size, 0);
LK_LAYOUT(KSMULTIPLE_ITEM, Count, 4);

static_assert(sizeof(KSPIN_CONNECT) == 72);
LK_LAYOUT(KSPIN_CONNECT, Interface, 0);
LK_LAYOUT(KSPIN_CONNECT, Medium, 24);
LK_LAYOUT(KSPIN_CONNECT, PinId, 48);
LK_LAYOUT(KSPIN_CONNECT, PinToHandle, 56);
LK_LAYOUT(KSPIN_CONNECT, Priority, 64);
static_assert(sizeof(KSPRIORITY) == 8);

static_assert(sizeof(KSDATAFORMAT) == 64);
LK_LAYOUT(KSDATAFORMAT, FormatSize, 0);
LK_LAYOUT(KSDATAFORMAT, Flags, 4);
LK_LAYOUT(KSDATAFORMAT, SampleSize, 8);
LK_LAYOUT(KSDATAFORMAT, Reserved, 12);
LK_LAYOUT(KSDATAFORMAT, MajorFormat, 16);
LK_LAYOUT(KSDATAFORMAT, SubFormat, 32);
LK_LAYOUT(KSDATAFORMAT, Specifier, 48);

static_assert(sizeof(KSDATARANGE_AUDIO) == 88);
LK_LAYOUT(KSDATARANGE_AUDIO, DataRange, 0);
LK_LAYOUT(KSDATARANGE_AUDIO, MaximumChannels, 64);
LK_LAYOUT(KSDATARANGE_AUDIO, MinimumBitsPerSample, 68);
LK_LAYOUT(KSDATARANGE_AUDIO, MaximumBitsPerSample, 72);
LK_LAYOUT(KSDATARANGE_AUDIO, MinimumSampleFrequency, 76);
LK_LAYOUT(KSDATARANGE_AUDIO, MaximumSampleFrequency, 80);

static_assert(sizeof(WAVEFORMATEX) == 18);
LK_LAYOUT(WAVEFORMATEX, wFormatTag, 0);
LK_LAYOUT(WAVEFORMATEX, nChannels, 2);
LK_LAYOUT(WAVEFORMATEX, nSamplesPerSec, 4);
LK_LAYOUT(WAVEFORMATEX, nAvgBytesPerSec, 8);
LK_LAYOUT(WAVEFORMATEX, nBlockAlign, 12);
LK_LAYOUT(WAVEFORMATEX, wBitsPerSample, 14);
LK_LAYOUT(WAVEFORMATEX, cbSize, 16);

static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
LK_LAYOUT(WAVEFORMATEXTENSIBLE, Format, 0);
LK_LAYOUT(WAVEFORMATEXTENSIBLE, Samples, 18);
LK_LAYOUT(WAVEFORMATEXTENSIBLE, dwChannelMask, 20);
LK_LAYOUT(WAVEFORMATEXTENSIBLE, SubFormat, 24);

// Packed in the SDK: 64 + 18 bytes, no tail padding.
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEX) == 82);
LK_LAYOUT(KSDATAFORMAT_WAVEFORMATEX, DataFormat, 0);
LK_LAYOUT(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx, 64);

static_assert(sizeof(KSSTREAM_HEADER) == 56);
LK_LAYOUT(KSSTREAM_HEADER, Size, 0);
LK_LAYOUT(KSSTREAM_HEADER, TypeSpecificFlags, 4);
LK_LAYOUT(KSSTREAM_HEADER, PresentationTime, 8);
LK_LAYOUT(KSSTREAM_HEADER, Duration, 24);
LK_LAYOUT(KSSTREAM_HEADER, FrameExtent, 32);
LK_LAYOUT(KSSTREAM_HEADER, DataUsed, 36);
LK_LAYOUT(KSSTREAM_HEADER, Data, 40);
LK_LAYOUT(KSSTREAM_HEADER, OptionsFlags, 48);
LK_LAYOUT(KSSTREAM_HEADER, Reserved, 52);

static_assert(sizeof(KSAUDIO_POSITION) == 16);
LK_LAYOUT(KSAUDIO_POSITION, PlayOffset, 0);
LK_LAYOUT(KSAUDIO_POSITION, WriteOffset, 8);

static_assert(sizeof(KSPIN_CINSTANCES) == 8);
static_assert(sizeof(KSSTATE) == 4);

static_assert(sizeof(OVERLAPPED) == 32);
LK_LAYOUT(OVERLAPPED, Internal, 0);
LK_LAYOUT(OVERLAPPED, InternalHigh, 8);
LK_LAYOUT(OVERLAPPED, Offset, 16);
LK_LAYOUT(OVERLAPPED, OffsetHigh, 20);
LK_LAYOUT(OVERLAPPED, Pointer, 16);
LK_LAYOUT(OVERLAPPED, hEvent, 24);

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
LK_LAYOUT(SP_DEVICE_INTERFACE_DATA, cbSize, 0);
LK_LAYOUT(SP_DEVICE_INTERFACE_DATA, InterfaceClassGuid, 4);
LK_LAYOUT(SP_DEVICE_INTERFACE_DATA, Flags, 20);
LK_LAYOUT(SP_DEVICE_INTERFACE_DATA, Reserved, 24);

static_assert(sizeof(SP_DEVINFO_DATA) == 32);
LK_LAYOUT(SP_DEVINFO_DATA, cbSize, 0);
LK_LAYOUT(SP_DEVINFO_DATA, ClassGuid, 4);
LK_LAYOUT(SP_DEVINFO_DATA, DevInst, 20);
LK_LAYOUT(SP_DEVINFO_DATA, Reserved, 24);

static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
LK_LAYOUT(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath, 4);

#undef LK_LAYOUT
