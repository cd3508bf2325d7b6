// Opening a filter, building and sorting its pins, and reading its topology nodes.
#include "ks/filter.h"

#include "ks/pin.h"
#include "ks/trace.h"

#include <cstring>
#include <new>

namespace {

void TraceEnter(const char* name) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", name);
}

HRESULT TraceLeave(const char* name, HRESULT result) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", name, result);
    return result;
}

void FreeNodes(CKsList& nodes) {
    CKsNode* node = nullptr;
    while (nodes.RemoveHead(&node))
        delete node;
}

} // namespace

CKsNode::CKsNode(ULONG nodeId, const GUID* nodeType, HRESULT* result)
    : m_nNodeId(nodeId), m_fccTag(0), m_guidNodeType(nodeType ? *nodeType : GUID_NULL) {
    TraceEnter("CKsNode::CKsNode()");
    static constexpr BYTE kTag[4] = {'N', 'O', 'N', 'E'};
    std::memcpy(&m_fccTag, kTag, sizeof m_fccTag);
    if (result)
        *result = S_OK;
    TraceLeave("CKsNode::CKsNode", S_OK);
}

HRESULT CKsFilter::Instantiate() {
    TraceEnter("CKsFilter::Instantiate()");
    m_handle = CreateFileW(m_szFilterName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    HRESULT result = S_OK;
    if (!IsValidHandle(m_handle)) {
        KsTrace(TRACE_ERROR, "CKsFilter::Instantiate: CreateFile failed for device %ls.  ErrorCode = 0x%08x",
                m_szFilterName, GetLastError());
        result = E_FAIL;
    }
    return TraceLeave("CKsFilter::Instantiate", result);
}

HRESULT CKsFilter::EnumeratePins() {
    TraceEnter("CKsFilter::EnumeratePins()");
    ULONG count = 0;
    HRESULT result = GetPinPropertySimple(0, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count,
                                          static_cast<ULONG>(sizeof count));
    if (SUCCEEDED(result) && count > KS_MAX_PIN_COUNT) {
        KsTrace(TRACE_ERROR, "Pin count %u is not credible", count);
        result = E_FAIL;
    }
    if (SUCCEEDED(result)) {
        for (ULONG id = 0; id < count; ++id) {
            HRESULT pinResult = S_OK;
            CKsPin* pin = new (std::nothrow) CKsPin(this, id, &pinResult);
            if (!pin) {
                KsTrace(TRACE_ERROR, "Failed to create pin");
            } else if (FAILED(pinResult)) {
                KsTrace(TRACE_ERROR, "Failed to construct pin");
                delete pin;
            } else if (!m_listPins.AddTail(pin)) {
                KsTrace(TRACE_ERROR, "Failed to add pin to list");
                delete pin;
            }
        }
    }
    result = ClassifyPins();
    if (m_listRenderSinkPins.IsEmpty() && m_listRenderSourcePins.IsEmpty() &&
        m_listCaptureSinkPins.IsEmpty() && m_listCaptureSourcePins.IsEmpty() && m_listNoCommPins.IsEmpty()) {
        KsTrace(TRACE_ERROR, "Filter is not viable. It has no pins.");
        result = E_FAIL;
    }
    return TraceLeave("CKsFilter::EnumeratePins", result);
}

HRESULT CKsFilter::ClassifyPins() {
    TraceEnter("CKsFilter::ClassifyPins()");
    HRESULT result = S_OK;
    CKsListNode* position = m_listPins.GetHeadPosition();
    CKsPin* pin = nullptr;
    while (m_listPins.GetNext(position, &pin)) {
        // The device's values as integers, never as enumerations: any value may arrive. A communication
        // no enumeration names leaves the pin unclassified; a data flow other than in counts as out.
        const ULONG communication = pin->GetDescriptor().Communication;
        const bool in = pin->GetDescriptor().DataFlow == KSPIN_DATAFLOW_IN;
        // Up to two lists per pin; both appends are tried even when the first fails.
        CKsList* lists[2] = {};
        switch (communication) {
        case KSPIN_COMMUNICATION_NONE:
            lists[0] = &m_listNoCommPins;
            break;
        case KSPIN_COMMUNICATION_SINK:
            lists[0] = in ? &m_listRenderSinkPins : &m_listCaptureSinkPins;
            break;
        case KSPIN_COMMUNICATION_SOURCE:
            lists[0] = in ? &m_listCaptureSourcePins : &m_listRenderSourcePins;
            break;
        case KSPIN_COMMUNICATION_BOTH:
            lists[0] = in ? &m_listRenderSinkPins : &m_listCaptureSinkPins;
            lists[1] = in ? &m_listCaptureSourcePins : &m_listRenderSourcePins;
            break;
        default:
            KsTrace(TRACE_EVENT, "Pin communication type not recognized");
            break;
        }
        for (CKsList* list : lists)
            if (list && !list->AddTail(pin))
                result = E_OUTOFMEMORY;
        if (FAILED(result))
            break;
    }
    return TraceLeave("CKsFilter::ClassifyPins", result);
}

HRESULT CKsFilter::EnumerateNodes() {
    TraceEnter("CKsFilter::EnumerateNodes()");
    HRESULT result = S_OK;
    FreeNodes(m_listNodes);

    PKSMULTIPLE_ITEM reply = nullptr;
    ULONG replySize = 0;
    HRESULT read = GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &reply, &replySize);
    if (FAILED(read)) {
        KsTrace(TRACE_NOTICE, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES");
        result = read;
    } else if (reply) {
        // The device's count is believed only as far as the reply holds node types.
        ULONG count = 0;
        if (replySize >= sizeof(KSMULTIPLE_ITEM))
            count = reply->Count;
        if (replySize < sizeof(KSMULTIPLE_ITEM) ||
            count > (replySize - sizeof(KSMULTIPLE_ITEM)) / sizeof(GUID)) {
            KsTrace(TRACE_ERROR, "Topology node list does not fit its reply: %u nodes in %u bytes", count,
                    replySize);
            result = E_FAIL;
            count = 0;
        }
        for (ULONG i = 0; i < count; ++i) {
            const GUID* type = reinterpret_cast<const GUID*>(reply + 1) + i;
            CKsNode* node = new (std::nothrow) CKsNode(i, type, &result);
            if (node && !m_listNodes.AddTail(node)) {
                result = E_OUTOFMEMORY;
                delete node;
            }
        }
        if (static_cast<ULONG>(m_listNodes.GetCount()) < count) {
            result = E_FAIL;
            FreeNodes(m_listNodes);
        }
    }
    delete[] reinterpret_cast<BYTE*>(reply);
    return TraceLeave("CKsFilter::EnumerateNodes", result);
}
