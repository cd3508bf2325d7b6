// A Kernel Streaming filter opened by its device path: its pins, sorted by data flow and communication,
// its topology nodes, and the pin property reads its pins describe themselves with.
#pragma once

#include "ks/irp_target.h"
#include "ks/list.h"

enum KsFilterType { KsFilterTypeGeneric = 0, KsFilterTypeAudioRender = 1, KsFilterTypeAudioCapture = 2 };

class CKsNode {
public:
    CKsNode(ULONG nodeId, const GUID* nodeType, HRESULT* result);

    ULONG m_nNodeId;
    ULONG m_fccTag; // 'N','O','N','E' in memory order
    GUID m_guidNodeType;
};

class CKsFilter : public CKsIrpTarget {
public:
    CKsFilter(LPCWSTR pszName, HRESULT* result);
    virtual ~CKsFilter();
    CKsFilter(const CKsFilter&) = delete;
    CKsFilter& operator=(const CKsFilter&) = delete;

    virtual HRESULT Instantiate();
    virtual HRESULT EnumerateNodes();
    virtual HRESULT EnumeratePins();
    virtual HRESULT DestroyLists();

    HRESULT InternalInit();
    HRESULT ClassifyPins();
    // A fixed-size value: a reply shorter than valueSize is malformed (E_FAIL). With `returned`, the
    // value may be shorter (a name) and its length is reported.
    HRESULT GetPinPropertySimple(ULONG pinId, REFGUID set, ULONG id, PVOID value, ULONG valueSize,
                                 ULONG* returned = nullptr);
    // The reply buffer (new BYTE[]) is the caller's whatever the result, once it was stored; *itemsSize,
    // when asked for, receives its size, the bound for reading the reply. A size above
    // KS_MAX_PROPERTY_SIZE is a malformed reply (E_FAIL, nothing allocated).
    HRESULT GetPinPropertyMulti(ULONG pinId, REFGUID set, ULONG id, PKSMULTIPLE_ITEM* items,
                                ULONG* itemsSize = nullptr);

    CKsList m_listNodes;          // owns its CKsNode records
    CKsList m_listPins;           // owns its pins, in pin-id order
    CKsList m_listRenderSinkPins; // the rest alias entries of m_listPins
    CKsList m_listRenderSourcePins;
    CKsList m_listCaptureSinkPins;
    CKsList m_listCaptureSourcePins;
    CKsList m_listNoCommPins;
    KsFilterType m_eFilterType = KsFilterTypeGeneric;
    WCHAR m_szFilterName[MAX_PATH];
};
