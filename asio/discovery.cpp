// Binding the driver to the device's render filter.
#include "asio/asio_larkspur.h"
#include "asio/render_thread.h"

#include "ks/audio_filter.h"
#include "ks/enum_filters.h"

#include <new>

namespace {
constexpr char kEnumFailure[] = "ASIO Larkspur Driver Enum Failure!";
constexpr char kOpenFilterFailure[] = "ASIO Larkspur Driver Open Filter Failure!";
} // namespace

ASIOBool ASIOLarkspur::init(void*) {
    ControlGuard guard(this);
    // From inside a callback the bound filter is in use by the very thread that calls.
    if (IsRenderThreadOf(this))
        return ASIOFalse;
    HRESULT result = S_OK;
    CKsEnumFilters* filterEnum = new (std::nothrow) CKsEnumFilters(&result);
    if (!filterEnum) {
        SetErrorMessage(kEnumFailure);
        return ASIOFalse;
    }
    const GUID categories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
    result = filterEnum->EnumFilters(KsFilterTypeAudioRender, categories, 2, TRUE, FALSE, TRUE);
    if (FAILED(result)) {
        SetErrorMessage(kEnumFailure);
        delete filterEnum;
        return ASIOFalse;
    }
    // The enumerator built every filter as an audio render filter.
    CKsFilter* first = nullptr;
    CKsListNode* position = filterEnum->m_listFilters.GetHeadPosition();
    filterEnum->m_listFilters.GetNext(position, &first);
    auto* filter = static_cast<CKsAudRenFilter*>(first);
    if (!filter) {
        SetErrorMessage(kOpenFilterFailure);
        delete filterEnum;
        return ASIOFalse;
    }

    // The render thread works on a pin of the bound filter: end the stream before that filter goes,
    // also when the thread outlived stop's bounded wait.
    stop();
    WaitForRenderThreadEnd(this);
    ReleaseDevice();
    m_filterEnum = filterEnum;
    m_renderFilter = filter;
    return ASIOTrue;
}

void ASIOLarkspur::ReleaseDevice() {
    // The render pin lives in the filter's lists and goes with it.
    m_renderPin.store(nullptr);
    m_renderFilter = nullptr;
    delete m_filterEnum;
    m_filterEnum = nullptr;
}
