// A pin of a Kernel Streaming filter: first the description of a pin factory, read through the
// filter; once created, a pin handle through which the device is started, stopped, switched between
// PCM and DSD and fed with stream packets.
#pragma once

#include "ks/irp_target.h"

#include <atomic>
#include <cstddef>

class CKsFilter;

enum KsPinType { KsPinTypeGeneric = 0, KsPinTypeAudioRender = 1, KsPinTypeAudioCapture = 2 };

// The device's mode-control request.
constexpr ULONG DEVICE_MODE_DSD = 0x00008000;
constexpr ULONG DEVICE_MODE_PCM = 0x00010000;
constexpr ULONG DEVICE_MODE_STREAM_END = 0x00008002;
constexpr ULONG IOCTL_VENDOR_SET_MODE = CTL_CODE(FILE_DEVICE_KS, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(IOCTL_VENDOR_SET_MODE == 0x2F200C);

struct VendorModeRequest {
    ULONG ModeCode;
    ULONG Zero;
    BYTE Reserved[256];
};
static_assert(sizeof(VendorModeRequest) == 264);
static_assert(offsetof(VendorModeRequest, ModeCode) == 0 && offsetof(VendorModeRequest, Zero) == 4 &&
              offsetof(VendorModeRequest, Reserved) == 8);

// One write request of the render thread: the header, then the OVERLAPPED whose event its completion
// signals.
struct StreamPacket {
    KSSTREAM_HEADER Header;
    OVERLAPPED Overlapped;
};
static_assert(sizeof(StreamPacket) == 88);

// What Init reads about the pin factory. The list pointers point 8 bytes into the KSMULTIPLE_ITEM
// buffers, which the pin owns.
struct KsPinDescriptor {
    ULONG InterfacesCount;
    const KSPIN_INTERFACE* Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    ULONG DataRangesCount;
    const KSDATARANGE* DataRanges;
    // As the device gave them: any value may arrive, not only those the enumerations name.
    ULONG DataFlow;
    ULONG Communication;
    KSPIN_CINSTANCES CInstances;
    KSPIN_CINSTANCES CInstancesGlobal;
    PKSMULTIPLE_ITEM pmiDataRanges;
    PKSMULTIPLE_ITEM pmiMediums;
    PKSMULTIPLE_ITEM pmiInterfaces;
};

// The most pin factories a filter is believed to have: a KS filter has a handful of pins.
constexpr ULONG KS_MAX_PIN_COUNT = 64;

class CKsPin : public CKsIrpTarget {
public:
    // Reads the pin's properties; *result is Init's (S_OK or S_FALSE). The object exists in any case.
    CKsPin(CKsFilter* filter, ULONG id, HRESULT* result);
    virtual ~CKsPin();
    CKsPin(const CKsPin&) = delete;
    CKsPin& operator=(const CKsPin&) = delete;

    virtual HRESULT Instantiate(BOOL looped);
    virtual HRESULT SetState(KSSTATE state);

    HRESULT Init();
    void ClosePin();
    // Submits one packet without waiting; its completion signals the OVERLAPPED's event.
    HRESULT WriteData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped);
    // Asks the device to end a write still in flight; TRUE when it had one with this OVERLAPPED. The
    // write then completes (as cancelled) when the device lets it go.
    BOOL CancelWrite(OVERLAPPED* overlapped);
    // The value as its enumeration (0 when unread); E_FAIL, with nothing written, for a value the
    // enumeration does not name.
    HRESULT GetDataFlow(KSPIN_DATAFLOW* flow);
    HRESULT GetCommunication(KSPIN_COMMUNICATION* communication);
    BOOL SetDeviceMode(ULONG mode);

    // For inspection.
    ULONG GetId() const { return m_nId; }
    KsPinType GetType() const { return m_ePinType; }
    KSSTATE GetState() const { return m_ksState.load(); }
    const WCHAR* GetName() const { return m_szPinName; }
    const GUID& GetCategory() const { return m_guidCategory; }
    const KsPinDescriptor& GetDescriptor() const { return m_Descriptor; }
    const KSPIN_CONNECT* GetConnect() const { return m_pksPinCreate; }
    ULONG GetConnectSize() const { return m_cbPinCreate; }

protected:
    PKSPIN_CONNECT m_pksPinCreate = nullptr;
    ULONG m_cbPinCreate = 0;
    ULONG m_nId;
    CKsFilter* m_pFilter;
    GUID m_guidCategory;
    KsPinDescriptor m_Descriptor;
    KsPinType m_ePinType = KsPinTypeGeneric;
    VendorModeRequest m_modeRequest;
    // Set from the host's thread (start, stop) and from the render thread (ClosePin).
    std::atomic<KSSTATE> m_ksState{KSSTATE_STOP};
    WCHAR m_szPinName[MAX_PATH];
    BOOL m_bLooped = FALSE;
};
