// Placeholder definitions so that pins can be built and tested before the filter's own pin and node
// enumeration lands; they are replaced by the real ones.
#include "ks/filter.h"

CKsNode::CKsNode(ULONG nodeId, const GUID* nodeType, HRESULT* result)
    : m_nNodeId(nodeId), m_fccTag(0x454E4F4E), m_guidNodeType(nodeType ? *nodeType : GUID_NULL) {
    if (result)
        *result = S_OK;
}

HRESULT CKsFilter::Instantiate() {
    return E_FAIL;
}

HRESULT CKsFilter::EnumerateNodes() {
    return E_FAIL;
}

HRESULT CKsFilter::EnumeratePins() {
    return E_FAIL;
}

HRESULT CKsFilter::ClassifyPins() {
    return E_FAIL;
}
