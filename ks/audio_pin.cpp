#include "ks/audio_pin.h"

#include "ks/trace.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

// {0000xxxx-0000-0010-8000-00AA00389B71}: the wave-format family, whatever the tag in the first two bytes.
bool IsWaveFormatSubtype(const GUID& subFormat) {
    return std::memcmp(reinterpret_cast<const BYTE*>(&subFormat) + 2,
                       reinterpret_cast<const BYTE*>(&KSDATAFORMAT_SUBTYPE_WAVEFORMATEX) + 2,
                       sizeof(GUID) - 2) == 0;
}

bool IsNullOrEqual(const GUID& value, const GUID& expected) {
    return value == GUID_NULL || value == expected;
}

} // namespace

bool KsTimeTo100ns(const KSTIME& time, LONGLONG* value) {
    if (time.Denominator == 0 || time.Time < 0)
        return false;
    // Split so that Time × Numerator need not fit: q × Num + r × Num / Den, with r × Num < 2^64.
    const uint64_t whole = static_cast<uint64_t>(time.Time) / time.Denominator;
    const uint64_t rest = static_cast<uint64_t>(time.Time) % time.Denominator;
    if (time.Numerator != 0 && whole > static_cast<uint64_t>(INT64_MAX) / time.Numerator)
        return false;
    const uint64_t scaled = whole * time.Numerator;
    const uint64_t fraction = rest * time.Numerator / time.Denominator;
    if (scaled > static_cast<uint64_t>(INT64_MAX) - fraction)
        return false;
    *value = static_cast<LONGLONG>(scaled + fraction);
    return true;
}

CKsAudPin::CKsAudPin(CKsFilter* filter, ULONG id, HRESULT* result) : CKsPin(filter, id, result) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsAudPin::CKsAudPin()");
    HRESULT hr = result ? *result : S_OK;
    if (SUCCEEDED(hr)) {
        hr = m_listDataRange.Initialize(1);
        if (FAILED(hr))
            KsTrace(TRACE_ERROR, "Failed to Initialize m_listDataRange");
    }
    if (SUCCEEDED(hr)) {
        hr = m_listNodes.Initialize(1);
        if (FAILED(hr))
            KsTrace(TRACE_ERROR, "Failed to Initialize m_listNodes");
    }
    if (SUCCEEDED(hr)) {
        m_cbPinCreate = kDefaultPinConnectSize;
        BYTE* block = new (std::nothrow) BYTE[kDefaultPinConnectSize]();
        m_pksPinCreate = reinterpret_cast<PKSPIN_CONNECT>(block);
        if (!block) {
            m_cbPinCreate = 0;
            KsTrace(TRACE_ERROR, "Failed to allocate m_pksPinCreate");
            hr = E_OUTOFMEMORY;
        }
    }
    if (SUCCEEDED(hr)) {
        KSPIN_CONNECT* connect = m_pksPinCreate;
        connect->Interface.Set = KSINTERFACESETID_Standard;
        connect->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
        connect->Interface.Flags = 0;
        connect->Medium.Set = KSMEDIUMSETID_Standard;
        connect->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
        connect->Medium.Flags = 0;
        connect->PinId = m_nId;
        connect->PinToHandle = nullptr;
        connect->Priority.PriorityClass = KSPRIORITY_NORMAL;
        connect->Priority.PrioritySubClass = 1;

        m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT*>(connect + 1);
        m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
        m_pksDataFormatWfx->Flags = 0;
        m_pksDataFormatWfx->Reserved = 0;
        m_pksDataFormatWfx->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        m_pksDataFormatWfx->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        m_pksDataFormatWfx->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;

        hr = Init();
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsAudPin::CKsAudPin", hr);
    if (result)
        *result = hr;
}

CKsAudPin::~CKsAudPin() {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsAudPin::~CKsAudPin()");
    BYTE* range = nullptr;
    while (m_listDataRange.RemoveHead(&range))
        delete[] range;
    BYTE* node = nullptr;
    while (m_listNodes.RemoveHead(&node))
        delete[] node;
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave", "CKsAudPin::~CKsAudPin()");
}

HRESULT CKsAudPin::Init() {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsAudPin::Init()");
    HRESULT hr = S_OK;

    bool standardInterface = false;
    for (ULONG i = 0; i < m_Descriptor.InterfacesCount && !standardInterface; ++i) {
        const KSPIN_INTERFACE& entry = m_Descriptor.Interfaces[i];
        standardInterface =
            entry.Set == KSINTERFACESETID_Standard && entry.Id == KSINTERFACE_STANDARD_STREAMING;
    }
    if (!standardInterface) {
        KsTrace(TRACE_ERROR, "No standard streaming interfaces on the pin");
        hr = E_FAIL;
        KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsAudPin::Init", hr);
        return hr;
    }

    bool standardMedium = false;
    for (ULONG i = 0; i < m_Descriptor.MediumsCount && !standardMedium; ++i) {
        const KSPIN_MEDIUM& entry = m_Descriptor.Mediums[i];
        standardMedium = entry.Set == KSMEDIUMSETID_Standard && entry.Id == KSMEDIUM_TYPE_ANYINSTANCE;
    }
    if (!standardMedium) {
        KsTrace(TRACE_ERROR, "No standard streaming mediums on the pin");
        hr = E_FAIL;
        KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsAudPin::Init", hr);
        return hr;
    }

    // The ranges lie one after another at their own FormatSize, not necessarily aligned: read them
    // through copies. CKsPin::Init has checked that each is a whole KSDATARANGE inside the reply.
    bool audioSeen = false;
    const BYTE* position = reinterpret_cast<const BYTE*>(m_Descriptor.DataRanges);
    for (ULONG i = 0; i < m_Descriptor.DataRangesCount; ++i) {
        KSDATARANGE range;
        std::memcpy(&range, position, sizeof range);
        const BYTE* current = position;
        position += range.FormatSize;

        if (!audioSeen && !IsWaveFormatSubtype(range.SubFormat) &&
            range.SubFormat != KSDATAFORMAT_SUBTYPE_PCM && range.SubFormat != KSDATAFORMAT_SUBTYPE_WILDCARD)
            continue;
        audioSeen = true;
        // A range too short for the audio limits has none to offer: it cannot admit any format.
        if (range.MajorFormat != KSDATAFORMAT_TYPE_AUDIO || range.FormatSize < sizeof(KSDATARANGE_AUDIO))
            continue;

        BYTE* copy = new (std::nothrow) BYTE[sizeof(KSDATARANGE_AUDIO)];
        if (!copy) {
            KsTrace(TRACE_ERROR, "Unable to allocate memory to save datarange in");
            hr = E_OUTOFMEMORY;
            continue;
        }
        std::memcpy(copy, current, sizeof(KSDATARANGE_AUDIO));
        if (!m_listDataRange.AddTail(copy)) {
            delete[] copy;
            KsTrace(TRACE_ERROR, "Unable to allocate list entry to save datarange in");
            hr = E_OUTOFMEMORY;
        }
    }
    if (!audioSeen) {
        KsTrace(TRACE_ERROR, "No audio dataranges on the pin");
        hr = E_FAIL;
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsAudPin::Init", hr);
    return hr;
}

BOOL CKsAudPin::IsFormatSupported(const WAVEFORMATEX* format) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsAudPin::IsFormatSupported()");
    BOOL supported = FALSE;
    GUID subFormat = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
    bool usable = format != nullptr;
    if (usable && format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        // Only a format that says it carries the extensible part has one to read.
        usable = format->cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
        if (usable)
            std::memcpy(&subFormat, &reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format)->SubFormat,
                        sizeof subFormat);
    } else if (usable) {
        subFormat.Data1 = format->wFormatTag;
    }

    CKsListNode* position = m_listDataRange.GetHeadPosition();
    KSDATARANGE_AUDIO* range = nullptr;
    while (usable && !supported && m_listDataRange.GetNext(position, &range)) {
        supported = IsNullOrEqual(range->DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
                    IsNullOrEqual(range->DataRange.SubFormat, subFormat) &&
                    IsNullOrEqual(range->DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) &&
                    range->MaximumChannels >= format->nChannels &&
                    range->MinimumBitsPerSample <= format->wBitsPerSample &&
                    format->wBitsPerSample <= range->MaximumBitsPerSample &&
                    range->MinimumSampleFrequency <= format->nSamplesPerSec &&
                    format->nSamplesPerSec <= range->MaximumSampleFrequency;
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave", "CKsAudPin::IsFormatSupported()");
    return supported;
}

HRESULT CKsAudPin::SetFormat(const WAVEFORMATEX* format) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsAudPin::SetFormat()");
    HRESULT hr = S_OK;
    if (!format || !m_pksDataFormatWfx) {
        KsTrace(TRACE_ERROR, "pwfx or m_pksDataFormatWfx are NULL");
        hr = E_FAIL;
        KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsAudPin::SetFormat", hr);
        return hr;
    }
    const ULONG formatSize =
        sizeof(WAVEFORMATEX) +
        (format->wFormatTag == WAVE_FORMAT_PCM ? 0u : static_cast<ULONG>(format->cbSize));
    const ULONG blockSize = kPinConnectHeaderSize + formatSize;
    if (m_cbPinCreate != blockSize) {
        BYTE* block = new (std::nothrow) BYTE[blockSize]();
        if (!block) {
            KsTrace(TRACE_ERROR, "Unable to allocate KSPIN_CONNECT structure");
            hr = E_OUTOFMEMORY;
            KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsAudPin::SetFormat", hr);
            return hr;
        }
        std::memcpy(block, m_pksPinCreate, blockSize < m_cbPinCreate ? blockSize : m_cbPinCreate);
        delete[] reinterpret_cast<BYTE*>(m_pksPinCreate);
        m_pksPinCreate = reinterpret_cast<PKSPIN_CONNECT>(block);
        m_cbPinCreate = blockSize;
        m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT*>(m_pksPinCreate + 1);
        m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + formatSize;
    }
    std::memcpy(m_pksDataFormatWfx + 1, format, formatSize);
    m_pksDataFormatWfx->SampleSize =
        ((static_cast<ULONG>(format->nChannels) * format->wBitsPerSample) / 8) & 0xFFFFu;
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsAudPin::SetFormat", hr);
    return hr;
}

HRESULT CKsAudPin::GetPosition(KSAUDIO_POSITION* position) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsAudPin::GetPosition()");
    HRESULT hr = E_INVALIDARG;
    if (position) {
        hr = GetPropertySimple(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, position, sizeof *position);
        if (FAILED(hr))
            KsTrace(TRACE_ERROR, "Failed to retrieve audio stream position - %#08x", hr);
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsAudPin::GetPosition", hr);
    return hr;
}

HRESULT CKsAudPin::GetLatency(LONGLONG* latency100ns) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsAudPin::GetLatency()");
    HRESULT hr = E_INVALIDARG;
    if (latency100ns) {
        KSTIME time{};
        hr = GetPropertySimple(KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY, &time, sizeof time);
        if (SUCCEEDED(hr) && !KsTimeTo100ns(time, latency100ns)) {
            KsTrace(TRACE_ERROR, "Unusable audio latency: time %lld, %lu/%lu",
                    static_cast<long long>(time.Time), static_cast<unsigned long>(time.Numerator),
                    static_cast<unsigned long>(time.Denominator));
            hr = E_FAIL;
        } else if (FAILED(hr)) {
            KsTrace(TRACE_ERROR, "Failed to retrieve audio latency - %#08x", hr);
        }
    }
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsAudPin::GetLatency", hr);
    return hr;
}

CKsAudRenPin::CKsAudRenPin(CKsFilter* filter, ULONG id, HRESULT* result) : CKsAudPin(filter, id, result) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsAudRenPin::CKsAudRenPin()");
    m_ePinType = KsPinTypeAudioRender;
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsAudRenPin::CKsAudRenPin",
            result ? *result : S_OK);
}

CKsAudRenPin::~CKsAudRenPin() {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsAudRenPin::~CKsAudRenPin()");
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave", "CKsAudRenPin::~CKsAudRenPin()");
}

CKsAudCapPin::CKsAudCapPin(CKsFilter* filter, ULONG id, HRESULT* result) : CKsAudPin(filter, id, result) {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsAudCapPin::CKsAudCapPin()");
    m_ePinType = KsPinTypeAudioCapture;
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsAudCapPin::CKsAudCapPin",
            result ? *result : S_OK);
}

CKsAudCapPin::~CKsAudCapPin() {
    KsTrace(TRACE_ENTRY_EXIT, "%s Enter", "CKsAudCapPin::~CKsAudCapPin()");
    KsTrace(TRACE_ENTRY_EXIT, "%s Leave", "CKsAudCapPin::~CKsAudCapPin()");
}
