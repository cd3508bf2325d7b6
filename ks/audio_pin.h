// Audio pins: a pin that streams in the standard way, keeps its audio data ranges, tells whether a wave
// format fits them, carries the format in its connect request and reads the stream position.
#pragma once

#include "ks/list.h"
#include "ks/pin.h"

// Size of the connect request before SetFormat: the KSPIN_CONNECT, the KSDATAFORMAT and a WAVEFORMATEX.
constexpr ULONG kPinConnectHeaderSize = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
constexpr ULONG kDefaultPinConnectSize = kPinConnectHeaderSize + sizeof(WAVEFORMATEX);
static_assert(kDefaultPinConnectSize == 154);

// A KSTIME (Time × Numerator / Denominator) in 100 ns units; false for a zero denominator, a negative
// time or one that does not fit.
bool KsTimeTo100ns(const KSTIME& time, LONGLONG* value);

class CKsAudPin : public CKsPin {
public:
    CKsAudPin(CKsFilter* filter, ULONG id, HRESULT* result);
    ~CKsAudPin() override;

    HRESULT Init();
    BOOL IsFormatSupported(const WAVEFORMATEX* format);
    HRESULT SetFormat(const WAVEFORMATEX* format);
    HRESULT GetPosition(KSAUDIO_POSITION* position);
    // What the device holds beyond the writes (KSPROPERTY_AUDIO_LATENCY), in 100 ns units; E_FAIL for
    // a reply that gives no usable time.
    HRESULT GetLatency(LONGLONG* latency100ns);

    // Owned 88-byte copies of the pin's audio data ranges (KSDATARANGE_AUDIO), in device order.
    CKsList m_listDataRange;
    CKsList m_listNodes;
    // The data format inside m_pksPinCreate, right behind its KSPIN_CONNECT; not a separate block.
    KSDATAFORMAT* m_pksDataFormatWfx = nullptr;
};

class CKsAudRenPin : public CKsAudPin {
public:
    CKsAudRenPin(CKsFilter* filter, ULONG id, HRESULT* result);
    ~CKsAudRenPin() override;
};

class CKsAudCapPin : public CKsAudPin {
public:
    CKsAudCapPin(CKsFilter* filter, ULONG id, HRESULT* result);
    ~CKsAudCapPin() override;
};
