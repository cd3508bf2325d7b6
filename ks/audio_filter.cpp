// Audio filters: audio pin enumeration, and the render filter's choice and creation of a render pin.
#include "ks/audio_filter.h"

#include "ks/trace.h"

#include <new>

namespace {

void TraceEnter(const char* name) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", name);
}

HRESULT TraceLeave(const char* name, HRESULT result) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", name, result);
    return result;
}

HRESULT ResultOf(const HRESULT* result) {
    return result ? *result : S_OK;
}

void DropEntries(CKsList& list) {
    void* entry = nullptr;
    while (list.RemoveHead(&entry)) {
    }
}

} // namespace

CKsAudFilter::CKsAudFilter(LPCWSTR pszName, HRESULT* result) : CKsFilter(pszName, result) {
    TraceEnter("CKsAudFilter::CKsAudFilter()");
    TraceLeave("CKsAudFilter::CKsAudFilter", ResultOf(result));
}

CKsAudRenFilter::CKsAudRenFilter(LPCWSTR pszName, HRESULT* result) : CKsAudFilter(pszName, result) {
    TraceEnter("CKsAudRenFilter::CKsAudRenFilter()");
    m_eFilterType = KsFilterTypeAudioRender;
    TraceLeave("CKsAudRenFilter::CKsAudRenFilter", ResultOf(result));
}

CKsAudCapFilter::CKsAudCapFilter(LPCWSTR pszName, HRESULT* result) : CKsAudFilter(pszName, result) {
    TraceEnter("CKsAudCapFilter::CKsAudCapFilter()");
    m_eFilterType = KsFilterTypeAudioCapture;
    TraceLeave("CKsAudCapFilter::CKsAudCapFilter", ResultOf(result));
}

HRESULT CKsAudFilter::EnumeratePins() {
    TraceEnter("CKsAudFilter::EnumeratePins()");
    ULONG count = 0;
    bool outOfMemory = false;
    if (FAILED(GetPinPropertySimple(0, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count,
                                    static_cast<ULONG>(sizeof count)))) {
        KsTrace(TRACE_ERROR, "Failed to retrieve count of pins in audio filter");
        count = 0;
    } else if (count > KS_MAX_PIN_COUNT) {
        KsTrace(TRACE_ERROR, "Pin count %u is not credible", count);
        count = 0;
    }
    for (ULONG id = 0; id < count && !outOfMemory; ++id) {
        ULONG communication = 0;
        if (FAILED(GetPinPropertySimple(id, KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, &communication,
                                        static_cast<ULONG>(sizeof communication)))) {
            KsTrace(TRACE_ERROR, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION");
            continue;
        }
        if (communication != KSPIN_COMMUNICATION_SINK && communication != KSPIN_COMMUNICATION_SOURCE &&
            communication != KSPIN_COMMUNICATION_BOTH) {
            KsTrace(TRACE_ERROR, "Pin communication value doesn't make sense");
            continue;
        }
        ULONG flow = 0;
        if (FAILED(GetPinPropertySimple(id, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &flow,
                                        static_cast<ULONG>(sizeof flow)))) {
            KsTrace(TRACE_ERROR, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW");
            continue;
        }
        HRESULT pinResult = S_OK;
        CKsAudPin* pin = nullptr;
        if (communication == KSPIN_COMMUNICATION_SINK && flow == KSPIN_DATAFLOW_IN)
            pin = new (std::nothrow) CKsAudRenPin(this, id, &pinResult);
        else if (communication == KSPIN_COMMUNICATION_SINK && flow == KSPIN_DATAFLOW_OUT)
            pin = new (std::nothrow) CKsAudCapPin(this, id, &pinResult);
        else
            pin = new (std::nothrow) CKsAudPin(this, id, &pinResult);
        if (!pin) {
            KsTrace(TRACE_ERROR, "Failed to create audio pin");
            outOfMemory = true;
        } else if (FAILED(pinResult)) {
            delete pin;
        } else if (!m_listPins.AddTail(pin)) {
            delete pin;
            KsTrace(TRACE_ERROR, "Unable to allocate list entry to save pin in");
            outOfMemory = true;
        }
    }

    // A classification cut short by memory would leave pins out of their lists while the filter looks
    // usable, so it counts as running out of memory too.
    if (!outOfMemory && FAILED(ClassifyPins()))
        outOfMemory = true;
    if (outOfMemory) {
        KsTrace(TRACE_ERROR, "Ran out of memory enumerating pins - deleting all pins");
        DropEntries(m_listRenderSinkPins);
        DropEntries(m_listRenderSourcePins);
        DropEntries(m_listCaptureSinkPins);
        DropEntries(m_listCaptureSourcePins);
        DropEntries(m_listNoCommPins);
        CKsPin* pin = nullptr;
        while (m_listPins.RemoveHead(&pin))
            delete pin;
        return TraceLeave("CKsAudFilter::EnumeratePins", E_OUTOFMEMORY);
    }
    if (m_listRenderSinkPins.IsEmpty() && m_listRenderSourcePins.IsEmpty() &&
        m_listCaptureSinkPins.IsEmpty() && m_listCaptureSourcePins.IsEmpty()) {
        KsTrace(TRACE_ERROR, "No valid pins found on the filter");
        return TraceLeave("CKsAudFilter::EnumeratePins", E_FAIL);
    }
    return TraceLeave("CKsAudFilter::EnumeratePins", S_OK);
}

CKsAudPin* CKsAudRenFilter::FindViablePin(const WAVEFORMATEX* format) {
    TraceEnter("CKsAudRenFilter::FindViablePin()");
    CKsAudPin* found = nullptr;
    CKsListNode* position = m_listRenderSinkPins.GetHeadPosition();
    CKsAudPin* pin = nullptr;
    while (format && m_listRenderSinkPins.GetNext(position, &pin)) {
        if (pin && pin->IsFormatSupported(format)) {
            found = pin;
            break;
        }
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave", "CKsAudRenFilter::FindViablePin()");
    return found;
}

CKsAudPin* CKsAudRenFilter::CreateRenderPin(const WAVEFORMATEX* format, BOOL looped) {
    TraceEnter("CKsAudRenFilter::CreateRenderPin()");
    HRESULT result = E_FAIL;
    if (!format) {
        KsTrace(TRACE_ERROR, "CKsAudRenFilter::CreateRenderPin: no wave format");
        TraceLeave("CKsAudRenFilter::CreateRenderPin", E_INVALIDARG);
        return nullptr;
    }

    CKsAudPin* pin = FindViablePin(format);
    if (!pin) {
        KsTrace(TRACE_NOTICE, "Could not find a Render pin that supports the given wave format");
    } else if (result = pin->SetFormat(format); FAILED(result)) {
        KsTrace(TRACE_ERROR, "Failed to set Render Pin format - the pin lied about its supported formats");
    } else if (result = pin->Instantiate(looped); FAILED(result)) {
        KsTrace(TRACE_ERROR, "Failed to instantiate Render Pin");
    } else {
        KsTrace(TRACE_EVENT, "Successfully instantiated Render Pin.  Handle = 0x%08x",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(pin->GetHandle())));
        TraceLeave("CKsAudRenFilter::CreateRenderPin", result);
        return pin;
    }

    // Fallback: every render-sink pin in order, whatever it claims, the first choice included.
    CKsAudPin* created = nullptr;
    CKsListNode* position = m_listRenderSinkPins.GetHeadPosition();
    while (!created && m_listRenderSinkPins.GetNext(position, &pin)) {
        if (!pin)
            continue;
        result = pin->SetFormat(format);
        if (FAILED(result))
            continue;
        result = pin->Instantiate(looped);
        if (SUCCEEDED(result))
            created = pin;
    }
    TraceLeave("CKsAudRenFilter::CreateRenderPin", result);
    return created;
}
